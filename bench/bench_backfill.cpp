// doBackFill over a 40 MiB one-minute-bar file with 20 mapping entries, the
// stand-in's import included, against `cp` of the same file twice.
//
// BM_DoBackFill runs with the shipped pauses (100 ms before each of the three
// chunk imports); BM_DoBackFillNoPauses shows the work itself. Bytes/s counts
// the source file. The import runs on the automation object's thread; both also
// report how late this thread (the window's) handled an event posted every 10 ms
// meanwhile, as window_late_p50/p99/max_ms.

#include <benchmark/benchmark.h>

#include "amibroker/livedataupdator.h"
#include "common/installfiles.h"
#include "common/settingskeys.h"
#include "lateness.h"
#include "testenv.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>

#include <memory>

namespace {

constexpr qint64 SourceBytes = 40 * 1024 * 1024;

QByteArray &sourceContent()
{
    static QByteArray content = [] {
        QByteArray out;
        out.reserve(SourceBytes + 4096);
        int minute = 0;
        while (out.size() < SourceBytes) {
            // 40 symbols, half of them renamed in the second field.
            const int sym = minute % 40;
            out += "2024-01-31,SYM" + QByteArray::number(sym) + "-I,09:" + QByteArray::number(10 + minute % 50)
                   + ":00,21734.5,21740.25,21730,21738.75," + QByteArray::number(1000 + minute % 997) + ",1234500\n";
            ++minute;
        }
        return out;
    }();
    return content;
}

QString sourcePath()
{
    return TestEnv::instance()->path(QStringLiteral("bench_source.txt"));
}

void prepareSource()
{
    if (QFile(sourcePath()).size() != sourceContent().size())
        writeFile(sourcePath(), sourceContent());
}

void setTwentyEntries()
{
    QStringList entries;
    for (int i = 0; i < 20; ++i)
        entries << QStringLiteral("SYM%1-I,NEWSYM%1").arg(i * 2);
    QSettings s;
    s.setValue(QLatin1String(Keys::SymbolMappingEntries), entries);
    s.sync();
}

void runBackfill(benchmark::State &state, bool pauses)
{
    prepareSource();
    setTwentyEntries();
    const QString formatFile = TestEnv::instance()->path(QLatin1String(InstallFiles::BackfillFormat));
    writeFile(formatFile, "$FORMAT Date_YMD,Ticker,Time,Open,High,Low,Close,Volume,OpenInt\n");
    auto updater = std::make_unique<liveDataUpdator>();
    if (!pauses) {
        updater->backfillLimits.pauseBeforeImportMs = 0;
        updater->backfillLimits.retryPauseMs = 0;
    }
    const QString imported = TestEnv::instance()->path(QLatin1String(InstallFiles::ImportedJournal));
    const QString target = updater->backfillFolder + QStringLiteral("/NIFTY.txt");
    QSignalSpy done(updater.get(), &liveDataUpdator::backfillDone);
    LatenessProbe lateness;
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(imported);
        QDir().mkpath(updater->backfillFolder);
        QFile::remove(target);
        QFile::copy(sourcePath(), target);
        done.clear();
        lateness.start();
        state.ResumeTiming();

        updater->doBackFill();
        if (!done.wait(120000))
            state.SkipWithError("the backfill import did not end");
        state.PauseTiming();
        lateness.stop();
        state.ResumeTiming();
    }
    // Renaming changes the length of lines, not their number.
    if (readFile(imported).count('\n') != sourceContent().count('\n'))
        state.SkipWithError("AmiBroker did not receive every line");
    state.SetBytesProcessed(state.iterations() * sourceContent().size());
    const Spread late = lateness.spread();
    state.counters["window_late_p50_ms"] = late.p50;
    state.counters["window_late_p99_ms"] = late.p99;
    state.counters["window_late_max_ms"] = late.max;
}

void BM_DoBackFill(benchmark::State &state)
{
    runBackfill(state, true);
}

void BM_DoBackFillNoPauses(benchmark::State &state)
{
    runBackfill(state, false);
}

void BM_CopyTwice(benchmark::State &state)
{
    prepareSource();
    const QString a = TestEnv::instance()->path(QStringLiteral("copy_a.txt"));
    const QString b = TestEnv::instance()->path(QStringLiteral("copy_b.txt"));
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(a);
        QFile::remove(b);
        state.ResumeTiming();
        const int first = QProcess::execute(QStringLiteral("cp"), {sourcePath(), a});
        const int second = QProcess::execute(QStringLiteral("cp"), {sourcePath(), b});
        if (first != 0 || second != 0)
            state.SkipWithError("cp failed");
    }
    state.SetBytesProcessed(state.iterations() * sourceContent().size());
}

} // namespace

BENCHMARK(BM_CopyTwice)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DoBackFill)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DoBackFillNoPauses)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    prepareTestApplication();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
