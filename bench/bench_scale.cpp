// The live path at thousands of symbols: the main window, shown with its quote
// table filled as a restored selection fills it, wired as its Connect button
// wires it, fed by bin/feedsim running as a process of its own (its CPU is not
// counted here), importing into the AmiBroker stand-in. Each run reports:
//
// - ticks per second offered (the server's journal) and imported (ticksImported);
// - whether AmiBroker's view equals the stream: per symbol and second, the
//   stream's summed quantity and last price (from the journal's tick lines)
//   against the stand-in's quote table; a second held short or not at all is
//   lost, one held with more is doubled, a different price or open interest is a
//   difference, a second the stream never had is extra;
// - the time from a batch's arrival at the worker to the Import of the cycle
//   that carried it (taken as the stand-in returns from Import) and to the end
//   of that cycle (after RefreshAll and the cycle's pause), p50/p99/max;
// - how late the window's thread handles an event posted every 10 ms from
//   another thread (what input and repaints wait), p50/p99/max;
// - the program's CPU per 1,000 offered ticks/s, in % of one core, without the
//   stand-in's own share (AmiBroker's work, printed apart): the CPU from the start
//   until the import has caught up with the run's last batch, over the run's time;
// - peak resident memory, and resident memory sampled every 10 s past a 30 s
//   warm-up (first/min/max/last), to read flatness over a long run.
//
//   bench_scale [--symbols N] [--rate BATCHES_PER_S] [--seconds S]   (5000, 20, 20)
//   bench_scale --sweep [--seconds S]     200, 1000, 2000, 5000, 10000 symbols at 20/s
//   bench_scale ... --slow MS             AmiBroker takes MS over every Import
//   bench_scale ... --gone S@AFTER        AmiBroker is closed AFTER seconds into the
//                                         run and cannot be started for S seconds
//
// feedsim is started with its rate: it sends nothing before a client subscribes,
// so the run starts when the journal shows the window's subscribe frame. It ends
// with SIGUSR1, which ends feedsim's stream but not its connections, so every
// batch it sent still arrives; then at most 15 s for the import to catch up.
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

#include "amibroker/livedataupdator.h"
#include "common/installfiles.h"
#include "app/quillmark2.h"
#include "symbols/symbolselection.h"
#include "brokerview.h"
#include "live/livesession.h"
#include "live/tickbuffer.h"
#include "live/websocketworker.h"
#include "standin/brokerstandin.h"
#include "platform/installroot.h"
#include "lateness.h"
#include "procstatus.h"
#include "testenv.h"
#include "windowprofile.h"

#include <malloc.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int WarmUpSeconds = 30;
constexpr int RssSampleMs = 10000;
constexpr int ProbeIntervalMs = 10;
constexpr int DrainCapMs = 15000;
constexpr int DrainQuietMs = 500;
constexpr int JournalChunkBytes = 8 * 1024 * 1024;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

qint64 processCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Each row of a sweep starts its peak from what it holds itself.
void resetPeakRss()
{
    malloc_trim(0);
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

void waitMs(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Calls fn(begin, end) for every line of a file, read in blocks.
template<typename Fn>
bool forEachLine(const QString &path, Fn &&fn)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    constexpr int Block = 4 * 1024 * 1024;
    QByteArray buffer;
    int carried = 0;
    for (;;) {
        buffer.resize(carried + Block);
        const qint64 got = file.read(buffer.data() + carried, Block);
        if (got <= 0)
            break;
        const char *p = buffer.constData();
        const char *end = p + carried + got;
        while (const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)))) {
            fn(p, nl);
            p = nl + 1;
        }
        carried = int(end - p);
        if (carried > 0)
            std::memmove(buffer.data(), p, size_t(carried));
    }
    if (carried > 0)
        fn(buffer.constData(), buffer.constData() + carried);
    return true;
}

struct Comparison
{
    int quotes = 0;
    int lost = 0;
    int doubled = 0;
    int differences = 0;
    int extra = 0;
    QStringList samples;
};

Comparison compare(const QuoteView &want, const QuoteView &got)
{
    Comparison c;
    c.quotes = want.size();
    auto sample = [&](const QString &what, const QuoteKey &key, const ViewQuote *w, const ViewQuote *g) {
        if (c.samples.size() >= 5)
            return;
        auto text = [](const ViewQuote *q) {
            return q ? QStringLiteral("%1 x %2 oi %3").arg(q->price).arg(q->quantity).arg(q->openInterest)
                     : QStringLiteral("none");
        };
        c.samples << QStringLiteral("%1 %2 %3: stream %4, AmiBroker %5").arg(what, key.first).arg(key.second).arg(text(w), text(g));
    };
    for (auto it = want.cbegin(); it != want.cend(); ++it) {
        const auto held = got.constFind(it.key());
        if (held == got.cend()) {
            ++c.lost;
            sample(QStringLiteral("lost"), it.key(), &it.value(), nullptr);
            continue;
        }
        if (held->quantity < it->quantity) {
            ++c.lost;
            sample(QStringLiteral("lost"), it.key(), &it.value(), &held.value());
        } else if (held->quantity > it->quantity) {
            ++c.doubled;
            sample(QStringLiteral("doubled"), it.key(), &it.value(), &held.value());
        }
        if (held->price != it->price || held->openInterest != it->openInterest) {
            ++c.differences;
            sample(QStringLiteral("differs"), it.key(), &it.value(), &held.value());
        }
    }
    for (auto it = got.cbegin(); it != got.cend(); ++it) {
        if (!want.contains(it.key())) {
            ++c.extra;
            sample(QStringLiteral("extra"), it.key(), nullptr, &it.value());
        }
    }
    return c;
}

struct Row
{
    int symbols = 0;
    double rate = 0;
    double runSeconds = 0;
    double setupSeconds = 0;
    qint64 offered = 0;
    qint64 received = 0;
    qint64 imported = 0;
    int cycles = 0;
    bool drained = false;
    Comparison view;
    Spread toImport;
    Spread toEnd;
    Spread late;
    size_t batches = 0;
    double programCpu = 0; // % of one core over the run
    double standInCpu = 0;
    qint64 peakKiB = 0;
    QVector<qint64> rssAfterWarmUp; // KiB
    QVector<qint64> ownRssAfterWarmUp; // KiB, less the stand-in's quote table
    QString error;
};

QStringList symbolNames(int count, QStringList *exchanges)
{
    QStringList names;
    for (int i = 0; i < count; ++i) {
        // A mix of index futures (prices above 10,000) and cash names.
        const bool future = i % 10 == 0;
        names << (future ? QStringLiteral("IDX%1-I") : QStringLiteral("SYM%1")).arg(i, 5, 10, QLatin1Char('0'));
        *exchanges << (future ? QStringLiteral("FUTURE") : QStringLiteral("CASH"));
    }
    return names;
}

// How AmiBroker misbehaves during a run.
struct Misbehaviour
{
    int slowMs = 0;
    int goneSeconds = 0;
    int goneAfterSeconds = 0;
};

Row runOnce(int symbolCount, double rate, int seconds, const Misbehaviour &misbehaviour)
{
    Row row;
    row.symbols = symbolCount;
    row.rate = rate;

    TestEnv::instance()->reset();
    if (!installFormatDefinitions()) {
        row.error = QStringLiteral("cannot install the format definitions");
        return row;
    }
    BrokerStandIn::setQuoteTableDeferred(true);
    const QString journalPath = TestEnv::instance()->path(QStringLiteral("feedsim.journal"));
    const QString feedsimPath = QStringLiteral(QM_TEST_BIN_DIR "/feedsim");
    if (!QFileInfo(feedsimPath).isExecutable()) {
        row.error = QStringLiteral("no %1 (build the feedsim target)").arg(feedsimPath);
        return row;
    }

    QProcess feedsim;
    feedsim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    feedsim.start(feedsimPath, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--ws-port"),
                                QStringLiteral("0"), QStringLiteral("--rate"), QString::number(rate),
                                QStringLiteral("--seed"), QStringLiteral("2024"), QStringLiteral("--journal"),
                                journalPath});
    int wsPort = 0;
    {
        QByteArray out;
        QElapsedTimer wait;
        wait.start();
        const QRegularExpression ports(QStringLiteral("feedsim http=\\d+ ws=(\\d+)"));
        while (wsPort == 0 && wait.elapsed() < 10000 && feedsim.state() != QProcess::NotRunning) {
            feedsim.waitForReadyRead(100);
            out += feedsim.readAllStandardOutput();
            const QRegularExpressionMatch m = ports.match(QString::fromLatin1(out));
            if (m.hasMatch())
                wsPort = m.captured(1).toInt();
        }
    }
    auto endFeedsim = [&] {
        if (feedsim.state() == QProcess::NotRunning)
            return;
        feedsim.terminate();
        if (!feedsim.waitForFinished(5000)) {
            feedsim.kill();
            feedsim.waitForFinished(2000);
        }
    };
    if (wsPort == 0) {
        endFeedsim();
        row.error = QStringLiteral("feedsim did not start");
        return row;
    }

    resetPeakRss();
    QStringList exchanges;
    const QStringList symbols = symbolNames(symbolCount, &exchanges);

    // Shared with the worker's thread (batches) and the import cycle's (cycles).
    struct Cycle
    {
        qint64 importNs = 0;
        qint64 endNs = 0;
        qint64 lines = 0;
    };
    QMutex batchMutex;
    std::vector<std::pair<qint64, qint64>> batches; // arrival, kept lines so far
    qint64 linesReceived = 0;
    QMutex cycleMutex;
    std::vector<Cycle> cycles;
    QVector<QPair<qint64, qint64>> rssSamples; // ms into the run, KiB
    QVector<qint64> ownSamples;                // the same less the stand-in's quote table

    const qint64 setupStartNs = nowNs();
    auto window = std::make_unique<quillmark2>();
    reconfigure(*window, [&](ServerProfile &p) {
        p.websocketLink = QStringLiteral("ws://127.0.0.1:%1/").arg(wsPort);
        p.symbolLimit = symbolCount;
    });
    window->selection()->set(symbols, exchanges);
    // The quote table as a restored selection leaves it: a row and two buttons per symbol.
    window->addDisplayTable();
    window->show();

    // Runs inside the stand-in's calls, on whichever thread runs the import cycle;
    // ticksImported follows on that thread when the cycle (with its pause) ends.
    const QString importFile = Platform::installPath(QLatin1String(InstallFiles::ImportFile));
    const QString heldFile = Platform::installPath(QLatin1String(InstallFiles::HeldImportFile));
    BrokerStandIn::setCallObserver([&](const QString &function) {
        if (function.startsWith(QLatin1String("Import("))
            && (function.contains(importFile) || function.contains(heldFile))) {
            QMutexLocker lock(&cycleMutex);
            cycles.push_back(Cycle{nowNs(), 0, 0});
        }
    });
    const QMetaObject::Connection importedConnection = QObject::connect(
        window->updater(), &liveDataUpdator::ticksImported, window->updater(),
        [&](int ticks) {
            const qint64 at = nowNs();
            QMutexLocker lock(&cycleMutex);
            if (!cycles.empty() && cycles.back().lines == 0) {
                cycles.back().lines = ticks;
                cycles.back().endNs = at;
            }
        },
        Qt::DirectConnection);

    window->findChild<QPushButton *>(QStringLiteral("connectButton"))->click();
    QMetaObject::Connection batchConnection;
    if (WebSocketWorker *worker = window->liveSession()->worker()) {
        batchConnection = QObject::connect(
            worker, &WebSocketWorker::batchReceived, worker,
            [&](int, int kept) {
                const qint64 at = nowNs();
                QMutexLocker lock(&batchMutex);
                linesReceived += kept;
                batches.emplace_back(at, linesReceived);
            },
            Qt::DirectConnection);
    }

    // The run starts with the subscribe frame: feedsim sends nothing before it.
    QElapsedTimer subscribeWait;
    subscribeWait.start();
    bool subscribed = false;
    while (!subscribed && subscribeWait.elapsed() < 30000) {
        waitMs(20);
        QFile journal(journalPath);
        if (journal.open(QIODevice::ReadOnly))
            subscribed = journal.readAll().contains("\"type\":\"subscribe\"");
    }
    auto detach = [&] {
        BrokerStandIn::setCallObserver(nullptr);
        QObject::disconnect(importedConnection);
        QObject::disconnect(batchConnection);
    };
    if (!subscribed) {
        detach();
        endFeedsim();
        row.error = QStringLiteral("the window did not subscribe");
        return row;
    }
    row.setupSeconds = double(nowNs() - setupStartNs) / 1e9;

    // The window's thread against an event posted every 10 ms from elsewhere.
    LatenessProbe lateness(ProbeIntervalMs);
    lateness.start();

    const qint64 startNs = nowNs();
    const qint64 cpuStart = processCpuNs();
    const qint64 busyStart = BrokerStandIn::busyNs();
    QTimer rssTimer;
    QObject::connect(&rssTimer, &QTimer::timeout, &rssTimer,
                     [&] {
                         const qint64 rss = processStatusKiB("VmRSS:");
                         rssSamples.append({(nowNs() - startNs) / 1000000, rss});
                         ownSamples.append(rss - BrokerStandIn::quoteTableBytes() / 1024);
                     });
    rssTimer.start(RssSampleMs);
    BrokerStandIn::setSlowImports(misbehaviour.slowMs);
    if (misbehaviour.goneSeconds > 0) {
        QTimer::singleShot(misbehaviour.goneAfterSeconds * 1000, [] { BrokerStandIn::setClosed(true); });
        QTimer::singleShot((misbehaviour.goneAfterSeconds + misbehaviour.goneSeconds) * 1000,
                           [] { BrokerStandIn::setClosed(false); });
    }
    waitMs(seconds * 1000);
    rssTimer.stop();
    const qint64 stopNs = nowNs();
    lateness.stop();
    ::kill(pid_t(feedsim.processId()), SIGUSR1);

    // Every batch sent still arrives; the import catches up with it.
    auto counts = [&] {
        qint64 received = 0;
        qint64 imported = 0;
        {
            QMutexLocker lock(&batchMutex);
            received = linesReceived;
        }
        QMutexLocker lock(&cycleMutex);
        for (const Cycle &c : cycles)
            imported += c.lines;
        return std::make_pair(received, imported);
    };
    QElapsedTimer drain;
    drain.start();
    qint64 lastReceived = -1;
    qint64 quietSince = 0;
    // Lines held while AmiBroker was away wait for a new automation object first.
    const qint64 drainCapMs = DrainCapMs + (misbehaviour.goneSeconds > 0 ? 2 * BrokerLink::RecreateEveryMs : 0);
    while (drain.elapsed() < drainCapMs) {
        waitMs(50);
        const auto [received, imported] = counts();
        if (received != lastReceived || imported < received) {
            lastReceived = received;
            quietSince = drain.elapsed();
        } else if (drain.elapsed() - quietSince >= DrainQuietMs) {
            row.drained = true;
            break;
        }
    }
    // The ticks of the run cost what it takes to import them, catching up included.
    const qint64 cpuUsed = processCpuNs() - cpuStart;
    const qint64 busyUsed = BrokerStandIn::busyNs() - busyStart;
    detach();
    row.peakKiB = processStatusKiB("VmHWM:");

    if (!BrokerStandIn::saveQuoteTable())
        row.error = QStringLiteral("cannot write the quote table");
    const QuoteView got = brokerView();
    endFeedsim();
    window->close();
    window.reset();
    BrokerStandIn::setQuoteTableDeferred(false);
    BrokerStandIn::behaveNormally();

    row.runSeconds = double(stopNs - startNs) / 1e9;
    row.programCpu = 100.0 * double(cpuUsed - busyUsed) / double(stopNs - startNs);
    row.standInCpu = 100.0 * double(busyUsed) / double(stopNs - startNs);
    for (int i = 0; i < rssSamples.size(); ++i) {
        if (rssSamples.at(i).first >= WarmUpSeconds * 1000) {
            row.rssAfterWarmUp << rssSamples.at(i).second;
            row.ownRssAfterWarmUp << ownSamples.at(i);
        }
    }
    row.late = lateness.spread();

    // What AmiBroker should hold after the journal's tick lines, by the rules every
    // test judges with, fed in chunks so that the journal is never held whole.
    QuoteView want;
    QByteArray chunk;
    qint64 ticks = 0;
    forEachLine(journalPath, [&](const char *b, const char *e) {
        if (e - b <= 5 || std::memcmp(b, "tick ", 5) != 0)
            return;
        ++ticks;
        chunk.append(b + 5, int(e - b - 5));
        chunk.append('\n');
        if (chunk.size() >= JournalChunkBytes) {
            addTicks(want, chunk);
            chunk.clear();
        }
    });
    addTicks(want, chunk);
    row.offered = ticks;
    row.view = compare(want, got);

    // Batch j (kept lines so far P_j) went with the first cycle whose imported
    // lines so far reach P_j.
    std::vector<double> toImport;
    std::vector<double> toEnd;
    {
        QMutexLocker batchLock(&batchMutex);
        QMutexLocker cycleLock(&cycleMutex);
        row.received = linesReceived;
        row.batches = batches.size();
        row.cycles = int(cycles.size());
        size_t i = 0;
        qint64 importedSoFar = cycles.empty() ? 0 : cycles[0].lines;
        for (const auto &[at, keptSoFar] : batches) {
            while (i < cycles.size() && importedSoFar < keptSoFar) {
                ++i;
                if (i < cycles.size())
                    importedSoFar += cycles[i].lines;
            }
            if (i == cycles.size())
                break;
            toImport.push_back(double(cycles[i].importNs - at) / 1e6);
            if (cycles[i].endNs > 0)
                toEnd.push_back(double(cycles[i].endNs - at) / 1e6);
        }
        for (const Cycle &c : cycles)
            row.imported += c.lines;
    }
    row.toImport = spreadOf(toImport);
    row.toEnd = spreadOf(toEnd);
    return row;
}

QString ms(const Spread &s)
{
    if (s.count == 0)
        return QStringLiteral("-");
    return QStringLiteral("%1/%2/%3").arg(s.p50, 0, 'f', 0).arg(s.p99, 0, 'f', 0).arg(s.max, 0, 'f', 0);
}

QString mib(qint64 kib)
{
    return QString::number(double(kib) / 1024.0, 'f', 0);
}

void printTable(const std::vector<Row> &rows)
{
    QVector<QPair<QString, QStringList>> lines;
    auto add = [&](const QString &name, auto cell) {
        QStringList cells;
        for (const Row &r : rows)
            cells << (r.error.isEmpty() || name == QLatin1String("symbols") ? cell(r) : QStringLiteral("-"));
        lines.append({name, cells});
    };
    auto perSecond = [](qint64 n, const Row &r) {
        return r.runSeconds > 0 ? QString::number(double(n) / r.runSeconds, 'f', 0) : QStringLiteral("-");
    };
    auto per1k = [](double cpu, const Row &r) {
        const double offered = r.runSeconds > 0 ? double(r.offered) / r.runSeconds : 0;
        return offered > 0 ? QString::number(cpu / (offered / 1000.0), 'f', 2) : QStringLiteral("-");
    };
    add(QStringLiteral("symbols"), [](const Row &r) { return QString::number(r.symbols); });
    add(QStringLiteral("batches/s asked"), [](const Row &r) { return QString::number(r.rate); });
    add(QStringLiteral("run s (set-up s)"), [](const Row &r) {
        return QStringLiteral("%1 (%2)").arg(r.runSeconds, 0, 'f', 1).arg(r.setupSeconds, 0, 'f', 1);
    });
    add(QStringLiteral("ticks/s offered"), [&](const Row &r) { return perSecond(r.offered, r); });
    add(QStringLiteral("ticks/s received"), [&](const Row &r) { return perSecond(r.received, r); });
    add(QStringLiteral("ticks/s imported"), [&](const Row &r) { return perSecond(r.imported, r); });
    add(QStringLiteral("import cycles (caught up)"), [](const Row &r) {
        return QStringLiteral("%1 (%2)").arg(r.cycles).arg(r.drained ? QStringLiteral("yes") : QStringLiteral("NO"));
    });
    add(QStringLiteral("symbol-seconds compared"), [](const Row &r) { return QString::number(r.view.quotes); });
    add(QStringLiteral("lost"), [](const Row &r) { return QString::number(r.view.lost); });
    add(QStringLiteral("doubled"), [](const Row &r) { return QString::number(r.view.doubled); });
    add(QStringLiteral("price differences"), [](const Row &r) { return QString::number(r.view.differences); });
    add(QStringLiteral("extra"), [](const Row &r) { return QString::number(r.view.extra); });
    add(QStringLiteral("batches (timed)"), [](const Row &r) {
        return QStringLiteral("%1 (%2)").arg(r.batches).arg(r.toImport.count);
    });
    add(QStringLiteral("batch->Import ms p50/p99/max"), [](const Row &r) { return ms(r.toImport); });
    add(QStringLiteral("batch->cycle end ms p50/p99/max"), [](const Row &r) { return ms(r.toEnd); });
    add(QStringLiteral("window late ms p50/p99/max"), [](const Row &r) { return ms(r.late); });
    add(QStringLiteral("program CPU %/1k ticks/s"), [&](const Row &r) { return per1k(r.programCpu, r); });
    add(QStringLiteral("stand-in CPU %/1k ticks/s"), [&](const Row &r) { return per1k(r.standInCpu, r); });
    add(QStringLiteral("program CPU % (stand-in %)"), [](const Row &r) {
        return QStringLiteral("%1 (%2)").arg(r.programCpu, 0, 'f', 1).arg(r.standInCpu, 0, 'f', 1);
    });
    add(QStringLiteral("peak RSS MiB"), [](const Row &r) { return mib(r.peakKiB); });
    auto flatness = [&](const QString &name, QVector<qint64> Row::*samples) {
        add(name, [samples](const Row &r) {
            const QVector<qint64> &kib = r.*samples;
            if (kib.isEmpty())
                return QStringLiteral("-");
            const auto [lo, hi] = std::minmax_element(kib.cbegin(), kib.cend());
            return QStringLiteral("%1/%2/%3/%4").arg(mib(kib.first()), mib(*lo), mib(*hi), mib(kib.last()));
        });
    };
    flatness(QStringLiteral("RSS MiB after 30 s first/min/max/last"), &Row::rssAfterWarmUp);
    // The stand-in keeps AmiBroker's database in memory, a quote per symbol and second.
    flatness(QStringLiteral("  less the stand-in's quotes"), &Row::ownRssAfterWarmUp);

    int nameWidth = 0;
    QVector<int> widths(int(rows.size()), 0);
    for (const auto &line : lines) {
        nameWidth = std::max(nameWidth, int(line.first.size()));
        for (int i = 0; i < line.second.size(); ++i)
            widths[i] = std::max(widths[i], int(line.second.at(i).size()));
    }
    for (const auto &line : lines) {
        QString text = line.first.leftJustified(nameWidth);
        for (int i = 0; i < line.second.size(); ++i)
            text += QStringLiteral("  ") + line.second.at(i).rightJustified(widths[i]);
        std::printf("%s\n", qPrintable(text));
    }
    for (const Row &r : rows) {
        if (!r.error.isEmpty())
            std::printf("%d symbols: %s\n", r.symbols, qPrintable(r.error));
        for (const QString &sample : r.view.samples)
            std::printf("%d symbols: %s\n", r.symbols, qPrintable(sample));
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    prepareTestApplication();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The live path against feedsim at thousands of symbols."));
    parser.addHelpOption();
    const QCommandLineOption symbolsOption(QStringLiteral("symbols"), QStringLiteral("Symbols subscribed (5000)."),
                                           QStringLiteral("n"), QStringLiteral("5000"));
    const QCommandLineOption rateOption(QStringLiteral("rate"), QStringLiteral("Batches per second (20)."),
                                        QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), QStringLiteral("Run seconds per row (20)."),
                                           QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption sweepOption(QStringLiteral("sweep"),
                                         QStringLiteral("200, 1000, 2000, 5000 and 10000 symbols at 20 batches/s."));
    const QCommandLineOption slowOption(QStringLiteral("slow"), QStringLiteral("AmiBroker takes MS over every Import."),
                                        QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption goneOption(
        QStringLiteral("gone"), QStringLiteral("AmiBroker closed for S seconds, AFTER seconds into the run (60@30)."),
        QStringLiteral("S@AFTER"));
    parser.addOptions({symbolsOption, rateOption, secondsOption, sweepOption, slowOption, goneOption});
    parser.process(app);

    Misbehaviour misbehaviour;
    misbehaviour.slowMs = qMax(0, parser.value(slowOption).toInt());
    if (parser.isSet(goneOption)) {
        const QStringList parts = parser.value(goneOption).split(QLatin1Char('@'));
        misbehaviour.goneSeconds = qMax(0, parts.value(0).toInt());
        misbehaviour.goneAfterSeconds = qMax(0, parts.value(1).toInt());
    }

    const int seconds = qMax(1, parser.value(secondsOption).toInt());
    std::vector<std::pair<int, double>> plan;
    if (parser.isSet(sweepOption)) {
        for (const int n : {200, 1000, 2000, 5000, 10000})
            plan.emplace_back(n, 20.0);
    } else {
        plan.emplace_back(qMax(1, parser.value(symbolsOption).toInt()), qMax(0.1, parser.value(rateOption).toDouble()));
    }

    std::vector<Row> rows;
    for (const auto &[symbols, rate] : plan) {
        std::printf("run: %d symbols, %g batches/s, %d s\n", symbols, rate, seconds);
        std::fflush(stdout);
        rows.push_back(runOnce(symbols, rate, seconds, misbehaviour));
    }
    printTable(rows);
    for (const Row &r : rows) {
        if (r.error == QLatin1String("feedsim did not start") || r.error.startsWith(QLatin1String("no ")))
            return 2;
    }
    return 0;
}
