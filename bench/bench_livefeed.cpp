// The main window's live path under a steady stream: the reference server (on its
// own thread) sends 20 batches a second for 200 symbols to a connected window, whose
// worker and updater are wired as Connect wires them, importing into the AmiBroker
// stand-in. Reports lines sent against lines imported (lost, doubled) and the time
// from a batch leaving the server to the end of the import cycle that carried it
// (Import, RefreshAll and the cycle's 50 ms pause).
//
// BENCH_LIVEFEED_SECONDS overrides the 60 s run.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QPushButton>
#include <QTimer>

#include "amibroker/livedataupdator.h"
#include "app/quillmark2.h"
#include "live/websocketworker.h"
#include "testenv.h"
#include "threadedstream.h"

#include <algorithm>
#include <vector>

namespace {

constexpr int SymbolCount = 200;
constexpr double BatchesPerSecond = 20.0;

struct Sent
{
    qint64 atNs;
    qint64 bytesUpTo; // tick bytes sent up to and including this batch
};

struct Seen
{
    qint64 atNs;
    qint64 importedBytes;
};

int runSeconds()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("BENCH_LIVEFEED_SECONDS", &ok);
    return ok && seconds > 0 ? seconds : 60;
}

QString importedPath()
{
    return TestEnv::instance()->path(QStringLiteral("Amibroker/imported.txt"));
}

QHash<QByteArray, int> lineCounts(const QByteArray &text)
{
    QHash<QByteArray, int> counts;
    for (const QByteArray &line : text.split('\n')) {
        if (!line.isEmpty())
            ++counts[line];
    }
    return counts;
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
    for (const char *name : {"dataFormatRT.dll", "dataFormat.dll", "dataFormatEod.dll"}) {
        QFile::remove(TestEnv::instance()->path(QLatin1String(name)));
        QFile::copy(QStringLiteral(QM_SOURCE_DIR "/resources/") + QLatin1String(name),
                    TestEnv::instance()->path(QLatin1String(name)));
    }

    QStringList symbols;
    QStringList exchanges;
    for (int i = 0; i < SymbolCount; ++i) {
        // A mix of index futures (prices above 10,000) and cash names.
        symbols << (i % 10 == 0 ? QStringLiteral("IDX%1-I").arg(i, 3, 10, QLatin1Char('0'))
                                : QStringLiteral("SYM%1").arg(i, 3, 10, QLatin1Char('0')));
        exchanges << (i % 10 == 0 ? QStringLiteral("FUTURE") : QStringLiteral("CASH"));
    }

    for (auto _ : state) {
        QFile::remove(importedPath());
        QElapsedTimer clock;
        clock.start();
        QMutex sentMutex;
        std::vector<Sent> sent;
        std::vector<Seen> seen;

        ThreadedStream sim;
        sim.run([](FeedSimStream *s) {
            s->setRate(0);
            s->setSeed(2024);
        });
        FeedSimStream *stream = sim.stream();
        QObject::connect(stream, &FeedSimStream::batchSent, stream, [&, stream](int) {
            QMutexLocker lock(&sentMutex);
            sent.push_back(Sent{clock.nsecsElapsed(), qint64(stream->sentTickLines().size())});
        }, Qt::DirectConnection);

        quillmark2 window;
        window.websocketLink = sim.url().toString();
        window.symbolLimit = SymbolCount;
        window.updater->selectedSymbols = symbols;
        window.updater->selectedExchanges = exchanges;
        window.findChild<QPushButton *>(QStringLiteral("connectButton"))->click();

        // Runs after the updater's import for the same batch signal: connected later, same thread.
        QObject observer;
        QObject::connect(window.liveWorker, &WebSocketWorker::rtDataDownloaded, &observer, [&] {
            const qint64 size = QFileInfo(importedPath()).size();
            if (seen.empty() || seen.back().importedBytes != size)
                seen.push_back(Seen{clock.nsecsElapsed(), size});
        }, Qt::QueuedConnection);

        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (sim.run([](FeedSimStream *s) { return s->subscribeLists().size(); }) > 0)
                loop.quit();
        });
        poll.start(20);
        QTimer::singleShot(10000, &loop, [&] { loop.exit(1); });
        if (loop.exec() != 0) {
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
        QElapsedTimer drain;
        drain.start();
        while (QFileInfo(importedPath()).size() < sentLines.size() && drain.elapsed() < 10000) {
            QEventLoop wait;
            QTimer::singleShot(50, &wait, &QEventLoop::quit);
            wait.exec();
        }
        QEventLoop tail;
        QTimer::singleShot(300, &tail, &QEventLoop::quit);
        tail.exec();

        QFile importedFile(importedPath());
        importedFile.open(QIODevice::ReadOnly);
        const QByteArray importedLines = importedFile.readAll();
        const QHash<QByteArray, int> want = lineCounts(sentLines);
        const QHash<QByteArray, int> got = lineCounts(importedLines);
        qint64 lost = 0;
        qint64 doubled = 0;
        for (auto it = want.cbegin(); it != want.cend(); ++it)
            lost += qMax(0, it.value() - got.value(it.key()));
        for (auto it = got.cbegin(); it != got.cend(); ++it)
            doubled += qMax(0, it.value() - want.value(it.key()));

        std::vector<double> latencyMs;
        {
            QMutexLocker lock(&sentMutex);
            size_t j = 0;
            for (const Sent &batch : sent) {
                while (j < seen.size() && seen[j].importedBytes < batch.bytesUpTo)
                    ++j;
                if (j == seen.size())
                    break;
                latencyMs.push_back(double(seen[j].atNs - batch.atNs) / 1e6);
            }
            state.counters["batches_sent"] = double(sent.size());
        }

        state.counters["lines_sent"] = double(sentLines.count('\n'));
        state.counters["lines_imported"] = double(importedLines.count('\n'));
        state.counters["lost"] = double(lost);
        state.counters["doubled"] = double(doubled);
        state.counters["identical"] = importedLines == sentLines ? 1 : 0;
        state.counters["import_cycles"] = double(seen.size());
        state.counters["latency_p50_ms"] = percentile(latencyMs, 0.50);
        state.counters["latency_p99_ms"] = percentile(latencyMs, 0.99);
        state.counters["latency_max_ms"] = latencyMs.empty() ? 0 : *std::max_element(latencyMs.begin(), latencyMs.end());
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
