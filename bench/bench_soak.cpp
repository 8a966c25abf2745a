// Long-running soak: the reference stream at 20 batches a second over 500
// symbols, into the WebSocket worker on its own thread and the live import on
// the main thread, wired as the main window wires them. Every minute it prints
// resident memory, the heap bytes actually in use (what a leak would grow:
// resident memory also holds what the allocator keeps for reuse) and CPU
// time, and how late a 100 ms timer on the main thread (the window's thread
// in the program) fired at worst that minute; at the end it prints how many tick lines the
// server sent, how many AmiBroker's stand-in imported, and how many were lost
// or doubled.
//
//   bench_soak [seconds]          (default 3600)
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QThread>
#include <QTimer>

#include "amibroker/livedataupdator.h"
#include "app/installfiles.h"
#include "feedsimstream.h"
#include "live/tickbuffer.h"
#include "live/websocketworker.h"
#include "platform/installroot.h"
#include "testenv.h"

#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>
#include <memory>

namespace {

constexpr int SymbolCount = 500;
constexpr double BatchesPerSecond = 20.0;
constexpr int ReportIntervalMs = 60000;
constexpr int AccountIntervalMs = 5000;
constexpr int DrainTimeoutMs = 20000;
constexpr int ProbeIntervalMs = 100;

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Bytes handed out by malloc and not yet freed, over all arenas.
qint64 heapInUseKiB()
{
    const struct mallinfo2 info = mallinfo2();
    return qint64((info.uordblks + info.hblkhd) / 1024);
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Lines sent minus lines imported, per distinct line: what is left once the
// stream has drained is exactly the lost (> 0) and doubled (< 0) lines.
class Ledger
{
public:
    void add(const QByteArray &lines, int sign)
    {
        for (const QByteArray &line : lines.split('\n')) {
            if (line.isEmpty())
                continue;
            const auto it = m_balance.find(line);
            if (it == m_balance.end()) {
                m_balance.insert(line, sign);
            } else if ((it.value() += sign) == 0) {
                m_balance.erase(it);
            }
            (sign > 0 ? m_sent : m_imported) += 1;
        }
    }
    qint64 sent() const { return m_sent; }
    qint64 imported() const { return m_imported; }
    qint64 outstanding() const { return m_balance.size(); }
    void tally(qint64 *lost, qint64 *doubled) const
    {
        *lost = 0;
        *doubled = 0;
        for (auto it = m_balance.cbegin(); it != m_balance.cend(); ++it)
            (it.value() > 0 ? *lost : *doubled) += qAbs(it.value());
    }

private:
    QHash<QByteArray, int> m_balance;
    qint64 m_sent = 0;
    qint64 m_imported = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    prepareTestApplication();
    const int seconds = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 3600;

    QStringList symbols;
    for (int i = 0; i < SymbolCount; ++i)
        symbols << QStringLiteral("SOAK%1").arg(i, 3, 10, QLatin1Char('0'));

    // The server on a thread of its own, so its work does not pace the import.
    QThread serverThread;
    serverThread.setObjectName(QStringLiteral("feedsim"));
    serverThread.start();
    auto *stream = new FeedSimStream;
    stream->moveToThread(&serverThread);
    bool listening = false;
    QMetaObject::invokeMethod(
        stream, [&] {
            stream->setSeed(7);
            stream->setRate(BatchesPerSecond);
            listening = stream->start();
        },
        Qt::BlockingQueuedConnection);
    if (!listening) {
        std::fprintf(stderr, "feedsim stream did not start\n");
        return 2;
    }

    liveDataUpdator updater;
    // AmiBroker's stand-in imports only with a format file present, as AmiBroker does.
    writeFile(updater.liveFormatPath, QByteArrayLiteral("$FORMAT Ticker\n"));
    const QString importedPath = Platform::installPath(QLatin1String(InstallFiles::ImportedJournal));

    QThread liveThread;
    liveThread.setObjectName(QStringLiteral("liveStream"));
    auto *worker = new WebSocketWorker(stream->url(), symbols, QStringLiteral("rtsocket.txt"),
                                       QStringLiteral("QM-SOAK"), nullptr);
    worker->moveToThread(&liveThread);
    QObject::connect(&liveThread, &QThread::finished, worker, &QObject::deleteLater);
    QObject::connect(&liveThread, &QThread::started, worker, &WebSocketWorker::start);
    QObject::connect(worker, &WebSocketWorker::rtDataDownloaded, &updater, &liveDataUpdator::scheduleLiveImport,
                     Qt::QueuedConnection);
    int connects = 0;
    QObject::connect(worker, &WebSocketWorker::connected, &app, [&] { ++connects; }, Qt::QueuedConnection);

    Ledger ledger;
    auto account = [&] {
        QByteArray sent;
        QMetaObject::invokeMethod(
            stream, [&] {
                sent = stream->sentTickLines();
                stream->resetCounters();
            },
            Qt::BlockingQueuedConnection);
        ledger.add(sent, +1);
        // The stand-in appends on this thread, so nothing writes the file meanwhile.
        QFile imported(importedPath);
        if (imported.open(QIODevice::ReadWrite)) {
            ledger.add(imported.readAll(), -1);
            imported.resize(0);
        }
    };

    // The main thread runs every import cycle; a probe timer beside them shows how
    // long anything else there (the window's input, its repaints) has to wait.
    QElapsedTimer probeClock;
    probeClock.start();
    qint64 probeDue = ProbeIntervalMs;
    qint64 worstLateMs = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, &app, [&] {
        const qint64 now = probeClock.elapsed();
        worstLateMs = qMax(worstLateMs, now - probeDue);
        probeDue = now + ProbeIntervalMs;
    });
    probe.start(ProbeIntervalMs);

    QElapsedTimer clock;
    clock.start();
    double lastCpu = cpuSeconds();
    qint64 lastMs = 0;
    auto report = [&] {
        const double cpu = cpuSeconds();
        const qint64 ms = clock.elapsed();
        const double share = ms > lastMs ? 100.0 * (cpu - lastCpu) / (double(ms - lastMs) / 1000.0) : 0.0;
        std::printf("t=%5llds rss=%lld KiB heap=%lld KiB cpu=%.1fs (%.1f%% of one core) sent=%lld imported=%lld in_flight=%lld connects=%d main_late_max=%lldms\n",
                    static_cast<long long>(ms / 1000), static_cast<long long>(residentKiB()),
                    static_cast<long long>(heapInUseKiB()), cpu, share,
                    static_cast<long long>(ledger.sent()), static_cast<long long>(ledger.imported()),
                    static_cast<long long>(ledger.outstanding()), connects,
                    static_cast<long long>(worstLateMs));
        worstLateMs = 0;
        std::fflush(stdout);
        lastCpu = cpu;
        lastMs = ms;
    };

    QTimer accountTimer;
    QObject::connect(&accountTimer, &QTimer::timeout, &app, account);
    accountTimer.start(AccountIntervalMs);
    QTimer reportTimer;
    QObject::connect(&reportTimer, &QTimer::timeout, &app, [&] {
        account();
        report();
    });
    reportTimer.start(ReportIntervalMs);

    std::printf("soak: %d symbols, %.0f batches/s, %d s, rss at start %lld KiB\n", SymbolCount, BatchesPerSecond,
                seconds, static_cast<long long>(residentKiB()));
    std::fflush(stdout);
    liveThread.start();

    QTimer::singleShot(seconds * 1000, &app, [&] {
        accountTimer.stop();
        reportTimer.stop();
        QMetaObject::invokeMethod(stream, [&] { stream->setStalled(true); }, Qt::BlockingQueuedConnection);
        // Let every frame already sent reach the import.
        QElapsedTimer drain;
        drain.start();
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
            account();
            QThread::msleep(50);
        } while (ledger.outstanding() > 0 && drain.elapsed() < DrainTimeoutMs);
        app.quit();
    });
    app.exec();

    report();
    qint64 lost = 0;
    qint64 doubled = 0;
    ledger.tally(&lost, &doubled);
    std::printf("exact-once: sent=%lld imported=%lld lost=%lld doubled=%lld -> %s\n",
                static_cast<long long>(ledger.sent()), static_cast<long long>(ledger.imported()),
                static_cast<long long>(lost), static_cast<long long>(doubled),
                lost == 0 && doubled == 0 ? "OK" : "FAILED");
    std::fflush(stdout);

    QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection);
    liveThread.quit();
    liveThread.wait(5000);
    QMetaObject::invokeMethod(stream, [&] { delete stream; }, Qt::BlockingQueuedConnection);
    serverThread.quit();
    serverThread.wait(5000);
    return lost == 0 && doubled == 0 ? 0 : 1;
}
