// Faults from outside: a tick server that dies and comes back, sends garbage or
// stops halfway through a frame; backfill archives that are damaged or hostile;
// a full disk and an install root that cannot be written. Each must end without a
// crash, with a log line, and without a half-written file taken for a whole one.
#include <QtTest>
#include <QApplication>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include "amibroker/livedataupdator.h"
#include "common/installfiles.h"
#include "app/quillmark2.h"
#include "brokerview.h"
#include "backfill/mydownloader.h"
#include "feedsimbackfill.h"
#include "feedsimstream.h"
#include "httpserver.h"
#include "live/tickbuffer.h"
#include "live/websocketworker.h"
#include "platform/installroot.h"
#include "rawframes.h"
#include "platform/diskspace.h"
#include "smalldisk.h"
#include "testenv.h"

#include <functional>
#include <memory>

namespace {

constexpr int WaitMs = 10000;
const QString AckSubscribe = QStringLiteral(R"({"type":"sub_ack","action":"subscribe","symbols":["NIFTY-I"]})");
const QString OneTick =
    QStringLiteral(R"({"type":"batch","records":[{"type":"tick","symbol":"NIFTY-I","ltd":"20240131","ltt":"09:15:01","ltp":24000.5,"ltq":75,"oi":0,"vol":0}]})");
const QByteArray OneTickLine = "tick,NIFTY-I,20240131,09:15:01,24000.5,75,0,0\n";

QByteArray importedLines()
{
    return readFile(Platform::installPath(QLatin1String(InstallFiles::ImportedJournal)));
}

QString tickFilePath()
{
    return Platform::installPathFwd(QLatin1String(InstallFiles::TickFile));
}

// The stream as the main window wires it: the worker on its own thread, its
// batches driving the live import on this thread, with AmiBroker's stand-in.
struct LiveRig : QObject
{
    QThread thread;
    WebSocketWorker *worker = nullptr;
    liveDataUpdator updater;
    int acks = 0;
    int connects = 0;
    int disconnects = 0;
    int batches = 0;
    QList<qint64> refused;

    LiveRig(const QUrl &url, const QStringList &symbols)
    {
        installFormatDefinitions();
        worker = new WebSocketWorker(url, symbols, QLatin1String(InstallFiles::TickFile), QStringLiteral("QM-FAULT"));
        worker->setTickBuffer(updater.tickBuffer());
        worker->moveToThread(&thread);
        connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        connect(&thread, &QThread::started, worker, &WebSocketWorker::start);
        connect(worker, &WebSocketWorker::rtDataDownloaded, &updater, &liveDataUpdator::scheduleLiveImport,
                Qt::QueuedConnection);
        connect(worker, &WebSocketWorker::rtDataDownloaded, this, [this] { ++batches; }, Qt::QueuedConnection);
        connect(worker, &WebSocketWorker::subscribedAck, this, [this] { ++acks; }, Qt::QueuedConnection);
        connect(worker, &WebSocketWorker::connected, this, [this] { ++connects; }, Qt::QueuedConnection);
        connect(worker, &WebSocketWorker::disconnected, this, [this] { ++disconnects; }, Qt::QueuedConnection);
        connect(worker, &WebSocketWorker::tooLargeMessageRefused, this, [this](qint64 bytes) { refused << bytes; },
                Qt::QueuedConnection);
        thread.start();
    }
    ~LiveRig() override
    {
        QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection);
        thread.quit();
        thread.wait(5000);
    }
};

QByteArray textFrame(const QString &text)
{
    return serverTextFrame(text.toUtf8());
}

// A WebSocket server that completes the handshake and then writes, raw, what
// `script` gives for the connection (counted from 0): frames cut short, frames
// larger than they are, whatever a broken server sends.
class RawStreamServer : public QTcpServer
{
public:
    std::function<QByteArray(int connection)> script;
    QPointer<QTcpSocket> client; // the latest
    int connections = 0;

    RawStreamServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = nextPendingConnection();
            client = socket;
            const int number = connections++;
            auto request = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket, number, request] {
                if (request->contains("\r\n\r\n")) {
                    socket->readAll(); // the client's frames: not listened to
                    return;
                }
                *request += socket->readAll();
                if (!request->contains("\r\n\r\n"))
                    return;
                socket->write(webSocketHandshakeAnswer(*request));
                if (script)
                    socket->write(script(number));
                socket->flush();
            });
        });
    }
};

QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class tst_faults : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        TestEnv::instance()->reset();
    }

    // ---- the tick stream -------------------------------------------------

    void serverRestartedTwentyTimes()
    {
        constexpr int Restarts = 20;
        const QStringList symbols{QStringLiteral("NIFTY-I"), QStringLiteral("SBIN"), QStringLiteral("USDINR-I")};
        FeedSimStream stream;
        stream.setRate(0);
        stream.setSeed(11);
        QVERIFY(stream.start());
        const quint16 port = stream.port();
        LiveRig rig(stream.url(), symbols);

        QElapsedTimer clock;
        clock.start();
        for (int round = 0;; ++round) {
            QTRY_COMPARE_WITH_TIMEOUT(rig.acks, round + 1, WaitMs);
            for (int b = 0; b < 3; ++b)
                QCOMPARE(stream.sendBatchNow(), symbols.size());
            QTRY_COMPARE_WITH_TIMEOUT(viewDifferences(streamView(stream.sentTickLines()), brokerView()), 0, WaitMs);
            if (round == Restarts)
                break;
            const int gone = rig.disconnects;
            stream.stop();
            QTRY_VERIFY_WITH_TIMEOUT(rig.disconnects > gone, WaitMs);
            QVERIFY(stream.start(port));
            // The reconnect timer would fire in 3 s; fire it now, on the worker's thread.
            QMetaObject::invokeMethod(rig.worker, "reconnectTimerHit", Qt::QueuedConnection);
        }
        // Every tick sent after each resubscribe counted once in AmiBroker, nothing else
        // sent to it.
        QStringList samples;
        QCOMPARE(viewDifferences(streamView(stream.sentTickLines()), brokerView(), &samples), 0);
        QCOMPARE(linesOffTheStream(importedLines(), stream.sentTickLines()), 0);
        QVERIFY(importedLines().count('\n') <= stream.sentTickLines().count('\n'));
        QCOMPARE(stream.sentTickLines().count('\n'), (Restarts + 1) * 3 * symbols.size());
        QCOMPARE(stream.connectionsAccepted(), Restarts + 1);
        QList<QStringList> everyTime;
        for (int i = 0; i <= Restarts; ++i)
            everyTime << symbols;
        QCOMPARE(stream.subscribeLists(), everyTime);
        QCOMPARE(rig.connects, Restarts + 1);
        QVERIFY2(clock.elapsed() < 50000, "reconnects waited for the timer");
    }

    void hostileFrames_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("malformed set") << 0;
        QTest::newRow("20 MB text") << 1;
        QTest::newRow("20 MB binary") << 2;
        QTest::newRow("deep nesting") << 3;
        QTest::newRow("batch of wrong records") << 4;
    }

    void hostileFrames()
    {
        QFETCH(int, kind);
        FeedSimStream stream;
        stream.setRate(0);
        QVERIFY(stream.start());
        const QStringList symbols{QStringLiteral("NIFTY-I")};
        LiveRig rig(stream.url(), symbols);
        QTRY_COMPARE_WITH_TIMEOUT(rig.acks, 1, WaitMs);

        switch (kind) {
        case 0:
            stream.sendMalformedFrames();
            break;
        case 1:
            stream.sendText(QString(20 * 1024 * 1024, QLatin1Char('{')));
            break;
        case 2:
            stream.sendBinary(QByteArray(20 * 1024 * 1024, '\x01'));
            break;
        case 3:
            stream.sendText(QString(200000, QLatin1Char('[')));
            break;
        case 4:
            stream.sendText(QStringLiteral(
                R"({"type":"batch","records":[1,"x",null,{"symbol":"A,B","ltp":1},{"symbol":"X","ltp":"inf"},{"symbol":"Y","ltp":-3},{"symbol":"Z\nW","ltp":2}]})"));
            break;
        }
        QCOMPARE(stream.sendBatchNow(), 1);
        // The good batch behind the garbage arrives on the same connection, alone.
        QTRY_COMPARE_WITH_TIMEOUT(importedLines(), stream.sentTickLines(), WaitMs);
        QCOMPARE(rig.batches, 1);
        QCOMPARE(stream.connectionsAccepted(), 1);
        QCOMPARE(rig.disconnects, 0);
        QCOMPARE(readFile(tickFilePath()), stream.sentTickLines());
    }

    void serverStallsMidFrame()
    {
        RawStreamServer server;
        // Only the first half of a text frame, leaving the client waiting for the rest.
        server.script = [](int connection) {
            const QByteArray frame = textFrame(OneTick);
            return connection == 0 ? frame.left(frame.size() / 2) : QByteArray();
        };
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        TickBuffer ticks; // outlives the worker, which clears it as it stops
        WebSocketWorker worker(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(server.serverPort())),
                               {QStringLiteral("NIFTY-I")}, QLatin1String(InstallFiles::TickFile), QStringLiteral("QM"));
        worker.setTickBuffer(&ticks);
        QSignalSpy connected(&worker, &WebSocketWorker::connected);
        QSignalSpy disconnected(&worker, &WebSocketWorker::disconnected);
        QSignalSpy batches(&worker, &WebSocketWorker::rtDataDownloaded);
        worker.onTextMessageReceived(AckSubscribe);
        writeFile(tickFilePath(), OneTickLine);
        worker.start();
        QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, WaitMs);
        QTRY_VERIFY(server.client && server.client->bytesToWrite() == 0);
        QTest::qWait(200); // room for the half frame to be taken as a whole one, were it
        QCOMPARE(batches.count(), 0);
        QCOMPARE(ticks.takePending(), QByteArray());
        QCOMPARE(readFile(tickFilePath()), OneTickLine);

        // The server dies with the frame unfinished: the worker schedules a reconnect.
        server.client->abort();
        QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, WaitMs);
        QTimer *reconnect = worker.findChild<QTimer *>(QStringLiteral("reconnectTimer"));
        QVERIFY(reconnect && reconnect->isActive());
        QCOMPARE(batches.count(), 0);
        QCOMPARE(readFile(tickFilePath()), OneTickLine);
        worker.stop();
    }

    // A message over 64 MiB is not gathered in memory: the connection closes at
    // once, reconnects as after any loss, and the trader is told once. Sent as one
    // frame (its size is announced up front) or as many (the limit is all that is known).
    void tooLargeMessageReconnects_data()
    {
        QTest::addColumn<bool>("oneFrame");
        QTest::addColumn<QString>("text");
        QTest::newRow("one frame of 300 MiB") << true << "The server sent a 300 MB message; reconnected";
        QTest::newRow("65 MiB in many frames") << false << "The server sent a message of more than 64 MB; reconnected";
    }
    void tooLargeMessageReconnects()
    {
        QFETCH(bool, oneFrame);
        QFETCH(QString, text);
        const qint64 size = oneFrame ? 300LL * 1024 * 1024 : 65LL * 1024 * 1024;
        RawStreamServer server;
        server.script = [oneFrame, size](int connection) {
            QByteArray out = textFrame(AckSubscribe);
            if (connection > 0)
                return out + textFrame(OneTick);
            if (oneFrame)
                return out + serverFrameHeader(0x81, quint64(size)) + QByteArray(1024 * 1024, ' ');
            // Fragments of 1 MiB: a text frame without FIN, then continuations.
            const QByteArray piece(1024 * 1024, ' ');
            out += serverFrameHeader(0x01, quint64(piece.size())) + piece;
            for (qint64 sent = piece.size(); sent + piece.size() < size; sent += piece.size())
                out += serverFrameHeader(0x00, quint64(piece.size())) + piece;
            return out + serverFrameHeader(0x80, quint64(piece.size())) + piece;
        };
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        LiveRig rig(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(server.serverPort())), {QStringLiteral("NIFTY-I")});
        QTRY_COMPARE_WITH_TIMEOUT(rig.disconnects, 1, WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(rig.connects, 2, WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(importedLines(), OneTickLine, WaitMs);
        QCOMPARE(rig.refused, QList<qint64>{oneFrame ? size : 0});
        QCOMPARE(WebSocketWorker::tooLargeMessageText(rig.refused.first()), text);
        QCOMPARE(rig.disconnects, 1);
        QCOMPARE(server.connections, 2);
    }

    void stalledStreamResumes()
    {
        FeedSimStream stream;
        stream.setRate(50);
        stream.setBatchSize(2);
        QVERIFY(stream.start());
        LiveRig rig(stream.url(), {QStringLiteral("NIFTY-I"), QStringLiteral("SBIN")});
        QTRY_VERIFY_WITH_TIMEOUT(stream.batchesSent() >= 5, WaitMs);
        stream.setStalled(true);
        QTRY_COMPARE_WITH_TIMEOUT(viewDifferences(streamView(stream.sentTickLines()), brokerView()), 0, WaitMs);
        const int sent = stream.batchesSent();
        QTest::qWait(200);
        QCOMPARE(stream.batchesSent(), sent);
        // The last whole batch stays in the tick file while nothing comes.
        QCOMPARE(readFile(tickFilePath()).count('\n'), 2);
        QCOMPARE(rig.disconnects, 0);
        stream.setStalled(false);
        QTRY_VERIFY_WITH_TIMEOUT(stream.batchesSent() >= sent + 5, WaitMs);
        stream.setStalled(true);
        QTRY_COMPARE_WITH_TIMEOUT(viewDifferences(streamView(stream.sentTickLines()), brokerView()), 0, WaitMs);
        QCOMPARE(linesOffTheStream(importedLines(), stream.sentTickLines()), 0);
        QCOMPARE(stream.connectionsAccepted(), 1);
    }

    // ---- backfill archives -----------------------------------------------

    void archives_data()
    {
        QTest::addColumn<int>("answer"); // -1: an empty body
        QTest::addColumn<bool>("refused");
        QTest::newRow("whole") << int(BackfillAnswer::Normal) << false;
        QTest::newRow("truncated") << int(BackfillAnswer::Truncated) << true;
        QTest::newRow("html page") << int(BackfillAnswer::HtmlPage) << true;
        QTest::newRow("empty") << -1 << true;
        QTest::newRow("html in zip") << int(BackfillAnswer::HtmlInZip) << false;
        QTest::newRow("no data in zip") << int(BackfillAnswer::NoData) << false;
        QTest::newRow("zip slip") << int(BackfillAnswer::ZipSlip) << true;
        QTest::newRow("absolute path") << int(BackfillAnswer::AbsolutePath) << true;
        QTest::newRow("symbolic link") << int(BackfillAnswer::Symlink) << true;
    }

    void archives()
    {
        QFETCH(int, answer);
        QFETCH(bool, refused);
        const QString root = TestEnv::instance()->root();
        const QString backfillDir = Platform::installPathFwd(QLatin1String(InstallFiles::BackfillFolder));
        HttpServer server;
        QVERIFY(server.listen(0));
        FeedSimBackfill backfill(&server);
        const QString absolute = root + QStringLiteral("/elsewhere/feedsim_absolute.txt");
        backfill.setAbsoluteTarget(absolute);
        QString url = server.baseUrl() + QStringLiteral("/backfill/intraday?uid=A&hash=k&d=1&send=NIFTY-I,SBIN");
        if (answer < 0) {
            server.addRoute(QStringLiteral("/empty"), [](const HttpRequest &, HttpResponder *r) {
                r->respond(200, "application/zip", QByteArray());
            });
            url = server.baseUrl() + QStringLiteral("/empty");
        } else {
            backfill.setAnswer(BackfillAnswer(answer));
        }

        MyDownloader d(QStringLiteral("backfilldata.zip"), QString(), backfillDir + QLatin1Char('/'));
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        d.initialize(QStringLiteral("job"), url, backfillDir + QLatin1Char('/'));
        QTRY_VERIFY_WITH_TIMEOUT(finished.count() + errors.count() > 0, WaitMs);
        d.retryTimer->stop();
        QCOMPARE(errors.count() > 0, refused);
        QCOMPARE(finished.count() > 0, !refused);

        liveDataUpdator updater;
        QVERIFY(installFormatDefinitions());
        QDir().mkpath(backfillDir);
        QSignalSpy done(&updater, &liveDataUpdator::backfillDone);
        updater.doBackFill();
        QVERIFY(done.wait(WaitMs));

        const int served = backfill.linesServed(QStringLiteral("NIFTY-I")) + backfill.linesServed(QStringLiteral("SBIN"));
        if (answer == int(BackfillAnswer::Normal)) {
            QVERIFY(served > 0);
            QCOMPARE(importedLines().count('\n'), served);
        } else {
            QCOMPARE(importedLines(), QByteArray());
        }
        // Nothing left to be imported later as if whole, nothing outside the destination.
        QCOMPARE(filesIn(backfillDir), QStringList());
        QVERIFY(!QFileInfo::exists(root + QLatin1Char('/') + QLatin1String(FeedSimBackfill::SlipName)));
        QVERIFY(!QFileInfo::exists(absolute));
        QVERIFY(!QFileInfo::exists(root + QStringLiteral("/outside")));
    }

    void zipBombs_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<qint64>("diskBytes"); // 0: no small disk of its own
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<QString>("reason");
        const qint64 MiB = 1024 * 1024;
        QTest::newRow("past the limit") << int(BackfillAnswer::ZipBomb) << qint64(0) << 32 * MiB
                                        << QStringLiteral("the archive would unpack to 67 MB, more than the 33 MB allowed");
        QTest::newRow("past the disk") << int(BackfillAnswer::ZipBomb) << 32 * MiB << 1024 * MiB
                                       << QStringLiteral("the archive would unpack to 67 MB, more than the disk holding "
                                                         "%ROOT% can take");
        QTest::newRow("lying, past the limit") << int(BackfillAnswer::LyingZip) << qint64(0) << 8 * MiB
                                               << QStringLiteral("the archive unpacked to ");
        QTest::newRow("lying, filling the disk") << int(BackfillAnswer::LyingZip) << 40 * MiB << 1024 * MiB
                                                 << QStringLiteral("the archive unpacked to ");
    }

    // An archive of zeros that unpacks to far more than it weighs: refused before
    // it is unpacked when it says so, stopped at the limit when it lies about its
    // sizes; in words, and nothing of it left on the disk.
    void zipBombs()
    {
        QFETCH(int, answer);
        QFETCH(qint64, diskBytes);
        QFETCH(qint64, maxBytes);
        QFETCH(QString, reason);
        reason.replace(QStringLiteral("%ROOT%"), QDir::toNativeSeparators(TestEnv::instance()->root()));
        const QString backfillDir = Platform::installPathFwd(QLatin1String(InstallFiles::BackfillFolder));
        std::unique_ptr<SmallDisk> disk;
        if (diskBytes > 0) {
            disk = std::make_unique<SmallDisk>(backfillDir, diskBytes);
            if (!disk->isMounted())
                QSKIP("needs a tmpfs of its own (root)");
        }
        HttpServer server;
        QVERIFY(server.listen(0));
        FeedSimBackfill backfill(&server);
        backfill.setAnswer(BackfillAnswer(answer));
        backfill.setBombSize(64 * 1024 * 1024);

        MyDownloader d(QStringLiteral("backfilldata.zip"), QString(), backfillDir + QLatin1Char('/'));
        d.setUnpackLimits(MyDownloader::UnpackLimits{maxBytes, 1024 * 1024});
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        QSignalSpy refused(&d, &MyDownloader::refused);
        const qint64 freeBefore = Platform::freeDiskBytes(backfillDir);
        d.initialize(QStringLiteral("job"), server.baseUrl() + QStringLiteral("/backfill/intraday?uid=A&d=1&send=SBIN"),
                     backfillDir + QLatin1Char('/'));
        QTRY_VERIFY_WITH_TIMEOUT(finished.count() + errors.count() > 0, 30000);
        d.retryTimer->stop();
        QCOMPARE(finished.count(), 0);
        QCOMPARE(refused.count(), 1);
        QVERIFY2(refused.first().first().toString().startsWith(reason), qPrintable(refused.first().first().toString()));
        QCOMPARE(filesIn(backfillDir), QStringList());
        QVERIFY(!QFile::exists(d.archivePath()));
        // Whatever was written is gone again.
        QVERIFY(Platform::freeDiskBytes(backfillDir) >= freeBefore - 1024 * 1024);
    }

    // The disk is full when a backfill's archive arrives: the job waits, and once
    // there is room it is stored, unpacked and imported whole.
    void backfillJobOnAFullDiskWaitsForRoom()
    {
        SmallDisk disk(TestEnv::instance()->root(), 32 * 1024 * 1024);
        if (!disk.isMounted())
            QSKIP("needs a tmpfs of its own (root)");
        QVERIFY(installFormatDefinitions());
        const QString backfillDir = Platform::installPathFwd(QLatin1String(InstallFiles::BackfillFolder));
        QDir().mkpath(backfillDir);
        HttpServer server;
        QVERIFY(server.listen(0));
        FeedSimBackfill backfill(&server);
        MyDownloader d(QStringLiteral("backfilldata.zip"), QString(), backfillDir + QLatin1Char('/'));
        d.setUnpackLimits(MyDownloader::UnpackLimits{1024 * 1024 * 1024, 1024 * 1024});
        d.setDiskRetryInterval(100);
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        QSignalSpy waiting(&d, &MyDownloader::waitingForDisk);
        QVERIFY(disk.fill());
        d.initialize(QStringLiteral("job"), server.baseUrl() + QStringLiteral("/backfill/intraday?uid=A&d=1&send=SBIN"),
                     backfillDir + QLatin1Char('/'));
        QTRY_COMPARE_WITH_TIMEOUT(waiting.count(), 1, WaitMs);
        QVERIFY(d.findChild<QTimer *>(QStringLiteral("diskRetry"))->isActive());
        QCOMPARE(errors.count(), 0);

        QVERIFY(disk.makeRoom());
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, WaitMs);
        QCOMPARE(errors.count(), 0);
        liveDataUpdator updater;
        QSignalSpy done(&updater, &liveDataUpdator::backfillDone);
        updater.doBackFill();
        QVERIFY(done.wait(WaitMs));
        const int served = backfill.linesServed(QStringLiteral("SBIN"));
        QVERIFY(served > 0);
        QCOMPARE(importedLines().count('\n'), served);
    }

    // ---- full disk, unwritable install root -------------------------------

    void tickFileOnFullDisk()
    {
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("needs /dev/full");
        TickBuffer ticks; // outlives the worker, which clears it as it stops
        WebSocketWorker worker(QUrl(QStringLiteral("ws://127.0.0.1:1/")), {}, QLatin1String(InstallFiles::TickFile),
                               QString());
        worker.setTickBuffer(&ticks);
        writeFile(tickFilePath(), "old,batch\n");
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), tickFilePath() + QStringLiteral(".tmp")));
        worker.onTextMessageReceived(AckSubscribe);
        worker.onTextMessageReceived(OneTick);
        // The cut-off write never replaces the whole old batch; the ticks still go to the import.
        QCOMPARE(readFile(tickFilePath()), QByteArray("old,batch\n"));
        QCOMPARE(ticks.takePending(), OneTickLine);
    }

    void importFileOnFullDisk()
    {
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("needs /dev/full");
        liveDataUpdator updater;
        QVERIFY(installFormatDefinitions());
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), updater.rtImportPath));
        QSignalSpy blocked(&updater, &liveDataUpdator::liveImportBlocked);
        QSignalSpy resumed(&updater, &liveDataUpdator::liveImportResumed);
        // Two ticks of one second: the cycles that fail must not add them up.
        const QByteArray sameSecond = "tick,NIFTY-I,20240131,09:15:01,24001,25,0,0\n";
        updater.tickBuffer()->publish(OneTickLine + sameSecond);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("incomplete import file")));
        updater.updateDataAmi();
        QCOMPARE(importedLines(), QByteArray());
        QCOMPARE(blocked.count(), 1);
        QCOMPARE(blocked.first().first().toString(), QStringLiteral("No space left on device"));
        // Said once per stretch, not once per cycle.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("incomplete import file")));
        updater.updateDataAmi();
        QCOMPARE(blocked.count(), 1);
        QCOMPARE(resumed.count(), 0);

        // Once there is room again the same ticks are imported, once, with the same
        // sum, before newer ones.
        QVERIFY(QFile::remove(updater.rtImportPath));
        const QByteArray later = "tick,SBIN,20240131,09:15:02,612.5,10,0,0\n";
        updater.tickBuffer()->publish(later);
        updater.updateDataAmi();
        const QByteArray summed = "tick,NIFTY-I,20240131,09:15:01,24001,100,0,0\n";
        QCOMPARE(importedLines(), summed + later);
        QCOMPARE(viewDifferences(streamView(OneTickLine + sameSecond + later), brokerView()), 0);
        QCOMPARE(resumed.count(), 1);
        updater.updateDataAmi();
        QCOMPARE(importedLines(), summed + later);
        QCOMPARE(blocked.count(), 1);
        QCOMPARE(resumed.count(), 1);
    }

    void heldTicksImportedWithoutAnotherBatch()
    {
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("needs /dev/full");
        // The disk fills during the day's last batch; no batch comes after it.
        liveDataUpdator updater;
        writeFile(updater.liveFormatPath, "$FORMAT Ticker\n");
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), updater.rtImportPath));
        updater.tickBuffer()->publish(OneTickLine);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("incomplete import file")));
        updater.updateDataAmi();
        auto *retry = updater.findChild<QTimer *>(QStringLiteral("heldTicksRetry"));
        QVERIFY(retry);
        QVERIFY(retry->isActive());
        QCOMPARE(retry->interval(), liveDataUpdator::HeldTicksRetryMs);

        // Room again: the held ticks go in on their own, once, and the retries end.
        QVERIFY(QFile::remove(updater.rtImportPath));
        QTRY_COMPARE_WITH_TIMEOUT(importedLines(), OneTickLine, 3 * liveDataUpdator::HeldTicksRetryMs);
        // The cycle reports back to the updater's thread once it is over.
        QTRY_VERIFY_WITH_TIMEOUT(!retry->isActive(), 2000);
        QVERIFY(!updater.tickBuffer()->hasPending());
    }

    void heldTicksImportedAtClose()
    {
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("needs /dev/full");
        quillmark2 window;
        liveDataUpdator *updater = window.updater();
        writeFile(updater->liveFormatPath, "$FORMAT Ticker\n");
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), updater->rtImportPath));
        updater->tickBuffer()->publish(OneTickLine);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("incomplete import file")));
        updater->updateDataAmi();
        QVERIFY(QFile::remove(updater->rtImportPath));
        // Closed before the next retry: the close makes the last attempt.
        updater->findChild<QTimer *>(QStringLiteral("heldTicksRetry"))->stop();
        const QByteArray queued = "tick,SBIN,20240131,09:15:02,612.5,10,0,0\n";
        updater->tickBuffer()->publish(queued); // its cycle is still on its way when the window closes
        window.close();
        QCOMPARE(importedLines(), OneTickLine + queued);
        QVERIFY(!updater->tickBuffer()->hasPending());
    }

    void unwritableInstallRoot()
    {
        // Tests run as root, where permissions do not hold: a file where the
        // install folder should be is the root that nothing can be written into.
        const QString blocked = TestEnv::instance()->path(QStringLiteral("not-a-folder"));
        QVERIFY(writeFile(blocked, "x"));
        const QByteArray saved = qgetenv("QUILLMARK_ROOT");
        qputenv("QUILLMARK_ROOT", blocked.toUtf8());
        auto restore = qScopeGuard([&] { qputenv("QUILLMARK_ROOT", saved); });

        liveDataUpdator updater;
        WebSocketWorker worker(QUrl(QStringLiteral("ws://127.0.0.1:1/")), {}, QLatin1String(InstallFiles::TickFile),
                               QString());
        worker.setTickBuffer(updater.tickBuffer());
        worker.onTextMessageReceived(AckSubscribe);
        worker.onTextMessageReceived(OneTick);
        QCOMPARE(updater.tickBuffer()->latestBatch(), OneTickLine);

        QSignalSpy importBlocked(&updater, &liveDataUpdator::liveImportBlocked);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot write")));
        updater.updateDataAmi();
        QCOMPARE(importBlocked.count(), 1);
        // Nothing could be imported, so the ticks wait for the next cycle.
        QCOMPARE(updater.tickBuffer()->takePending(), OneTickLine);

        HttpServer server;
        QVERIFY(server.listen(0));
        FeedSimBackfill backfill(&server);
        MyDownloader d(QStringLiteral("backfilldata.zip"), QString(), updater.backfillFolder + QLatin1Char('/'));
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot")));
        d.initialize(QStringLiteral("job"), server.baseUrl() + QStringLiteral("/backfill/intraday?uid=A&d=1&send=SBIN"),
                     updater.backfillFolder + QLatin1Char('/'));
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, WaitMs);
        d.retryTimer->stop();
        QCOMPARE(finished.count(), 0);
        QVERIFY(QFileInfo(blocked).isFile());
        QCOMPARE(readFile(blocked), QByteArray("x"));
    }
};

QM_TEST_MAIN(tst_faults)
#include "tst_faults.moc"
