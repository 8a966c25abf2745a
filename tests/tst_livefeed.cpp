// The main window's live path end to end (Connect, resubscription, quote table,
// imports through the AmiBroker stand-in), its close and restart handling, and the
// start-up exchange that configures it, against the reference server.
#include <QtTest>
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTcpServer>
#include <QTextEdit>

#include "amibroker/livedataupdator.h"
#include "app/authdialog.h"
#include "common/installfiles.h"
#include "app/quillmark2.h"
#include "symbols/selectioncontroller.h"
#include "symbols/symbolselection.h"
#include "common/installfiles.h"
#include "common/settingskeys.h"
#include "backfill/backfillpump.h"
#include "brokerview.h"
#include "feedsim.h"
#include "app/logfile.h"
#include "feedsimbackfill.h"
#include "feedsimstream.h"
#include "feedsimupdate.h"
#include "live/livesession.h"
#include "live/tickbuffer.h"
#include "modalhelper.h"
#include "standin/brokerstandin.h"
#include "testenv.h"
#include "threadedstream.h"
#include "windowprofile.h"
#include "ui/settings.h"

#include <csignal>
#include <memory>

namespace {

const QStringList DefaultSymbols = {QStringLiteral("BANKNIFTY-I"), QStringLiteral("CRUDEOIL-I"), QStringLiteral("GOLDM-I"),
                                    QStringLiteral("SILVERM-I"),   QStringLiteral("USDINR-I"),   QStringLiteral("INDIAVIX"),
                                    QStringLiteral("ICICIBANK"),   QStringLiteral("NIFTY-I")};
const QColor LightBlue(173, 216, 230);
const QColor Pink(255, 192, 203);
const QString SaveCommandLine = QStringLiteral("ExecuteCommand(int)\t33029");

QString rootPath(const QString &relative)
{
    return TestEnv::instance()->path(relative);
}

QStringList journal()
{
    return QString::fromUtf8(readFile(rootPath(QStringLiteral("Amibroker/automation.log"))))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QByteArray imported()
{
    return readFile(rootPath(QStringLiteral("Amibroker/imported.txt")));
}

QString liveImportCall()
{
    return QStringLiteral("Import(0,%1,%2)").arg(rootPath(QStringLiteral("rtimport.txt")),
                                                  rootPath(QStringLiteral("dataFormatRT.dll")));
}

QString tickLine(const QString &symbol, const QString &price, const QString &quantity = QStringLiteral("1"))
{
    return QStringLiteral("T,%1,20240131,09:15:01,%2,%3,0,100\n").arg(symbol, price, quantity);
}

// A process of ours that looks like AmiBroker: a copy of the shell named
// "Broker.exe" that has started a child of its own.
class FakeBroker
{
public:
    bool start()
    {
        const QString image = m_dir.filePath(QStringLiteral("Broker.exe"));
        if (!QFile::copy(QStringLiteral("/bin/sh"), image))
            return false;
        QFile::setPermissions(image, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_process.setWorkingDirectory(m_dir.path());
        m_process.start(image, {QStringLiteral("-c"), QStringLiteral("sleep 60 & echo $! > child.pid; wait")});
        if (!m_process.waitForStarted(5000))
            return false;
        const QString pidFile = m_dir.filePath(QStringLiteral("child.pid"));
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000) {
            m_childPid = readFile(pidFile).trimmed().toLongLong();
            if (m_childPid > 0)
                return true;
            QThread::msleep(20);
        }
        return false;
    }

    ~FakeBroker()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
        if (childAlive())
            ::kill(static_cast<pid_t>(m_childPid), SIGKILL);
    }

    bool running() const { return m_process.state() == QProcess::Running; }
    bool finished(int ms) { return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(ms); }

    // A killed child whose parent is gone may linger as a zombie nobody reaps; that counts as ended.
    bool childAlive() const
    {
        if (m_childPid <= 0)
            return false;
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(m_childPid));
        const int close = stat.lastIndexOf(')');
        return close > 0 && stat.size() > close + 2 && stat.at(close + 2) != 'Z';
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    qint64 m_childPid = 0;
};

// Records the stored "controlAmibroker" at the moment the window receives its close event.
class CloseWatcher : public QObject
{
public:
    bool closed = false;
    QVariant controlAtClose;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Close && !closed) {
            closed = true;
            controlAtClose = QSettings().value(QLatin1String(Keys::ControlAmibroker));
        }
        return QObject::eventFilter(watched, event);
    }
};

// Counts show events of a widget.
class ShowCounter : public QObject
{
public:
    int shows = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            ++shows;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

class tst_livefeed : public QObject
{
    Q_OBJECT

    std::unique_ptr<FeedSim> m_sim;

    static QPushButton *button(QWidget *window, const char *name)
    {
        return window->findChild<QPushButton *>(QLatin1String(name));
    }
    static QString statusText(QWidget *window)
    {
        return window->findChild<QLabel *>(QStringLiteral("statusLabel"))->text();
    }

    std::unique_ptr<quillmark2> makeWindow(const QUrl &streamUrl)
    {
        auto window = std::make_unique<quillmark2>();
        reconfigure(*window, [&](ServerProfile &p) {
            p.websocketLink = streamUrl.toString();
            p.symbolLimit = 200;
        });
        return window;
    }

    // Connects the window and waits until the stream has its subscription.
    bool connectWindow(quillmark2 &window)
    {
        const int before = m_sim->stream()->subscribeLists().size();
        button(&window, "connectButton")->click();
        return QTest::qWaitFor([&] { return m_sim->stream()->subscribeLists().size() > before; }, 5000);
    }

    QTableWidgetItem *cell(quillmark2 &window, int row, int column)
    {
        return window.findChild<QTableWidget *>(QStringLiteral("displayTableWidget"))->item(row, column);
    }

    void showBatch(quillmark2 &window, const QString &lines)
    {
        window.updater()->tickBuffer()->publish(lines.toUtf8());
        window.updater()->tickBuffer()->takePending();
        window.updateDisplayTable();
    }

    QProcessEnvironment programEnvironment(const QString &server) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QUILLMARK_ROOT"), TestEnv::instance()->root());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), TestEnv::instance()->settingsDir());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.debug=true"));
        env.insert(QStringLiteral("QUILLMARK_SERVER"), server);
        env.insert(QStringLiteral("QUILLMARK_PROBE_HOST"), QStringLiteral("127.0.0.1"));
        return env;
    }

    // Titles of the boxes the acceptor closed; the splash (a modal dialog without a title
    // that runs until its animation ends) is not one of them.
    static QStringList boxTitles(const ModalAcceptor &boxes)
    {
        QStringList titles;
        for (const QString &seen : boxes.seen()) {
            const QString title = seen.section(QLatin1Char('|'), 0, 0);
            if (!title.isEmpty())
                titles << title;
        }
        return titles;
    }

    // What a trader's earlier runs left in the settings: past the first run, NIFTY-I
    // selected, a three-day automatic backfill (on or off) without end-of-day data.
    static void storeReturningTrader(bool autoBackfill)
    {
        QSettings store;
        store.setValue(QLatin1String(Keys::FirstRun), false);
        store.setValue(QLatin1String(Keys::AutoBackfillChecked), autoBackfill);
        store.setValue(QLatin1String(Keys::AutoFilldays), QStringLiteral("3"));
        store.setValue(QLatin1String(Keys::AutoEodBackfill), false);
        store.setValue(QLatin1String(Keys::SelectedSymbolsList), QStringList{QStringLiteral("NIFTY-I")});
        store.setValue(QLatin1String(Keys::CorrExchList), QStringList{QStringLiteral("FUTURE")});
        store.sync();
    }

    void startSim(const FeedSimOptions &options = FeedSimOptions())
    {
        m_sim = std::make_unique<FeedSim>(options);
        QVERIFY(m_sim->start());
        m_sim->stream()->setRate(0);
        qputenv("QUILLMARK_SERVER", m_sim->serverHost().toUtf8());
    }

private slots:
    void init()
    {
        TestEnv::instance()->reset();
        // The connectivity probe must never leave the machine.
        qputenv("QUILLMARK_PROBE_HOST", "127.0.0.1");
        FeedSimOptions options;
        options.contractCount = 60;
        startSim(options);
    }

    void cleanup()
    {
        m_sim.reset();
        // QCoreApplication::exit() (restart, update) leaves every later event loop of this
        // thread returning at once until the application's own loop has run; a closed last
        // window may also have posted a quit. Run the application loop once to clear both.
        QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();
    }

    // ---- Connect ----------------------------------------------------------

    void connectWithEmptySelectionStreamsTheDefaults()
    {
        QVERIFY(installFormatDefinitions());
        auto window = makeWindow(m_sim->stream()->url());
        QVERIFY(connectWindow(*window));

        QCOMPARE(m_sim->stream()->subscribeLists().first(), DefaultSymbols);
        QVERIFY(!button(window.get(), "connectButton")->isEnabled());
        QTRY_COMPARE(statusText(window.get()), QStringLiteral("Live: Connected"));
        QCOMPARE(journal().value(0), QStringLiteral("LoadDatabase(QString&)\t") + rootPath(QStringLiteral("Amibroker/AF1000")));

        // Each batch becomes one import of the live file with the live format, then a refresh.
        for (int batch = 1; batch <= 2; ++batch) {
            QVERIFY(m_sim->stream()->sendBatchNow() > 0);
            QTRY_COMPARE(journal().size(), 1 + 2 * batch);
        }
        QCOMPARE(journal().mid(1), QStringList({liveImportCall(), QStringLiteral("RefreshAll()"), liveImportCall(),
                                               QStringLiteral("RefreshAll()")}));
        // One line per symbol and batch; AmiBroker holds every tick once, the second's
        // quantities added up.
        QCOMPARE(imported().count('\n'), 2 * DefaultSymbols.size());
        QCOMPARE(linesOffTheStream(imported(), m_sim->stream()->sentTickLines()), 0);
        QStringList samples;
        QCOMPARE(viewDifferences(streamView(m_sim->stream()->sentTickLines()), brokerView(), &samples), 0);
    }

    void selectionChangesResubscribe()
    {
        auto window = makeWindow(m_sim->stream()->url());
        QVERIFY(connectWindow(*window));
        FeedSimStream *stream = m_sim->stream();

        // Adding a symbol: the symbol operations update the lists and call updateThreads.
        window->selection()->set(QStringList{QStringLiteral("SBIN"), QStringLiteral("NIFTY-I")}, QStringList{QStringLiteral("CASH"), QStringLiteral("FUTURE")});
        window->addDisplayTable();
        window->updateThreads();
        QTRY_COMPARE(stream->subscribeLists().size(), 2);
        QCOMPARE(stream->subscribeLists().last(), QStringList({QStringLiteral("SBIN"), QStringLiteral("NIFTY-I")}));
        QStringList frames = stream->receivedFrames();
        QVERIFY(frames.at(frames.size() - 2).contains(QLatin1String("\"unsubscribe_all\"")));
        QCOMPARE(stream->unsubscribeCount(), 1);

        // Removing one with its delete button in the table.
        auto *table = window->findChild<QTableWidget *>(QStringLiteral("displayTableWidget"));
        auto *remove = qobject_cast<QPushButton *>(table->cellWidget(0, 4));
        QVERIFY(remove);
        remove->click();
        QTRY_COMPARE(stream->subscribeLists().size(), 3);
        QCOMPARE(stream->subscribeLists().last(), QStringList({QStringLiteral("NIFTY-I")}));
        frames = stream->receivedFrames();
        QVERIFY(frames.at(frames.size() - 2).contains(QLatin1String("\"unsubscribe_all\"")));
        QCOMPARE(stream->unsubscribeCount(), 2);
        QCOMPARE(stream->connectionsAccepted(), 1);
    }

    // ---- outages and the health line -----------------------------------------

    // A connected window with A and B selected in CASH, its backfill pointed at the
    // reference server.
    std::unique_ptr<quillmark2> gapFillWindow()
    {
        auto window = makeWindow(m_sim->stream()->url());
        reconfigure(*window, [&](ServerProfile &p) {
            p.clientId = QStringLiteral("QM-GAP");
            p.secureKey = m_sim->options().secureKey;
            p.backfillPath = m_sim->serverHost() + QLatin1String(FeedSimBackfill::IntradayRoute);
        });
        window->findChild<QAbstractButton *>(QStringLiteral("cashBox"))->setEnabled(true);
        window->selection()->set(QStringList{QStringLiteral("A"), QStringLiteral("B")}, QStringList{QStringLiteral("CASH"), QStringLiteral("CASH")});
        window->addDisplayTable();
        writeFile(rootPath(QLatin1String(InstallFiles::BackfillFormat)), "intraday\n");
        return window;
    }

    // The stream goes away for about outageMs and the worker is back once it is.
    void outage(quillmark2 &window, int outageMs)
    {
        FeedSimStream *stream = m_sim->stream();
        // Subscribed first (a tick came through): before that there is nothing to lose.
        const qint64 seen = window.liveSession()->health().lastTickAgeMs(window.liveSession()->healthNow());
        QTRY_VERIFY(stream->sendBatchNow() > 0);
        QTRY_VERIFY(window.liveSession()->health().lastTickAgeMs(window.liveSession()->healthNow()) >= 0
                    && (seen < 0 || window.liveSession()->health().lastTickAgeMs(window.liveSession()->healthNow()) < seen));
        const int accepted = stream->connectionsAccepted();
        QSignalSpy back(stream, &FeedSimStream::outageEnded);
        stream->scheduleOutage(0, outageMs);
        QTRY_COMPARE(window.liveSession()->health().state(), LiveHealth::State::Disconnected);
        window.liveSession()->refreshHealthLine();
        QVERIFY(healthLine(window)->styleSheet().contains(QLatin1String("#ff0000")));
        QTRY_COMPARE_WITH_TIMEOUT(back.count(), 1, outageMs + 2000);
        // The worker's next reconnect tick (every 3 s) finds the stream again.
        QTRY_VERIFY_WITH_TIMEOUT(stream->connectionsAccepted() > accepted, 5000);
        QTRY_COMPARE(window.liveSession()->health().state(), LiveHealth::State::Connected);
    }

    static QLabel *healthLine(quillmark2 &window)
    {
        return window.findChild<QLabel *>(QStringLiteral("healthLabel"));
    }

    void outagesBringOneGapFill()
    {
        QVERIFY(installFormatDefinitions());
        auto window = gapFillWindow();
        QStringList requests;
        connect(m_sim->backfill(), &FeedSimBackfill::backfillRequested, this,
                [&requests](const QString &, const QString &query) { requests << query; });
        auto *messages = window->findChild<QTextEdit *>(QStringLiteral("messageBox"));
        // The window hands each ended outage to the pump before this spy hears of it.
        QSignalSpy outages(window->liveSession(), &LiveSession::outageEnded);
        QVERIFY(connectWindow(*window));
        QTRY_COMPARE(window->liveSession()->health().state(), LiveHealth::State::Connected);

        // Shorter than 30 s, as every outage here is: only counted.
        outage(*window, 300);
        QTRY_COMPARE(outages.count(), 1);
        QCOMPARE(window->liveSession()->health().reconnects(), 1);
        QVERIFY(window->liveSession()->health().lastOutageMs() >= 300);
        QVERIFY(window->backfillPump()->isIdle());
        QVERIFY(requests.isEmpty());

        // With the rule's 30 s shortened to 1 s: one gap fill, "&d=1" for each symbol.
        BackfillPump::GapFillRules rules;
        rules.minOutageMs = 1000;
        window->backfillPump()->setGapFillRules(rules);
        outage(*window, 300);
        QTRY_COMPARE_WITH_TIMEOUT(requests.size(), 2, 10000);
        for (const char *symbol : {"A", "B"}) {
            QVERIFY2(requests.filter(QStringLiteral("&d=1&send=%1").arg(QLatin1String(symbol))).size() == 1,
                     qPrintable(requests.join(QLatin1Char(' '))));
        }
        QVERIFY(messages->toPlainText().contains(QRegularExpression(
            QStringLiteral("Connection lost for \\d+ s; filling the gap for 2 symbols"))));
        QTRY_VERIFY_WITH_TIMEOUT(window->backfillPump()->isIdle(), 10000);

        // A second long outage within 10 minutes fills nothing more.
        outage(*window, 300);
        QTRY_COMPARE(outages.count(), 3);
        QVERIFY(window->backfillPump()->isIdle());
        QCOMPARE(requests.size(), 2);
        QCOMPARE(messages->toPlainText().count(QStringLiteral("filling the gap")), 1);
        window->liveSession()->refreshHealthLine();
        QVERIFY2(healthLine(*window)->text().contains(QLatin1String("3 reconnects")), qPrintable(healthLine(*window)->text()));
        QVERIFY(healthLine(*window)->text().contains(QLatin1String("last outage ")));
    }

    void healthLineFollowsTheStream()
    {
        QVERIFY(installFormatDefinitions());
        auto window = gapFillWindow();
        window->liveSession()->health() = LiveHealth(60000); // ticks per second over one minute
        QVERIFY(connectWindow(*window));
        QTRY_COMPARE(window->liveSession()->health().state(), LiveHealth::State::Connected);
        window->liveSession()->refreshHealthLine();
        QVERIFY(healthLine(*window)->text().contains(QLatin1String("no tick yet")));
        QVERIFY(healthLine(*window)->styleSheet().contains(QLatin1String("#b36b00"))); // connected, silent

        // Three batches of two ticks: 6 ticks in a one-minute window.
        for (int batch = 0; batch < 3; ++batch)
            QCOMPARE(m_sim->stream()->sendBatchNow(), 2);
        QTRY_VERIFY(window->liveSession()->health().lastTickAgeMs(window->liveSession()->healthNow()) >= 0);
        QTRY_COMPARE(window->liveSession()->health().ticksPerSecond(window->liveSession()->healthNow()), 0.1);
        QTest::qWait(300);
        window->liveSession()->refreshHealthLine();
        const QString text = healthLine(*window)->text();
        QVERIFY2(text.startsWith(QStringLiteral("Connected \u00b7 0.1 ticks/s \u00b7 last tick 0.")), qPrintable(text));
        QVERIFY2(text.endsWith(QLatin1String("0 reconnects")), qPrintable(text));
        QVERIFY(healthLine(*window)->styleSheet().contains(QLatin1String("#04432E")));
        QTRY_VERIFY(healthLine(*window)->toolTip().contains(QLatin1String("6 ticks received, 6 imported, 0 dropped")));

        // The display refresh timer keeps the line current.
        QTRY_VERIFY(healthLine(*window)->text() != text);
    }

    void silentStreamIsNoOutage()
    {
        QVERIFY(installFormatDefinitions());
        auto window = gapFillWindow();
        window->liveSession()->health() = LiveHealth(400);
        BackfillPump::GapFillRules rules;
        rules.minOutageMs = 0; // any outage would fill
        window->backfillPump()->setGapFillRules(rules);
        QSignalSpy requests(m_sim->backfill(), &FeedSimBackfill::backfillRequested);
        QVERIFY(connectWindow(*window));
        QVERIFY(m_sim->stream()->sendBatchNow() > 0);
        QTRY_COMPARE(window->liveSession()->health().colour(window->liveSession()->healthNow()), LiveHealth::Colour::Green);

        // Subscribed, and nothing comes for the health window's 400 ms: amber, and
        // the silence was taken for nothing else.
        QTRY_COMPARE(window->liveSession()->health().colour(window->liveSession()->healthNow()), LiveHealth::Colour::Amber);
        QCOMPARE(window->liveSession()->health().state(), LiveHealth::State::Connected);
        QCOMPARE(window->liveSession()->health().reconnects(), 0);
        QCOMPARE(m_sim->stream()->connectionsAccepted(), 1);
        QCOMPARE(requests.count(), 0);
    }

    // ---- quote table ------------------------------------------------------

    void quoteColours_data()
    {
        QTest::addColumn<QStringList>("prices");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("rise") << QStringList{"100", "101.5"} << LightBlue;
        QTest::newRow("fall back") << QStringList{"100", "101.5", "100"} << Pink;
        QTest::newRow("not a number") << QStringList{"100", "n/a"} << QColor(Qt::white);
        QTest::newRow("number after text") << QStringList{"n/a", "100"} << QColor(Qt::white);
        QTest::newRow("same value, other text") << QStringList{"150", "100", "100.00"} << Pink;
    }

    void quoteColours()
    {
        QFETCH(QStringList, prices);
        QFETCH(QColor, colour);
        auto window = makeWindow(m_sim->stream()->url());
        window->selection()->set(QStringList{QStringLiteral("NIFTY-I")}, {});
        for (const QString &price : prices)
            showBatch(*window, tickLine(QStringLiteral("NIFTY-I"), price));
        QCOMPARE(cell(*window, 0, 1)->text(), prices.last());
        QCOMPARE(cell(*window, 0, 1)->background().color(), colour);
    }

    void quoteTableFollowsTheSelection()
    {
        auto window = makeWindow(m_sim->stream()->url());
        window->selection()->set(QStringList{QStringLiteral("NIFTY-I"), QStringLiteral("SBIN")}, {});
        showBatch(*window, tickLine(QStringLiteral("SBIN"), QStringLiteral("500"), QStringLiteral("10"))
                               + tickLine(QStringLiteral("NIFTY-I"), QStringLiteral("22000"), QStringLiteral("50")));
        showBatch(*window, tickLine(QStringLiteral("SBIN"), QStringLiteral("499"), QStringLiteral("10")));
        QCOMPARE(cell(*window, 1, 1)->background().color(), Pink);

        // No quote for SBIN (a failure line does not count), one for a symbol nobody selected,
        // and two for NIFTY-I of which the later one holds.
        showBatch(*window, QStringLiteral("Failed,SBIN,20240131,09:15:02,1,1,0,0\n")
                               + tickLine(QStringLiteral("RELIANCE"), QStringLiteral("2900"))
                               + tickLine(QStringLiteral("NIFTY-I"), QStringLiteral("21990"), QStringLiteral("75"))
                               + tickLine(QStringLiteral("NIFTY-I"), QStringLiteral("22010"), QStringLiteral("25")));
        auto *table = window->findChild<QTableWidget *>(QStringLiteral("displayTableWidget"));
        QCOMPARE(table->rowCount(), 2);
        QCOMPARE(cell(*window, 0, 0)->text(), QStringLiteral("NIFTY-I"));
        QCOMPARE(cell(*window, 1, 0)->text(), QStringLiteral("SBIN"));
        QCOMPARE(cell(*window, 0, 1)->text(), QStringLiteral("22010"));
        QCOMPARE(cell(*window, 0, 2)->text(), QStringLiteral("25"));
        QCOMPARE(cell(*window, 0, 2)->background().color(), Pink);
        QCOMPARE(cell(*window, 1, 1)->text(), QStringLiteral("499"));
        QCOMPARE(cell(*window, 1, 1)->background().color(), Pink);
        QCOMPARE(cell(*window, 1, 2)->text(), QStringLiteral("10"));
        QCOMPARE(table->findItems(QStringLiteral("RELIANCE"), Qt::MatchExactly).size(), 0);
        QCOMPARE(table->horizontalHeaderItem(1)->text(), QStringLiteral("LTP"));

        // Another selection of the same size, in another order: the quotes follow the symbols.
        window->selection()->set(QStringList{QStringLiteral("SBIN"), QStringLiteral("TCS")}, {});
        showBatch(*window, tickLine(QStringLiteral("TCS"), QStringLiteral("3500"), QStringLiteral("5"))
                               + tickLine(QStringLiteral("SBIN"), QStringLiteral("501"), QStringLiteral("11")));
        QCOMPARE(cell(*window, 0, 0)->text(), QStringLiteral("SBIN"));
        QCOMPARE(cell(*window, 0, 1)->text(), QStringLiteral("501"));
        QCOMPARE(cell(*window, 0, 2)->text(), QStringLiteral("11"));
        QCOMPARE(cell(*window, 1, 0)->text(), QStringLiteral("TCS"));
        QCOMPARE(cell(*window, 1, 1)->text(), QStringLiteral("3500"));
    }

    // ---- exactly once -----------------------------------------------------

    void burstReachesAmiBrokerExactlyOnce()
    {
        QVERIFY(installFormatDefinitions());
        ThreadedStream sim;
        sim.run([](FeedSimStream *s) {
            s->setRate(0);
            s->setSeed(11);
        });
        auto window = makeWindow(sim.url());
        window->selection()->set(QStringList{QStringLiteral("NIFTY-I"), QStringLiteral("SBIN"), QStringLiteral("USDINR-I")}, {});
        button(window.get(), "connectButton")->click();
        QTRY_COMPARE(statusText(window.get()), QStringLiteral("Live: Connected"));
        // The server sends its acknowledgement in the step that records the list: it
        // travels ahead of the batches on the same socket.
        QTRY_COMPARE(sim.run([](FeedSimStream *s) { return s->subscribeLists().size(); }), 1);

        // While AmiBroker takes its time over the first import, the rest of the burst
        // arrives and the next cycle takes it whole.
        BrokerStandIn::setSlowImports(1000);
        const int batches = 6;
        const int records = sim.run([batches](FeedSimStream *s) {
            int n = 0;
            for (int i = 0; i < batches; ++i)
                n += s->sendBatchNow();
            return n;
        });
        QCOMPARE(records, batches * 3);

        const QByteArray sent = sim.run([](FeedSimStream *s) { return s->sentTickLines(); });
        QTRY_COMPARE_WITH_TIMEOUT(viewDifferences(streamView(sent), brokerView()), 0, 10000);
        BrokerStandIn::behaveNormally();
        // The cycle that saved the last quotes ends; any after it find nothing to import.
        waitForAmiBrokersThread(window->updater());
        QStringList samples;
        QCOMPARE(viewDifferences(streamView(sent), brokerView(), &samples), 0);
        QCOMPARE(linesOffTheStream(imported(), sent), 0);
        const int imports = journal().filter(QStringLiteral("Import(")).size();
        QVERIFY2(imports >= 1 && imports < batches, qPrintable(QString::number(imports)));
        QCOMPARE(journal().filter(QStringLiteral("RefreshAll()")).size(), imports);
    }

    // A full disk under the import file is said once, without blocking the
    // window, and the box goes away by itself when the ticks can be imported.
    void blockedLiveImportIsShownUntilItResumes()
    {
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("needs /dev/full");
        QVERIFY(installFormatDefinitions());
        auto window = makeWindow(QUrl(QStringLiteral("ws://127.0.0.1:1/")));
        window->show();
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), window->updater()->rtImportPath));
        const QByteArray first = "tick,SBIN,20240131,09:15:01,612.25,5,0,0\n";
        const QByteArray second = "tick,SBIN,20240131,09:15:02,612.5,10,0,0\n";

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("incomplete import file")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("incomplete import file")));
        window->updater()->tickBuffer()->publish(first);
        window->updater()->updateDataAmi();
        window->updater()->tickBuffer()->publish(second);
        window->updater()->updateDataAmi();
        auto boxes = [&] {
            QList<QMessageBox *> shown;
            for (QMessageBox *box : window->findChildren<QMessageBox *>())
                if (box->isVisible())
                    shown << box;
            return shown;
        };
        // Not at once: a file held for a moment must not flash a box.
        QTest::qWait(LiveSession::ImportWarningDelayMs / 2);
        QVERIFY(boxes().isEmpty());
        QTRY_COMPARE(boxes().size(), 1);
        QMessageBox *box = boxes().first();
        QCOMPARE(box->windowTitle(), QStringLiteral("Live Import"));
        QVERIFY(box->text().contains(QDir::toNativeSeparators(window->updater()->rtImportPath)));
        QVERIFY(box->text().contains(QStringLiteral("No space left on device")));
        QVERIFY(!box->isModal());
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        QCOMPARE(imported(), QByteArray());

        QVERIFY(QFile::remove(window->updater()->rtImportPath));
        window->updater()->updateDataAmi();
        QTRY_VERIFY(boxes().isEmpty());
        QCOMPARE(imported(), first + second);

        // A stretch shorter than the delay passes without a box.
        QVERIFY(QFile::remove(window->updater()->rtImportPath));
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), window->updater()->rtImportPath));
        const QByteArray third = "tick,SBIN,20240131,09:15:03,612.75,5,0,0\n";
        window->updater()->tickBuffer()->publish(third);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("incomplete import file")));
        window->updater()->updateDataAmi();
        QVERIFY(QFile::remove(window->updater()->rtImportPath));
        window->updater()->updateDataAmi();
        QTest::qWait(LiveSession::ImportWarningDelayMs + 300);
        QVERIFY(boxes().isEmpty());
        QCOMPARE(imported(), first + second + third);
    }

    // ---- close and restart ------------------------------------------------

    void closeHandler_data()
    {
        QTest::addColumn<bool>("control");
        QTest::addColumn<bool>("saveLayout");
        QTest::addColumn<QStringList>("calls");
        const QString layout = QStringLiteral("SaveLayout(%1)").arg(QStringLiteral("%ROOT%/Amibroker/AF1000/Layouts/Default.awl"));
        QTest::newRow("control off") << false << false << QStringList{SaveCommandLine};
        QTest::newRow("control off, layout on") << false << true << QStringList{SaveCommandLine};
        QTest::newRow("control on") << true << false << QStringList{SaveCommandLine, "SaveDatabase()"};
        QTest::newRow("control on, layout on") << true << true << QStringList{SaveCommandLine, "SaveDatabase()", layout};
    }

    void closeHandler()
    {
        QFETCH(bool, control);
        QFETCH(bool, saveLayout);
        QFETCH(QStringList, calls);
        calls.replaceInStrings(QStringLiteral("%ROOT%"), TestEnv::instance()->root());

        QSettings store;
        store.setValue(QLatin1String(Keys::ControlAmibroker), control);
        store.setValue(QLatin1String(Keys::SaveLayout), saveLayout);
        store.setValue(QLatin1String(Keys::SelectedSymbolsList), QStringList{QStringLiteral("OLD")});
        store.setValue(QLatin1String(Keys::CorrExchList), QStringList{QStringLiteral("CASH")});
        store.sync();

        FakeBroker broker;
        QVERIFY(broker.start());
        auto window = makeWindow(m_sim->stream()->url());
        window->on_controlAmibrokerEnabled();
        QCOMPARE(window->settingsDialog()->controlAmibrokerFlag, control);
        QVERIFY(connectWindow(*window));
        QTRY_COMPARE(statusText(window.get()), QStringLiteral("Live: Connected"));
        const int before = journal().size();

        window->findChild<QComboBox *>(QStringLiteral("autoFilldaysBox"))->setCurrentText(QStringLiteral("10"));
        QVERIFY(window->close());

        // The stream is over before AmiBroker is told anything.
        QVERIFY(!window->liveSession()->thread() && !window->liveSession()->worker());
        QTRY_COMPARE(m_sim->stream()->clientCount(), 0);
        QCOMPARE(journal().mid(before), calls);

        QSettings saved;
        QVERIFY(saved.contains(QLatin1String(Keys::SelectedSymbolsList)));
        QVERIFY(saved.value(QLatin1String(Keys::SelectedSymbolsList)).toStringList().isEmpty());
        QVERIFY(saved.contains(QLatin1String(Keys::CorrExchList)));
        QVERIFY(saved.value(QLatin1String(Keys::CorrExchList)).toStringList().isEmpty());
        // The first run picked the SPOT feed.
        QCOMPARE(saved.value(QStringLiteral("checkbox5")).toBool(), true);
        QCOMPARE(saved.value(QStringLiteral("checkbox0")).toBool(), false);
        QVERIFY(saved.contains(QStringLiteral("checkbox8")));
        QCOMPARE(saved.value(QLatin1String(Keys::AutoFilldays)).toString(), QStringLiteral("10"));
        QCOMPARE(saved.value(QLatin1String(Keys::AutoBackfillChecked)).toBool(), true);

        if (control) {
            QVERIFY(broker.finished(3000));
            QTRY_VERIFY(!broker.childAlive());
        } else {
            // AmiBroker is ended inside close(), if at all: this is the outcome.
            QVERIFY(broker.running());
            QVERIFY(broker.childAlive());
        }
    }

    void closeWithAmiBrokerAway_data()
    {
        QTest::addColumn<bool>("closed");
        QTest::newRow("AmiBroker closed") << true;
        QTest::newRow("AmiBroker busy") << false;
    }

    // Closing never hangs because of AmiBroker: without one the save calls are
    // skipped at once, a busy one costs the retry budget once, not once per call;
    // the ticks that waited are kept for the next start.
    void closeWithAmiBrokerAway()
    {
        QFETCH(bool, closed);
        QSettings store;
        store.setValue(QLatin1String(Keys::ControlAmibroker), true);
        store.setValue(QLatin1String(Keys::SaveLayout), true);
        store.sync();
        FakeBroker broker;
        QVERIFY(broker.start());
        auto window = makeWindow(m_sim->stream()->url());
        window->on_controlAmibrokerEnabled();
        liveDataUpdator *updater = window->updater();
        constexpr int BudgetMs = 600;
        QMetaObject::invokeMethod(updater->amiBroker, [updater] { updater->amiBroker->setRetryRules(50, BudgetMs); },
                                  Qt::BlockingQueuedConnection);
        if (closed)
            BrokerStandIn::setClosed(true);
        else
            BrokerStandIn::setBusyFor(60000);
        const QByteArray waiting = tickLine(QStringLiteral("SBIN"), QStringLiteral("612.5")).toUtf8();
        updater->tickBuffer()->publish(waiting);

        QElapsedTimer clock;
        clock.start();
        QVERIFY(window->close());
        const qint64 took = clock.elapsed();
        // The close's own pause before it ends AmiBroker is 1 s.
        QVERIFY2(took < 1000 + (closed ? 500 : BudgetMs + 600), qPrintable(QString::number(took)));
        QCOMPARE(journal(), QStringList());
        QCOMPARE(readFile(updater->heldImportPath), waiting);
        QVERIFY(broker.finished(3000));
    }

    // The start-up cycle deletes the window right after its close: ending AmiBroker
    // must not depend on anything the window owns.
    void amiBrokerEndsEvenWhenTheWindowGoesAtOnce()
    {
        QSettings().setValue(QLatin1String(Keys::ControlAmibroker), true);
        FakeBroker broker;
        QVERIFY(broker.start());
        auto window = makeWindow(m_sim->stream()->url());
        window->on_controlAmibrokerEnabled();
        QVERIFY(window->settingsDialog()->controlAmibrokerFlag);
        QVERIFY(window->close());
        window.reset();
        QVERIFY(broker.finished(3000));
        QTRY_VERIFY(!broker.childAlive());
    }

    void closeSavesTheSelection()
    {
        auto window = makeWindow(m_sim->stream()->url());
        window->selection()->set(QStringList{QStringLiteral("SBIN"), QStringLiteral("GOLDM-I")}, QStringList{QStringLiteral("CASH"), QStringLiteral("MCX")});
        QVERIFY(window->close());
        QSettings saved;
        QCOMPARE(saved.value(QLatin1String(Keys::SelectedSymbolsList)).toStringList(),
                 QStringList({QStringLiteral("SBIN"), QStringLiteral("GOLDM-I")}));
        QCOMPARE(saved.value(QLatin1String(Keys::CorrExchList)).toStringList(),
                 QStringList({QStringLiteral("CASH"), QStringLiteral("MCX")}));
        // Without a stream AmiBroker is still told to save.
        QCOMPARE(journal(), QStringList{SaveCommandLine});
    }

    void layoutPathKeepsEveryCharacter()
    {
        // An install folder whose name is not Latin-1.
        const QString root = TestEnv::instance()->path(QStringLiteral("Kurse \u20B9 \u0921\u0947\u091F\u093E"));
        QVERIFY(QDir().mkpath(root));
        qputenv("QUILLMARK_ROOT", root.toUtf8());
        QSettings store;
        store.setValue(QLatin1String(Keys::ControlAmibroker), true);
        store.setValue(QLatin1String(Keys::SaveLayout), true);
        store.sync();
        {
            quillmark2 window;
            window.on_controlAmibrokerEnabled();
            QVERIFY(window.close());
        }
        const QStringList calls = QString::fromUtf8(readFile(root + QStringLiteral("/Amibroker/automation.log")))
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(calls.value(2), QStringLiteral("SaveLayout(%1/Amibroker/AF1000/Layouts/Default.awl)").arg(root));
    }

    void restart_data()
    {
        QTest::addColumn<bool>("control");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("control on")
            << true
            << QStringList{"SaveDatabase()", "SaveLayout(%ROOT%/Amibroker/AF1000/Layouts/Default.awl)", SaveCommandLine};
        QTest::newRow("control off") << false << QStringList{SaveCommandLine};
    }

    void restart()
    {
        QFETCH(bool, control);
        QFETCH(QStringList, calls);
        calls.replaceInStrings(QStringLiteral("%ROOT%"), TestEnv::instance()->root());

        QSettings store;
        store.setValue(QLatin1String(Keys::ControlAmibroker), control);
        store.setValue(QLatin1String(Keys::SaveLayout), true);
        store.sync();

        FakeBroker broker;
        QVERIFY(broker.start());
        auto window = makeWindow(m_sim->stream()->url());
        window->on_controlAmibrokerEnabled();
        QVERIFY(connectWindow(*window));
        const int before = journal().size();
        CloseWatcher watcher;
        window->installEventFilter(&watcher);

        QEventLoop loop;
        QTimer::singleShot(0, window.get(), [&] { button(window.get(), "restartButton")->click(); });
        QTimer::singleShot(10000, &loop, [&] { loop.exit(-1); });
        QCOMPARE(loop.exec(), 4444);

        QVERIFY(watcher.closed);
        QCOMPARE(journal().mid(before), calls);
        QVERIFY(!window->settingsDialog()->controlAmibrokerFlag);
        QCOMPARE(QSettings().value(QLatin1String(Keys::ControlAmibroker)).toBool(), false);
        if (control) {
            // Stored before the window began to close, so the next cycle starts with control off.
            QVERIFY(watcher.controlAtClose.isValid());
            QCOMPARE(watcher.controlAtClose.toBool(), false);
        }
        QTRY_COMPARE(m_sim->stream()->clientCount(), 0);
        // A restart never ends AmiBroker; the close above was the whole of it.
        QVERIFY(broker.running());
        QVERIFY(broker.childAlive());
    }

    // ---- start-up exchange ------------------------------------------------

    void startupConfiguresTheWindow_data()
    {
        QTest::addColumn<bool>("envelope");
        QTest::addColumn<bool>("autoBackfill");
        QTest::newRow("plain, automatic backfill") << false << true;
        QTest::newRow("enveloped, no automatic backfill") << true << false;
    }

    void startupConfiguresTheWindow()
    {
        QFETCH(bool, envelope);
        QFETCH(bool, autoBackfill);
        QVERIFY(installFormatDefinitions());
        FeedSimOptions &options = m_sim->options();
        options.envelope = envelope;
        options.feeds = QStringLiteral("CASH,FUTURE,SXOPTION");
        options.daysbox = QStringList{QStringLiteral("2"), QStringLiteral("4"), QStringLiteral("8")};
        options.symbolAllowed = 37;
        options.message = QStringLiteral("Hello <b>desk</b>");
        options.latestVersion = QStringLiteral("10.0"); // sorts before 7.26: no update

        storeReturningTrader(autoBackfill);

        ModalAcceptor boxes;
        authDialog controller;
        controller.startUp();
        quillmark2 *window = controller.mainWindow();
        QVERIFY(window);
        QVERIFY(window->isVisible());
        QCOMPARE(boxTitles(boxes), QStringList());

        QCOMPARE(window->findChild<QTextEdit *>(QStringLiteral("messageBox"))->toPlainText(), QStringLiteral("Hello desk"));
        const QStringList enabled = {"cashBox", "futureBox", "optionBox", "SXOPTBox"};
        for (const char *name : {"cashBox", "futureBox", "optionBox", "commBox", "currBox", "spotBox", "SXOPTBox",
                                 "SXOPTBox2", "ForexBox"}) {
            QCOMPARE(window->findChild<QRadioButton *>(QLatin1String(name))->isEnabled(),
                     enabled.contains(QLatin1String(name)));
        }
        auto *days = window->findChild<QComboBox *>(QStringLiteral("daysBox"));
        QCOMPARE(days->count(), 3);
        QCOMPARE(days->itemText(2), QStringLiteral("8"));
        QCOMPARE(window->profile().symbolLimit, 37);
        QCOMPARE(window->profile().websocketLink, m_sim->websocketLink());
        QCOMPARE(window->profile().secureKey, options.secureKey);
        QCOMPARE(window->profile().clientId, controller.clientIdentifier().toUpper());
        QCOMPARE(window->findChild<QLineEdit *>(QStringLiteral("machineIDLabel"))->text(),
                 controller.clientIdentifier().toUpper());
        QVERIFY(!window->symbolControls()->catalogue().isEmpty());

        // The stream starts on the defaults and follows the restored selection.
        FeedSimStream *stream = m_sim->stream();
        QTRY_VERIFY(!stream->subscribeLists().isEmpty()
                    && stream->subscribeLists().last() == QStringList{QStringLiteral("NIFTY-I")});
        QCOMPARE(stream->authIds().value(0), controller.clientIdentifier().toUpper());

        QCOMPARE(m_sim->actionCount(QStringLiteral("get_settings")), 1);
        QCOMPARE(window->profile().oneDayBackfillPath, m_sim->backfillPathSettings().oneDayBackfillPath);
        QVERIFY(!window->profile().oneDayBackfillPath.isEmpty());

        if (autoBackfill) {
            QTRY_VERIFY(m_sim->backfill()->requestCount() >= 1);
            QTRY_VERIFY_WITH_TIMEOUT(!window->backfillPump()->autoBackfillRunning(), 15000);
        } else {
            QVERIFY(!window->backfillPump()->autoBackfillRunning());
            QVERIFY(window->backfillPump()->queue().isEmpty());
            // The settings answer above was the last chance to start one: nothing runs.
            QVERIFY(window->backfillPump()->isIdle());
            QCOMPARE(m_sim->backfill()->requestCount(), 0);
        }
    }

    void newerReleaseReplacesTheStartup()
    {
        m_sim->options().latestVersion = QStringLiteral("7.3");
        // A harmless restart script: it only leaves a mark in the install root.
        m_sim->update()->setLaunchScript("#!/bin/sh\necho restarted > restart_ran.txt\n");

        ModalAcceptor boxes;
        authDialog controller;
        controller.startUp();
        quillmark2 *window = controller.mainWindow();
        QVERIFY(window);
        ShowCounter shows;
        window->installEventFilter(&shows);
        QCOMPARE(boxTitles(boxes), QStringList{QStringLiteral("New Update")});

        // The countdown box is not modal; pressing its Ok restarts at once.
        QEventLoop loop;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &loop, [] {
            for (QWidget *w : QApplication::topLevelWidgets()) {
                auto *box = qobject_cast<QMessageBox *>(w);
                if (box && box->isVisible() && box->windowTitle() == QLatin1String("Update ready"))
                    box->button(QMessageBox::Ok)->click();
            }
        });
        poll.start(50);
        QTimer::singleShot(20000, &loop, [&] { loop.exit(-1); });
        QCOMPARE(loop.exec(), 0);

        QCOMPARE(m_sim->update()->deliveredCount(), 1);
        QTRY_VERIFY(QFile::exists(rootPath(QStringLiteral("restart_ran.txt"))));
        QVERIFY(!window->isVisible());
        QCOMPARE(shows.shows, 0);
        QVERIFY(!window->testAttribute(Qt::WA_WState_ExplicitShowHide));
        QCOMPARE(m_sim->actionCount(QStringLiteral("contracts")), 0);
        QCOMPARE(m_sim->actionCount(QStringLiteral("get_settings")), 0);
        QCOMPARE(m_sim->stream()->connectionsAccepted(), 0);
        QCOMPARE(boxTitles(boxes), QStringList{QStringLiteral("New Update")});
    }

    // Right after an update the restart script could not install, the same release is
    // still offered; the start tells the trader once and runs the installed release.
    void failedUpdateIsReportedOnceInsteadOfRetried()
    {
        m_sim->options().latestVersion = QStringLiteral("7.3");
        QVERIFY(writeFile(rootPath(QLatin1String(InstallFiles::UpdateFailedNote)),
                          "The new release could not be moved into place (Quillmark.exe).\n"));
        storeReturningTrader(false);

        ModalAcceptor boxes;
        authDialog controller;
        controller.startUp();
        QVERIFY(controller.mainWindow()->isVisible());
        QTRY_COMPARE(boxTitles(boxes), QStringList{QStringLiteral("Update failed")});
        QVERIFY(boxes.seen().last().contains(QStringLiteral("(Quillmark.exe)")));
        QVERIFY(!QFile::exists(rootPath(QLatin1String(InstallFiles::UpdateFailedNote))));
        QCOMPARE(m_sim->update()->requestCount(), 0);
        QTRY_VERIFY(!m_sim->stream()->subscribeLists().isEmpty());
    }

    // A release that is not ours is refused in words, the installed release starts and
    // streams, and the next start does not fetch the same release again.
    void refusedReleaseIsToldOnceAndNotFetchedAgain()
    {
        m_sim->options().latestVersion = QStringLiteral("7.3");
        m_sim->update()->setTamper([](FeedSimUpdate::Files &files) {
            files[QStringLiteral("Quillmark.exe")] = "MZ from someone else";
        });
        storeReturningTrader(false);
        {
            ModalAcceptor boxes;
            authDialog controller;
            controller.startUp();
            QTRY_COMPARE(boxTitles(boxes), (QStringList{QStringLiteral("New Update"), QStringLiteral("Update failed")}));
            QCOMPARE(boxes.seen().last(), QStringLiteral("Update failed|The update to 7.3 could not be verified and was "
                                                         "not installed; Quillmark 7.26 keeps running."));
            QTRY_VERIFY(controller.mainWindow()->isVisible());
            QTRY_VERIFY(!m_sim->stream()->subscribeLists().isEmpty());
            QCOMPARE(m_sim->update()->requestCount(), 1);
            QVERIFY(!QFile::exists(rootPath(QStringLiteral("Quillmark.exe"))));
        }
        ModalAcceptor boxes;
        authDialog controller;
        // The refusal is remembered: this start decides against fetching it again.
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^release 7\\.3 was refused at .*; not fetched again before ")));
        controller.startUp();
        QVERIFY(controller.mainWindow()->isVisible());
        QCOMPARE(boxTitles(boxes), QStringList());
        QCOMPARE(m_sim->update()->requestCount(), 1);
    }

    // ---- the real program: a refused start-up ends the process ------------

    void refusedStartupEndsTheProcess_data()
    {
        QTest::addColumn<bool>("serverUp");
        QTest::addColumn<QByteArray>("answer"); // what the server answers instead of its own record
        QTest::addColumn<QString>("text");
        QTest::newRow("closed port") << false << QByteArray()
                                     << QStringLiteral("Cannot reach the data server (connection refused)");
        QTest::newRow("refused by the server") << true << QByteArray() << QStringLiteral("Client not registered");
        QTest::newRow("unreadable answer") << true << QByteArray("{\"success\":tru")
                                           << QStringLiteral("The data server's answer could not be read");
    }

    void refusedStartupEndsTheProcess()
    {
        QFETCH(bool, serverUp);
        QFETCH(QByteArray, answer);
        QFETCH(QString, text);
        QString server;
        if (serverUp) {
            m_sim->options().failStartup = true;
            m_sim->options().failMessage = text;
            if (!answer.isEmpty()) {
                m_sim->http()->addRoute(QLatin1String(FeedSim::ApiRoute), [answer](const HttpRequest &, HttpResponder *r) {
                    r->respond(200, "application/json", answer);
                });
            }
            server = m_sim->serverHost();
        } else {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            server = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
            probe.close();
        }

        QProcess program;
        program.setProcessEnvironment(programEnvironment(server));
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.start(QStringLiteral(QM_TEST_BIN_DIR "/quillmark"), QStringList());
        QVERIFY(program.waitForStarted());
        QByteArray output;
        const QByteArray boxLine = "[showMessageBox] title: \"Error\" text: \"" + text.toUtf8() + "\"";
        QTRY_VERIFY_WITH_TIMEOUT((output += program.readAll()).contains(boxLine), 15000);

        // Nobody can press Ok offscreen; the program's own quit request (SIGTERM) ends the
        // box's loop like a dismissal, and the process must then end at once with status 0.
        program.terminate();
        QTRY_COMPARE_WITH_TIMEOUT(program.state(), QProcess::NotRunning, 10000);
        output += program.readAll();
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(output.count("[showMessageBox]"), 1);
        // The log written beside the box, for support (the process ended without its destructors).
        const QByteArray log = readFile(rootPath(QStringLiteral("logs/") + LogFile::fileNameFor(QDate::currentDate())));
        QVERIFY2(log.contains(" warning quillmark.app: start-up refused: " + text.toUtf8() + '\n'), log.constData());
        if (serverUp && answer.isEmpty()) {
            QCOMPARE(m_sim->actionCount(QStringLiteral("startup")), 1);
            QCOMPARE(m_sim->actionCount(QStringLiteral("contracts")), 0);
            QCOMPARE(m_sim->actionCount(QStringLiteral("get_settings")), 0);
        }
    }
};

QM_TEST_MAIN(tst_livefeed)
#include "tst_livefeed.moc"
