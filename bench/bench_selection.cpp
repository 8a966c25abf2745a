// The symbol selection on a full-size catalogue: 150,000 contracts, 100,000 of them
// in the option feed, served enveloped by the in-process reference server. The
// benchmarks at scale (thousands of selected symbols) run on windows of their own
// whose limit allows them.
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
#include <QSettings>
#include <QTableWidget>

#include <memory>

#include "amibroker/livedataupdator.h"
#include "app/quillmark2.h"
#include "symbols/feedcatalogue.h"
#include "symbols/selectioncontroller.h"
#include "symbols/symbolselection.h"
#include "common/settingskeys.h"
#include "feedsim.h"
#include "feedsimstream.h"
#include "live/tickbuffer.h"
#include "testenv.h"
#include "windowprofile.h"

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
        // Windows that connect get their subscription acknowledged, but no ticks.
        sim.stream()->setRate(0);
        if (!sim.start())
            return;
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());
        window = std::make_unique<quillmark2>();
        window->setNetworkManager(&manager);
        reconfigure(*window, [&](ServerProfile &p) { p.symbolLimit = 200; });
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
        for (const QStringList &list : qAsConst(f.window->symbolControls()->catalogue()))
            n += list.size();
        return n;
    }();
    state.counters["options"] = f.window->symbolControls()->catalogue().value(QStringLiteral("OPTION")).size();
    if (f.window->symbolControls()->catalogue().value(QStringLiteral("OPTION")).size() != Options)
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
    const QStringList options = f.window->symbolControls()->catalogue().value(QStringLiteral("OPTION"));
    QStringList symbols;
    for (int i = 0; i < 200; ++i)
        symbols << options.at(i * 499);
    f.window->selection()->set(symbols, QStringList(QVector<QString>(symbols.size(), QStringLiteral("OPTION")).toList()));
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

// ---- At scale ----------------------------------------------------------------------

constexpr int ScaleSymbols = 5000;
constexpr int FeedSymbols = 2000;
constexpr int ScaleLimit = 20000;
const char AllFeeds[] = "CASH,FUTURE,OPTION,COMM,CURR,SPOT,SXOPT,CMOPT,FOREX";

// The first ScaleSymbols option contracts: the selection of the benchmarks below.
QStringList scaleSelection()
{
    return fixture().window->symbolControls()->catalogue().value(QStringLiteral("OPTION")).mid(0, ScaleSymbols);
}

// A shown window with the server's catalogue, except that the CMOPT feed holds
// FeedSymbols contracts and is the feed shown, so the list the selection is
// checked against stays small and the figures are the selection's own.
std::unique_ptr<quillmark2> scaleWindow()
{
    Fixture &f = fixture();
    auto window = std::make_unique<quillmark2>();
    window->setNetworkManager(&f.manager);
    QHash<QString, QStringList> catalogue = f.window->symbolControls()->catalogue();
    QStringList &cmopt = catalogue[QStringLiteral("CMOPT")];
    cmopt = cmopt.mid(0, FeedSymbols);
    window->symbolControls()->setCatalogue(catalogue);
    reconfigure(*window, [&](ServerProfile &p) {
        p.symbolLimit = ScaleLimit;
        p.websocketLink = f.sim.stream()->url().toString();
    });
    window->show();
    window->findChild<QRadioButton *>(QStringLiteral("SXOPTBox2"))->click();
    Fixture::settle();
    return window;
}

void selectScaleSymbols(quillmark2 &window)
{
    const QStringList symbols = scaleSelection();
    window.selection()->set(symbols, QStringList(QVector<QString>(symbols.size(), QStringLiteral("OPTION")).toList()));
    window.addDisplayTable();
    Fixture::settle();
}

QTableWidget *quoteTable(const quillmark2 &window)
{
    return window.findChild<QTableWidget *>(QStringLiteral("displayTableWidget"));
}

// Start-up restoring 5,000 stored option symbols: enableInterface reads the store,
// checks the selection, clicks the stored feed (CMOPT, 2,000 contracts) and
// presses "Add Symbol", which fills the table (a row and two buttons per symbol).
void BM_StartupRestore5000(benchmark::State &state)
{
    if (!ready(state))
        return;
    const QStringList symbols = scaleSelection();
    int restored = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            QSettings store;
            store.setValue(QLatin1String(Keys::SelectedSymbolsList), symbols);
            store.setValue(QLatin1String(Keys::CorrExchList),
                           QStringList(QVector<QString>(symbols.size(), QStringLiteral("OPTION")).toList()));
            for (int i = 0; i < FeedCatalogue::Count; ++i)
                store.setValue(QString::fromLatin1(Keys::CheckboxPattern).arg(i), i == 7);
        }
        std::unique_ptr<quillmark2> window = scaleWindow();
        state.ResumeTiming();
        window->enableInterface(QStringLiteral("QM-BENCH"), QLatin1String(AllFeeds), {QStringLiteral("1")}, QString(),
                                false);
        Fixture::settle();
        state.PauseTiming();
        restored = quoteTable(*window)->rowCount();
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        state.ResumeTiming();
    }
    state.counters["rows"] = restored;
    if (restored != ScaleSymbols)
        state.SkipWithError("selection not restored");
}
BENCHMARK(BM_StartupRestore5000)->Unit(benchmark::kMillisecond)->Iterations(3);

// "Select All" then "Add Symbol" on a feed of 2,000 contracts, nothing selected before.
void BM_SelectAllAdd2000(benchmark::State &state)
{
    if (!ready(state))
        return;
    int added = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // A window of its own each time: the add starts the new symbols' backfill.
        std::unique_ptr<quillmark2> window = scaleWindow();
        state.ResumeTiming();
        window->findChild<QPushButton *>(QStringLiteral("selectAll"))->click();
        window->findChild<QPushButton *>(QStringLiteral("addSelected"))->click();
        Fixture::settle();
        state.PauseTiming();
        added = window->selection()->size();
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        state.ResumeTiming();
    }
    state.counters["added"] = added;
    if (added != FeedSymbols)
        state.SkipWithError("feed not added");
}
BENCHMARK(BM_SelectAllAdd2000)->Unit(benchmark::kMillisecond)->Iterations(3);

// One batch of a tick per selected symbol (prices moving every time), shown in a
// table of 5,000 rows.
void BM_QuoteTableRefresh5000(benchmark::State &state)
{
    if (!ready(state))
        return;
    std::unique_ptr<quillmark2> window = scaleWindow();
    selectScaleSymbols(*window);
    QByteArray batches[2];
    for (int b = 0; b < 2; ++b) {
        int i = 0;
        for (const QString &symbol : window->selection()->symbols()) {
            batches[b] += "tick," + symbol.toUtf8() + ",20240131,09:15:01,"
                          + QByteArray::number(100 + i % 900 + b, 'f', 2) + ',' + QByteArray::number(10 + b) + ",0,"
                          + QByteArray::number(1000 + i) + '\n';
            ++i;
        }
    }
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        window->updater()->tickBuffer()->publish(batches[round++ % 2]);
        window->updater()->tickBuffer()->takePending();
        state.ResumeTiming();
        window->updateDisplayTable();
        Fixture::settle();
    }
    QTableWidget *table = quoteTable(*window);
    state.counters["rows"] = table->rowCount();
    if (table->rowCount() != ScaleSymbols || !table->item(ScaleSymbols - 1, 1)
        || table->item(ScaleSymbols - 1, 1)->text() == QLatin1String("0"))
        state.SkipWithError("table not refreshed");
    window->updater()->tickBuffer()->clearLatest();
}
BENCHMARK(BM_QuoteTableRefresh5000)->Unit(benchmark::kMillisecond)->Iterations(20);

// The "X" of one row in the middle of 5,000; the row is put back between rounds.
void BM_DeleteOneRow5000(benchmark::State &state)
{
    if (!ready(state))
        return;
    std::unique_ptr<quillmark2> window = scaleWindow();
    selectScaleSymbols(*window);
    QTableWidget *table = quoteTable(*window);
    constexpr int Row = ScaleSymbols / 2;
    bool removed = true;
    for (auto _ : state) {
        state.PauseTiming();
        auto *remove = qobject_cast<QPushButton *>(table->cellWidget(Row, 4));
        const QString symbol = window->selection()->symbols().at(Row);
        state.ResumeTiming();
        remove->click();
        Fixture::settle();
        state.PauseTiming();
        removed = removed && table->rowCount() == ScaleSymbols - 1 && !window->selection()->contains(symbol);
        QStringList symbols = window->selection()->symbols();
        QStringList exchanges = window->selection()->exchanges();
        symbols.insert(Row, symbol);
        exchanges.insert(Row, QStringLiteral("OPTION"));
        window->selection()->set(symbols, exchanges);
        window->addDisplayTable();
        Fixture::settle();
        state.ResumeTiming();
    }
    if (!removed)
        state.SkipWithError("row not deleted");
}
BENCHMARK(BM_DeleteOneRow5000)->Unit(benchmark::kMillisecond)->Iterations(10);

// "Delete All" with 5,000 rows.
void BM_DeleteAll5000(benchmark::State &state)
{
    if (!ready(state))
        return;
    std::unique_ptr<quillmark2> window = scaleWindow();
    bool emptied = true;
    for (auto _ : state) {
        state.PauseTiming();
        selectScaleSymbols(*window);
        state.ResumeTiming();
        window->findChild<QPushButton *>(QStringLiteral("DeleteAll"))->click();
        Fixture::settle();
        state.PauseTiming();
        emptied = emptied && window->selection()->isEmpty();
        state.ResumeTiming();
    }
    if (!emptied)
        state.SkipWithError("selection not emptied");
}
BENCHMARK(BM_DeleteAll5000)->Unit(benchmark::kMillisecond)->Iterations(3);

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
