// The symbol selection on a full-size catalogue: 150,000 contracts, 100,000 of them
// in the option feed, served enveloped by the in-process reference server.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

#include <memory>

#include "amibroker/livedataupdator.h"
#include "app/quillmark2.h"
#include "feedsim.h"
#include "testenv.h"

namespace {

constexpr int Contracts = 150000;
constexpr int Options = 100000;

// FeedSim's generated catalogue, cut to exactly Options option contracts: the
// options beyond that are listed under CMOPT instead.
QByteArray catalogueBody()
{
    const QJsonObject root = QJsonDocument::fromJson(FeedSim::contractsJson(Contracts)).object();
    QJsonArray contracts = root.value(QStringLiteral("contracts")).toArray();
    int options = 0;
    for (int i = 0; i < contracts.size(); ++i) {
        QJsonObject contract = contracts.at(i).toObject();
        if (contract.value(QStringLiteral("Exch")).toString() == QLatin1String("OPTION") && ++options > Options) {
            contract.insert(QStringLiteral("Exch"), QStringLiteral("CMOPT"));
            contracts.replace(i, contract);
        }
    }
    QJsonObject out;
    out.insert(QStringLiteral("success"), true);
    out.insert(QStringLiteral("contracts"), contracts);
    return QJsonDocument(out).toJson(QJsonDocument::Compact);
}

// One server and one shown window for every benchmark of the run.
struct Fixture
{
    FeedSim sim;
    QNetworkAccessManager manager;
    std::unique_ptr<quillmark2> window;

    Fixture()
    {
        sim.options().envelope = true;
        sim.options().contractsBody = catalogueBody();
        if (!sim.start())
            return;
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());
        window = std::make_unique<quillmark2>();
        window->networkManager = &manager;
        window->symbolLimit = 200;
        window->show();
        window->loadContractCatalogue();
        QCoreApplication::processEvents();
    }

    template <typename T>
    T *child(const char *name) const
    {
        return window->findChild<T *>(QLatin1String(name));
    }
    QListWidget *list() const { return child<QListWidget>("symbolsListWidget"); }
    QLineEdit *search() const { return child<QLineEdit>("machineIDLabel_2"); }
    // The change, then the event loop until the view has laid out and painted it.
    static void settle() { QCoreApplication::processEvents(); }
};

// Made on first use, destroyed in main while the application object still exists.
std::unique_ptr<Fixture> g_fixture;

Fixture &fixture()
{
    if (!g_fixture)
        g_fixture = std::make_unique<Fixture>();
    return *g_fixture;
}

bool ready(benchmark::State &state)
{
    if (!fixture().window) {
        state.SkipWithError("feedsim did not start");
        return false;
    }
    return true;
}

void BM_FetchCatalogue(benchmark::State &state)
{
    if (!ready(state))
        return;
    Fixture &f = fixture();
    for (auto _ : state)
        f.window->loadContractCatalogue();
    state.counters["contracts"] = [&] {
        int n = 0;
        for (const QStringList &list : qAsConst(f.window->contractCatalogue))
            n += list.size();
        return n;
    }();
    state.counters["options"] = f.window->contractCatalogue.value(QStringLiteral("OPTION")).size();
    if (f.window->contractCatalogue.value(QStringLiteral("OPTION")).size() != Options)
        state.SkipWithError("catalogue incomplete");
}
BENCHMARK(BM_FetchCatalogue)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_SwitchToOptionFeed(benchmark::State &state)
{
    if (!ready(state))
        return;
    Fixture &f = fixture();
    auto *cash = f.child<QRadioButton>("cashBox");
    auto *option = f.child<QRadioButton>("optionBox");
    for (auto _ : state) {
        state.PauseTiming();
        cash->click();
        Fixture::settle();
        state.ResumeTiming();
        option->click();
        Fixture::settle();
    }
    if (f.list()->count() != Options)
        state.SkipWithError("option list incomplete");
}
BENCHMARK(BM_SwitchToOptionFeed)->Unit(benchmark::kMillisecond)->Iterations(10);

// One keystroke in the search box of the option feed: `before` is what was typed so far.
void BM_SearchKeystroke(benchmark::State &state, const QString &before, const QString &after)
{
    if (!ready(state))
        return;
    Fixture &f = fixture();
    f.child<QRadioButton>("optionBox")->click();
    Fixture::settle();
    for (auto _ : state) {
        state.PauseTiming();
        f.search()->setText(before);
        Fixture::settle();
        state.ResumeTiming();
        f.search()->setText(after);
        Fixture::settle();
    }
    state.counters["shown"] = f.list()->count();
    f.search()->clear();
}
BENCHMARK_CAPTURE(BM_SearchKeystroke, NIFTY, QStringLiteral("NIFT"), QStringLiteral("NIFTY"))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
BENCHMARK_CAPTURE(BM_SearchKeystroke, NIFTY2, QStringLiteral("NIFTY"), QStringLiteral("NIFTY2"))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

// "Add Symbol" on the option feed with 200 of its symbols selected and ticked.
void BM_AddSymbol200Selected(benchmark::State &state)
{
    if (!ready(state))
        return;
    Fixture &f = fixture();
    f.child<QRadioButton>("optionBox")->click();
    Fixture::settle();
    const QStringList options = f.window->contractCatalogue.value(QStringLiteral("OPTION"));
    f.window->updater->selectedSymbols.clear();
    f.window->updater->selectedExchanges.clear();
    for (int i = 0; i < 200; ++i) {
        f.window->updater->selectedSymbols << options.at(i * 499);
        f.window->updater->selectedExchanges << QStringLiteral("OPTION");
    }
    f.window->showFeedSymbols(QStringLiteral("OPTION"));
    Fixture::settle();
    auto *add = f.child<QPushButton>("addSelected");
    for (auto _ : state) {
        add->click();
        Fixture::settle();
    }
    if (f.child<QTableWidget>("displayTableWidget")->rowCount() != 200)
        state.SkipWithError("table not filled");
}
BENCHMARK(BM_AddSymbol200Selected)->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    prepareTestApplication();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    g_fixture.reset();
    return 0;
}
