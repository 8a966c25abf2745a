// The main window's live path under a steady stream: the reference server (on its
// own thread) sends 20 batches a second for 200 symbols to a connected window, whose
// worker and updater are wired as Connect wires them, importing into the AmiBroker
// stand-in. Reports whether AmiBroker's view equals the stream (per symbol and
// second, the last price and the summed quantity of every tick sent), the line-level
// checks that still hold once seconds are summed (no line that is not a state the
// stream passed through, never more lines than ticks), and the time from a batch
// leaving the server to the Import call that carried it and to the end of that
// import cycle (Import, RefreshAll and the cycle's 50 ms pause).
//
// BENCH_LIVEFEED_SECONDS overrides the 60 s run.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMutex>
#include <QPushButton>
#include <QTimer>

#include "amibroker/livedataupdator.h"
#include "common/quotestamp.h"
#include "common/installfiles.h"
#include "app/quillmark2.h"
#include "symbols/symbolselection.h"
#include "brokerview.h"
#include "standin/brokerstandin.h"
#include "platform/installroot.h"
#include "testenv.h"
#include "windowprofile.h"
#include "threadedstream.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int SymbolCount = 200;
constexpr double BatchesPerSecond = 20.0;

// Where one symbol's second stands: its stamp and the quantity summed so far. A
// later state has a later stamp, or the same one with a larger sum.
struct ProbeState
{
    qint64 stamp = -1;
    qint64 sum = 0;
    bool reaches(const ProbeState &other) const
    {
        return stamp > other.stamp || (stamp == other.stamp && sum >= other.sum);
    }
};

struct Sent
{
    qint64 atNs;
    ProbeState probe;
};

struct Seen
{
    qint64 importNs;
    qint64 endNs;
    ProbeState probe;
};

int runSeconds()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("BENCH_LIVEFEED_SECONDS", &ok);
    return ok && seconds > 0 ? seconds : 60;
}

QString standInFile(const char *name)
{
    return Platform::installPath(QLatin1String(name));
}

// The probe symbol's last state in tick or import lines; running carries the sum
// of tick lines (each adds its quantity), import lines carry it themselves.
void followProbe(const QByteArray &lines, const QByteArray &probe, bool summed, ProbeState *state)
{
    const QByteArray marker = ',' + probe + ',';
    int at = 0;
    while ((at = lines.indexOf(marker, at)) >= 0) {
        const int lineEnd = lines.indexOf('\n', at);
        const int lineStart = lines.lastIndexOf('\n', at) + 1;
        const QList<QByteArray> parts = lines.mid(lineStart, (lineEnd < 0 ? lines.size() : lineEnd) - lineStart).trimmed().split(',');
        at = lineEnd < 0 ? lines.size() : lineEnd;
        if (parts.size() < 8)
            continue;
        const qint64 stamp = QuoteStamp::stamp(QString::fromLatin1(parts.at(2)), QString::fromLatin1(parts.at(3)));
        const qint64 quantity = parts.at(5).toLongLong();
        if (summed || stamp != state->stamp)
            state->sum = quantity;
        else
            state->sum += quantity;
        state->stamp = stamp;
    }
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

void BM_LiveFeedThroughWindow(benchmark::State &state)
{
    QStringList symbols;
    QStringList exchanges;
    for (int i = 0; i < SymbolCount; ++i) {
        // A mix of index futures (prices above 10,000) and cash names.
        symbols << (i % 10 == 0 ? QStringLiteral("IDX%1-I").arg(i, 3, 10, QLatin1Char('0'))
                                : QStringLiteral("SYM%1").arg(i, 3, 10, QLatin1Char('0')));
        exchanges << (i % 10 == 0 ? QStringLiteral("FUTURE") : QStringLiteral("CASH"));
    }
    const QByteArray probe = symbols.first().toLatin1();

    for (auto _ : state) {
        TestEnv::instance()->reset();
        if (!installFormatDefinitions()) {
            state.SkipWithError("cannot install the format definitions");
            return;
        }
        QElapsedTimer clock;
        clock.start();
        QMutex mutex; // sent is filled on the stream's thread
        std::vector<Sent> sent;
        std::vector<Seen> seen;
        QMutex seenMutex; // seen is filled on the import cycle's thread
        ProbeState sentProbe;
        int sentOffset = 0;

        ThreadedStream sim;
        sim.run([](FeedSimStream *s) {
            s->setRate(0);
            s->setSeed(2024);
        });
        FeedSimStream *stream = sim.stream();
        QObject::connect(stream, &FeedSimStream::batchSent, stream, [&, stream](int) {
            const QByteArray lines = stream->sentTickLines();
            followProbe(lines.mid(sentOffset), probe, false, &sentProbe);
            sentOffset = lines.size();
            QMutexLocker lock(&mutex);
            sent.push_back(Sent{clock.nsecsElapsed(), sentProbe});
        }, Qt::DirectConnection);

        quillmark2 window;
        reconfigure(window, [&](ServerProfile &p) {
            p.websocketLink = sim.url().toString();
            p.symbolLimit = SymbolCount;
        });
        window.selection()->set(symbols, exchanges);

        // Runs inside the stand-in's calls, on whichever thread runs the import
        // cycle, where the Import call's file is there to read; ticksImported
        // follows on that thread when the cycle (with its pause) ends.
        const QString importFile = standInFile(InstallFiles::ImportFile);
        BrokerStandIn::setCallObserver([&](const QString &function) {
            if (function.startsWith(QLatin1String("Import(")) && function.contains(importFile)) {
                QMutexLocker lock(&seenMutex);
                ProbeState imported = seen.empty() ? ProbeState() : seen.back().probe;
                followProbe(readFile(importFile), probe, true, &imported);
                seen.push_back(Seen{clock.nsecsElapsed(), 0, imported});
            }
        });
        QObject::connect(
            window.updater(), &liveDataUpdator::ticksImported, window.updater(),
            [&](int) {
                QMutexLocker lock(&seenMutex);
                if (!seen.empty() && seen.back().endNs == 0)
                    seen.back().endNs = clock.nsecsElapsed();
            },
            Qt::DirectConnection);
        window.findChild<QPushButton *>(QStringLiteral("connectButton"))->click();

        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (sim.run([](FeedSimStream *s) { return s->subscribeLists().size(); }) > 0)
                loop.quit();
        });
        poll.start(20);
        QTimer::singleShot(10000, &loop, [&] { loop.exit(1); });
        if (loop.exec() != 0) {
            BrokerStandIn::setCallObserver(nullptr);
            state.SkipWithError("the window did not subscribe");
            return;
        }
        poll.stop();
        QEventLoop settle;
        QTimer::singleShot(200, &settle, &QEventLoop::quit);
        settle.exec();

        sim.run([](FeedSimStream *s) { s->setRate(BatchesPerSecond); });
        QEventLoop run;
        QTimer::singleShot(runSeconds() * 1000, &run, &QEventLoop::quit);
        run.exec();
        sim.run([](FeedSimStream *s) { s->setRate(0); });

        // Let the last batches through.
        const QByteArray sentLines = sim.run([](FeedSimStream *s) { return s->sentTickLines(); });
        const ProbeState last = [&] {
            QMutexLocker lock(&mutex);
            return sent.empty() ? ProbeState() : sent.back().probe;
        }();
        QElapsedTimer drain;
        drain.start();
        auto caughtUp = [&] {
            QMutexLocker lock(&seenMutex);
            return !seen.empty() && seen.back().probe.reaches(last);
        };
        while (!caughtUp() && drain.elapsed() < 10000) {
            QEventLoop wait;
            QTimer::singleShot(50, &wait, &QEventLoop::quit);
            wait.exec();
        }
        QEventLoop tail;
        QTimer::singleShot(300, &tail, &QEventLoop::quit);
        tail.exec();
        BrokerStandIn::setCallObserver(nullptr);

        const QByteArray importedLines = readFile(standInFile(InstallFiles::ImportedJournal));
        const QuoteView want = streamView(sentLines);
        QStringList samples;
        const int differences = viewDifferences(want, brokerView(), &samples);

        std::vector<double> toImportMs;
        std::vector<double> toEndMs;
        {
            QMutexLocker lock(&mutex);
            QMutexLocker seenLock(&seenMutex);
            size_t j = 0;
            for (const Sent &batch : sent) {
                while (j < seen.size() && !seen[j].probe.reaches(batch.probe))
                    ++j;
                if (j == seen.size())
                    break;
                toImportMs.push_back(double(seen[j].importNs - batch.atNs) / 1e6);
                if (seen[j].endNs > 0)
                    toEndMs.push_back(double(seen[j].endNs - batch.atNs) / 1e6);
            }
            state.counters["batches_sent"] = double(sent.size());
            state.counters["batches_timed"] = double(toImportMs.size());
        }

        const qint64 linesSent = sentLines.count('\n');
        const qint64 linesImported = importedLines.count('\n');
        const int offStream = linesOffTheStream(importedLines, sentLines);
        state.counters["lines_sent"] = double(linesSent);
        state.counters["lines_imported"] = double(linesImported);
        state.counters["quotes"] = double(want.size());
        state.counters["view_differences"] = double(differences);
        state.counters["lines_off_stream"] = double(offStream);
        state.counters["import_cycles"] = [&] {
            QMutexLocker lock(&seenMutex);
            return double(seen.size());
        }();
        state.counters["to_import_p50_ms"] = percentile(toImportMs, 0.50);
        state.counters["to_import_p99_ms"] = percentile(toImportMs, 0.99);
        state.counters["to_end_p50_ms"] = percentile(toEndMs, 0.50);
        state.counters["to_end_p99_ms"] = percentile(toEndMs, 0.99);
        state.counters["to_end_max_ms"] = toEndMs.empty() ? 0 : *std::max_element(toEndMs.begin(), toEndMs.end());
        std::printf("AmiBroker's view equals the stream: %s (%d differences over %d quotes of %lld ticks; "
                    "%lld lines imported, %d off the stream)\n",
                    differences == 0 && !want.isEmpty() ? "yes" : "NO", differences, int(want.size()),
                    static_cast<long long>(linesSent), static_cast<long long>(linesImported), offStream);
        for (const QString &sample : qAsConst(samples))
            std::printf("  %s\n", qPrintable(sample));
        std::fflush(stdout);
        if (differences != 0 || offStream != 0 || linesImported > linesSent)
            state.SkipWithError("AmiBroker's view differs from the stream");
        window.close();
    }
}
BENCHMARK(BM_LiveFeedThroughWindow)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    prepareTestApplication();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
