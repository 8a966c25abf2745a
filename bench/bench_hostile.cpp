// Broken and hostile servers against the program, measured:
// - peak memory while the tick stream sends one 300 MiB message (as one frame,
//   and as 300 frames of 1 MiB), and while it sends a 60 MiB batch that is taken
//   (how many copies of it the reading holds);
// - peak memory and time of an API answer that never ends, and the time of one
//   that trickles in at a byte a second;
// - the size of the largest contract list (150,000 contracts);
// - how late the window's thread handles an event posted every 10 ms from
//   another thread (as bench_scale measures it) during connectivity probes to a
//   host whose packets are dropped, in a network namespace of its own (needs
//   root, unshare and ip; said and skipped otherwise).
//
// Each server runs as a process of its own (this program with --serve MODE), so
// the memory figures are the program's alone.

#include "api/apirequest.h"
#include "api/serversettings.h"
#include "app/authdialog.h"
#include "feedsim.h"
#include "live/tickbuffer.h"
#include "live/websocketworker.h"
#include "procstatus.h"
#include "rawframes.h"
#include "lateness.h"
#include "testenv.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr qint64 MiB = 1024 * 1024;

// ---- the servers (child process) ---------------------------------------------

// Writes `total` bytes made by `chunk(i)` as the connection drains, never holding much.
void stream(QTcpSocket *socket, qint64 total, std::function<QByteArray(qint64)> chunk)
{
    auto sent = std::make_shared<qint64>(0);
    auto index = std::make_shared<qint64>(0);
    auto pump = [socket, total, chunk, sent, index] {
        while (*sent < total && socket->bytesToWrite() < 8 * MiB) {
            const QByteArray piece = chunk((*index)++);
            socket->write(piece);
            *sent += piece.size();
        }
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, pump);
    pump();
}

int serve(const QString &mode)
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 1;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, mode] {
        QTcpSocket *socket = server.nextPendingConnection();
        auto request = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, request, mode] {
            if (request->contains("\r\n\r\n")) {
                socket->readAll();
                return;
            }
            *request += socket->readAll();
            if (!request->contains("\r\n\r\n"))
                return;
            if (mode == QLatin1String("endless") || mode == QLatin1String("trickle")) {
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n{\"a\":\"");
                if (mode == QLatin1String("endless")) {
                    const QByteArray piece(MiB, 'x');
                    stream(socket, 4096 * MiB, [piece](qint64) { return piece; });
                } else {
                    auto *timer = new QTimer(socket);
                    QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
                    timer->start(1000);
                }
                return;
            }
            socket->write(webSocketHandshakeAnswer(*request));
            socket->write(serverTextFrame(R"({"type":"sub_ack","action":"subscribe","symbols":["S"]})"));
            if (mode == QLatin1String("one300")) {
                socket->write(serverFrameHeader(0x81, quint64(300 * MiB)));
                const QByteArray piece(MiB, ' ');
                stream(socket, 300 * MiB, [piece](qint64) { return piece; });
            } else if (mode == QLatin1String("frag300")) {
                const QByteArray piece(MiB, ' ');
                stream(socket, 300 * (MiB + 10), [piece](qint64 i) {
                    const quint8 first = i == 0 ? 0x01 : (i == 299 ? 0x80 : 0x00);
                    return serverFrameHeader(first, quint64(piece.size())) + piece;
                });
            } else if (mode == QLatin1String("batch60")) {
                // A valid batch of about 60 MiB: records of about 120 bytes.
                QByteArray frame = R"({"type":"batch","records":[)";
                int i = 0;
                while (frame.size() < 60 * MiB) {
                    frame += (i ? "," : "");
                    frame += R"({"type":"tick","symbol":"SYM)" + QByteArray::number(i % 5000)
                             + R"(","ltd":"20240131","ltt":"09:15:01","ltp":)" + QByteArray::number(100 + i % 997)
                             + R"(.25,"ltq":)" + QByteArray::number(1 + i % 50) + R"(,"oi":0,"vol":123456})";
                    ++i;
                }
                frame += "]}";
                socket->write(serverFrameHeader(0x81, quint64(frame.size())) + frame);
            }
        });
    });
    std::printf("%d\n", int(server.serverPort()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

// ---- measuring (this process) --------------------------------------------------

struct Server
{
    QProcess process;
    quint16 port = 0;

    explicit Server(const QString &mode)
    {
        process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--serve"), mode});
        if (process.waitForReadyRead(10000))
            port = quint16(process.readLine().trimmed().toUInt());
    }
    ~Server()
    {
        process.kill();
        process.waitForFinished();
    }
};

void resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

void waitMs(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void streamMessage(const QString &mode, qint64 messageBytes)
{
    Server server(mode);
    if (!server.port) {
        std::printf("%-28s no server\n", qPrintable(mode));
        return;
    }
    TickBuffer ticks; // outlives the worker: the thread below ends first
    QThread thread;
    auto *worker = new WebSocketWorker(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(server.port)), {QStringLiteral("S")},
                                       QStringLiteral("rtsocket.txt"), QStringLiteral("BENCH"));
    worker->setTickBuffer(&ticks);
    worker->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    QObject::connect(&thread, &QThread::started, worker, &WebSocketWorker::start);
    bool done = false;
    QString outcome;
    QObject context;
    QObject::connect(worker, &WebSocketWorker::tooLargeMessageRefused, &context, [&](qint64 bytes) {
        outcome = WebSocketWorker::tooLargeMessageText(bytes);
        done = true;
    }, Qt::QueuedConnection);
    QObject::connect(worker, &WebSocketWorker::batchReceived, &context, [&](int records, int kept) {
        outcome = QStringLiteral("batch taken: %1 records, %2 lines").arg(records).arg(kept);
        done = true;
    }, Qt::QueuedConnection);
    waitMs(200);
    resetPeak();
    const qint64 baseKiB = processStatusKiB("VmRSS:");
    QElapsedTimer clock;
    clock.start();
    thread.start();
    while (!done && clock.elapsed() < 60000)
        waitMs(20);
    const qint64 peakKiB = processStatusKiB("VmHWM:");
    QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection);
    thread.quit();
    thread.wait(5000);
    std::printf("%-10s %4lld MiB message: peak RSS %lld MiB (from %lld MiB, +%.0f MiB = %.1f x the message), %lld ms: %s\n",
                qPrintable(mode), messageBytes / MiB, peakKiB / 1024, baseKiB / 1024,
                double(peakKiB - baseKiB) / 1024.0, double(peakKiB - baseKiB) * 1024.0 / double(messageBytes),
                clock.elapsed(), qPrintable(done ? outcome : QStringLiteral("no outcome within 60 s")));
}

void apiAnswer(const QString &mode)
{
    Server server(mode);
    if (!server.port) {
        std::printf("%-28s no server\n", qPrintable(mode));
        return;
    }
    qputenv("QUILLMARK_SERVER", QByteArray("127.0.0.1:") + QByteArray::number(server.port));
    QNetworkAccessManager manager;
    setApiNetworkManager(&manager);
    waitMs(100);
    resetPeak();
    const qint64 baseKiB = processStatusKiB("VmRSS:");
    QElapsedTimer clock;
    clock.start();
    const ApiReply reply = apiExchange(QLatin1String(StartupAction));
    std::printf("%-10s API answer: peak RSS %lld MiB (from %lld MiB), ended after %lld ms: %s\n", qPrintable(mode),
                processStatusKiB("VmHWM:") / 1024, baseKiB / 1024, clock.elapsed(),
                qPrintable(apiFailureText(reply)));
    setApiNetworkManager(nullptr);
}

void contractSizes()
{
    const QByteArray plain = FeedSim::contractsJson(FeedSimOptions::MaxContracts);
    const QByteArray sealed = encryptEnvelope(plain);
    std::printf("contract list of %d: %.1f MiB plain, %.1f MiB enveloped (limit %lld MiB)\n", FeedSimOptions::MaxContracts,
                double(plain.size()) / MiB, double(sealed.size()) / MiB, MaxApiAnswerBytes / MiB);
}

// Inside the namespace: three probes of the controller to the dropped host.
int probeLateness()
{
    qputenv("QUILLMARK_PROBE_HOST", "192.0.2.7");
    authDialog controller;
    QObject target;
    LatenessProbe lateness;
    lateness.start();
    int probes = 0;
    int connected = 0;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&controller, &authDialog::connectionCheckDone, &target, [&](bool up) {
        ++probes;
        connected += up ? 1 : 0;
    });
    for (int i = 0; i < 3; ++i) {
        const int before = probes;
        controller.checkConnection();
        while (probes == before && clock.elapsed() < 30000)
            waitMs(5);
    }
    const qint64 took = clock.elapsed();
    QCoreApplication::processEvents();
    lateness.stop();
    const Spread late = lateness.spread();
    std::printf("probe to a dropped host: %d probes in %lld ms, %d connected; window late ms p50/p99/max %.1f/%.1f/%.1f over %zu events\n",
                probes, took, connected, late.p50, late.p99, late.max, late.count);
    return 0;
}

void probeInNamespace()
{
    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    const QString ip = QStandardPaths::findExecutable(QStringLiteral("ip"), {"/usr/sbin", "/sbin", "/usr/bin"});
    if (unshare.isEmpty() || ip.isEmpty()) {
        std::printf("probe to a dropped host: skipped (needs unshare and ip)\n");
        return;
    }
    // A documentation-range host behind a link whose far end is down: every packet
    // to it vanishes, and nothing leaves the namespace.
    const QString script = QStringLiteral(
        "\"$1\" link set lo up && \"$1\" link add qmd0 type veth peer name qmd1 && \"$1\" link set qmd0 up && "
        "\"$1\" addr add 192.0.2.1/24 dev qmd0 && "
        "\"$1\" neigh add 192.0.2.7 lladdr 02:00:00:00:00:07 dev qmd0 nud permanent || exit 77; exec \"$2\" --probe");
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(unshare, {QStringLiteral("-n"), QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"), script,
                          QStringLiteral("sh"), ip, QCoreApplication::applicationFilePath()});
    child.waitForFinished(120000);
    if (child.exitCode() != 0)
        std::printf("probe to a dropped host: skipped (no network namespace here)\n");
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const QStringList args = app.arguments();
    if (args.size() > 2 && args.at(1) == QLatin1String("--serve"))
        return serve(args.at(2));
    prepareTestApplication();
    TestEnv::instance()->reset();
    if (args.contains(QStringLiteral("--probe")))
        return probeLateness();

    contractSizes();
    streamMessage(QStringLiteral("one300"), 300 * MiB);
    streamMessage(QStringLiteral("frag300"), 300 * MiB);
    streamMessage(QStringLiteral("batch60"), 60 * MiB);
    apiAnswer(QStringLiteral("endless"));
    apiAnswer(QStringLiteral("trickle"));
    probeInNamespace();
    return 0;
}
