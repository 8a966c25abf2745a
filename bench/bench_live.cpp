// One "batch" frame of 10,000 records from its text to the tick file, through
// the worker's own frame handler (JSON parse, record rules, tick lines, one
// write and one rename, latestBatch). Reports records per second.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include "live/tickbuffer.h"
#include "live/websocketworker.h"
#include "platform/installroot.h"

namespace {

constexpr int RecordsPerBatch = 10000;

QString batchFrame()
{
    const QStringList symbols = {QStringLiteral("NIFTY-I"), QStringLiteral("BANKNIFTY-I"), QStringLiteral("SBIN"),
                                 QStringLiteral("RELIANCE"), QStringLiteral("CRUDEOIL-I"), QStringLiteral("USDINR-I")};
    QRandomGenerator random(1);
    QJsonArray records;
    for (int i = 0; i < RecordsPerBatch; ++i) {
        QJsonObject r;
        r.insert(QStringLiteral("type"), QStringLiteral("tick"));
        r.insert(QStringLiteral("symbol"), symbols.at(i % symbols.size()));
        r.insert(QStringLiteral("ltd"), QStringLiteral("20240131"));
        r.insert(QStringLiteral("ltt"), QStringLiteral("09:15:01"));
        r.insert(QStringLiteral("ltp"), double(random.bounded(100000, 9000000)) / 100.0);
        r.insert(QStringLiteral("ltq"), random.bounded(1, 500));
        r.insert(QStringLiteral("oi"), random.bounded(0, 2000000));
        r.insert(QStringLiteral("vol"), random.bounded(0, 50000000));
        records.append(r);
    }
    QJsonObject frame;
    frame.insert(QStringLiteral("type"), QStringLiteral("batch"));
    frame.insert(QStringLiteral("records"), records);
    return QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact));
}

void BM_BatchFrameToTickFile(benchmark::State &state)
{
    QTemporaryDir root;
    qputenv("QUILLMARK_ROOT", root.path().toUtf8());
    const QString frame = batchFrame();
    TickBuffer ticks; // outlives the worker, which clears it as it stops
    WebSocketWorker worker(QUrl(QStringLiteral("ws://127.0.0.1:1/")), {}, QStringLiteral("rtsocket.txt"), QString());
    worker.setTickBuffer(&ticks);
    worker.onTextMessageReceived(QStringLiteral(R"({"type":"sub_ack","action":"subscribe","symbols":[]})"));

    for (auto _ : state) {
        worker.onTextMessageReceived(frame);
        ticks.takePending(); // the importer's side, so the queue does not grow
    }
    const qint64 written = QFile(Platform::installPathFwd(QStringLiteral("rtsocket.txt"))).size();
    if (ticks.latestBatch().count('\n') != RecordsPerBatch || written != ticks.latestBatch().size())
        state.SkipWithError("tick file does not hold the whole batch");
    state.SetItemsProcessed(state.iterations() * RecordsPerBatch);
    state.counters["frame_bytes"] = double(frame.size());
}
BENCHMARK(BM_BatchFrameToTickFile)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
