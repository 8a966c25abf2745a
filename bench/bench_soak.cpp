// Long-running soak: the reference stream at 20 batches a second over 500
// symbols, into the WebSocket worker on its own thread and the live import on
// the main thread, wired as the main window wires them. Every minute it prints
// resident memory, the heap bytes actually in use (what a leak would grow:
// resident memory also holds what the allocator keeps for reuse) and CPU
// time, and how late a 100 ms timer on the main thread (the window's thread
// in the program) fired at worst that minute; at the end it says whether
// AmiBroker's view equals the stream (per symbol and second, the last price and
// the summed quantity of every tick the server sent, against what the stand-in
// holds) and whether every imported line was a state the stream passed through.
//
//   bench_soak [seconds]          (default 3600)
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QThread>
#include <QTimer>

#include "amibroker/livedataupdator.h"
#include "common/quotestamp.h"
#include "common/installfiles.h"
#include "brokerview.h"
#include "feedsimstream.h"
#include "live/tickbuffer.h"
#include "live/websocketworker.h"
#include "platform/installroot.h"
#include "procstatus.h"
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

// The stream against what AmiBroker holds. AmiBroker's view (the stand-in's
// quotes.txt) is read and then removed at each accounting, so the stand-in starts
// again from an empty table and the file stays small over an hour; a quote read
// later overwrites the one read earlier, as it would in AmiBroker. Seconds older
// than the horizon no longer change: they are settled (compared, counted and
// dropped), so the ledger stays small too. The line-level check that still holds
// goes alongside: every imported line is a state the stream passed through.
class Ledger
{
public:
    static constexpr qint64 HorizonSeconds = 10;

    void addSent(const QByteArray &lines)
    {
        for (const QByteArray &line : lines.split('\n')) {
            QList<QByteArray> parts = line.split(',');
            if (parts.size() != 8)
                continue;
            const QuoteKey key(QString::fromUtf8(parts.at(1)),
                               QuoteStamp::stamp(QString::fromUtf8(parts.at(2)), QString::fromUtf8(parts.at(3))));
            ViewQuote &quote = m_want[key];
            quote.price = parts.at(4).toDouble();
            quote.quantity += parts.at(5).toLongLong();
            quote.openInterest = parts.at(6).toDouble();
            parts[5] = QByteArray::number(quote.quantity);
            m_states.insert(lineHash(parts.join(',')), key.second);
            m_newest = qMax(m_newest, secondsOf(key.second));
            ++m_sent;
        }
    }

    void addImported(const QByteArray &lines)
    {
        for (QByteArray line : lines.split('\n')) {
            if (line.endsWith('\r'))
                line.chop(1);
            if (line.isEmpty())
                continue;
            ++m_imported;
            if (!m_states.contains(lineHash(line)))
                ++m_offStream;
        }
    }

    void addHeld(const QByteArray &quotesText)
    {
        const QuoteView held = quotesView(quotesText);
        for (auto it = held.cbegin(); it != held.cend(); ++it)
            m_got.insert(it.key(), it.value());
    }

    // Compares and drops every second older than the horizon (all of them with all).
    void settle(bool all)
    {
        QuoteView want;
        QuoteView got;
        for (auto it = m_want.begin(); it != m_want.end();) {
            if (all || secondsOf(it.key().second) < m_newest - HorizonSeconds) {
                want.insert(it.key(), it.value());
                it = m_want.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = m_got.begin(); it != m_got.end();) {
            if (all || secondsOf(it.key().second) < m_newest - HorizonSeconds) {
                got.insert(it.key(), it.value());
                it = m_got.erase(it);
            } else {
                ++it;
            }
        }
        m_settled += want.size();
        m_differences += viewDifferences(want, got, m_samples.size() < 5 ? &m_samples : nullptr);
        for (auto it = m_states.begin(); it != m_states.end();) {
            if (all || secondsOf(it.value()) < m_newest - HorizonSeconds)
                it = m_states.erase(it);
            else
                ++it;
        }
    }

    // Quotes not yet settled that AmiBroker does not hold as the stream says.
    int unsettledDifferences() const { return viewDifferences(m_want, m_got); }

    qint64 sent() const { return m_sent; }
    qint64 imported() const { return m_imported; }
    qint64 settled() const { return m_settled; }
    qint64 differences() const { return m_differences; }
    qint64 offStream() const { return m_offStream; }
    int open() const { return m_want.size(); }
    QStringList samples() const { return m_samples; }

private:
    // 64 bits of two seeded hashes: an hour's states without keeping their text.
    static quint64 lineHash(const QByteArray &line)
    {
        return (quint64(qHash(line, 0x5bd1e995u)) << 32) | qHash(line, 0x27d4eb2fu);
    }

    static qint64 secondsOf(qint64 stamp)
    {
        const int day = QuoteStamp::datePart(stamp);
        const int clock = QuoteStamp::timePart(stamp);
        return QDate(day / 10000, day / 100 % 100, day % 100).toJulianDay() * 86400 + (clock / 10000) * 3600
               + (clock / 100 % 100) * 60 + clock % 100;
    }

    QuoteView m_want;
    QuoteView m_got;
    QHash<quint64, qint64> m_states; // every line state the stream passed through (hashed), with its stamp
    qint64 m_newest = 0;
    qint64 m_sent = 0;
    qint64 m_imported = 0;
    qint64 m_settled = 0;
    qint64 m_differences = 0;
    qint64 m_offStream = 0;
    QStringList m_samples;
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
    // AmiBroker's stand-in reads the format definitions we ship, as AmiBroker does.
    if (!installFormatDefinitions()) {
        std::fprintf(stderr, "cannot install the format definitions\n");
        return 2;
    }
    const QString importedPath = Platform::installPath(QLatin1String(InstallFiles::ImportedJournal));
    const QString quotesPath = Platform::installPath(QLatin1String(InstallFiles::StandInQuotes));

    QThread liveThread;
    liveThread.setObjectName(QStringLiteral("liveStream"));
    auto *worker = new WebSocketWorker(stream->url(), symbols, QStringLiteral("rtsocket.txt"),
                                       QStringLiteral("QM-SOAK"), nullptr);
    worker->setTickBuffer(updater.tickBuffer());
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
        ledger.addSent(sent);
        // Taken on the automation object's thread, the one that runs the import
        // cycles, between two of them: nothing writes the files meanwhile.
        QByteArray importedLines;
        QByteArray held;
        auto take = [&] {
            QFile imported(importedPath);
            if (imported.open(QIODevice::ReadWrite)) {
                importedLines = imported.readAll();
                imported.resize(0);
            }
            held = readFile(quotesPath);
            QFile::remove(quotesPath);
        };
        QObject *broker = updater.amiBroker;
        if (!broker || broker->thread() == QThread::currentThread())
            take();
        else
            QMetaObject::invokeMethod(broker, take, Qt::BlockingQueuedConnection);
        ledger.addImported(importedLines);
        ledger.addHeld(held);
        ledger.settle(false);
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
        std::printf("t=%5llds rss=%lld KiB heap=%lld KiB cpu=%.1fs (%.1f%% of one core) ticks_sent=%lld lines_imported=%lld quotes_settled=%lld differences=%lld open=%d connects=%d main_late_max=%lldms\n",
                    static_cast<long long>(ms / 1000), static_cast<long long>(processStatusKiB("VmRSS:")),
                    static_cast<long long>(heapInUseKiB()), cpu, share,
                    static_cast<long long>(ledger.sent()), static_cast<long long>(ledger.imported()),
                    static_cast<long long>(ledger.settled()), static_cast<long long>(ledger.differences()),
                    ledger.open(), connects, static_cast<long long>(worstLateMs));
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
                seconds, static_cast<long long>(processStatusKiB("VmRSS:")));
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
        } while (ledger.unsettledDifferences() > 0 && drain.elapsed() < DrainTimeoutMs);
        app.quit();
    });
    app.exec();

    ledger.settle(true);
    report();
    const bool equal = ledger.differences() == 0 && ledger.settled() > 0;
    const bool linesHold = ledger.offStream() == 0 && ledger.imported() <= ledger.sent();
    std::printf("AmiBroker's view equals the stream: %s (%lld differences over %lld quotes of %lld ticks; "
                "%lld lines imported, %lld off the stream)\n",
                equal ? "yes" : "NO", static_cast<long long>(ledger.differences()),
                static_cast<long long>(ledger.settled()), static_cast<long long>(ledger.sent()),
                static_cast<long long>(ledger.imported()), static_cast<long long>(ledger.offStream()));
    for (const QString &sample : ledger.samples())
        std::printf("  %s\n", qPrintable(sample));
    std::fflush(stdout);

    QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection);
    liveThread.quit();
    liveThread.wait(5000);
    QMetaObject::invokeMethod(stream, [&] { delete stream; }, Qt::BlockingQueuedConnection);
    serverThread.quit();
    serverThread.wait(5000);
    return equal && linesHold ? 0 : 1;
}
