#include <QtTest>
#include <QApplication>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QStandardItemModel>
#include <QTableWidget>

#include <functional>
#include <memory>

#include "amibroker/livedataupdator.h"
#include "backfill/backfillpump.h"
#include "backfill/mydownloader.h"
#include "api/contracts.h"
#include "app/quillmark2.h"
#include "common/settingskeys.h"
#include "feedsim.h"
#include "live/livesession.h"
#include "feedsimstream.h"
#include "modalhelper.h"
#include "symbols/feedcatalogue.h"
#include "symbols/symbolmappingdialog.h"
#include "symbols/selectioncontroller.h"
#include "symbols/symbolselection.h"
#include "symbols/wishlist.h"
#include "testenv.h"
#include "windowprofile.h"

namespace {

using Pairs = QList<QPair<QString, QString>>;

const QString LimitTitle = QStringLiteral("Limit Exceeded");

ContractCatalogue sampleCatalogue()
{
    ContractCatalogue c;
    c.insert(QStringLiteral("CASH"), {"ABC", "ABC1", "SBIN", "NIFTYBEES", "INFY"});
    c.insert(QStringLiteral("FUTURE"), {"NIFTY-I", "BANKNIFTY-I", "ABC", "NIFTY-II", "SBIN-I", "finnifty-x"});
    c.insert(QStringLiteral("OPTION"), {"NIFTY24JAN21000CE", "NIFTY24JAN21000PE"});
    c.insert(QStringLiteral("SPOTINDEX"), {"NIFTY 50", "INDIAVIX"});
    return c;
}

// Answers each modal widget as it comes: a file dialog gets `fileName` typed and
// accepted (or is cancelled when it is empty), a message box is recorded as
// "title|text" and closed, any other dialog goes to `onDialog`.
class ModalDriver : public QObject
{
public:
    QString fileName;
    std::function<void(QDialog *)> onDialog;
    QStringList boxes;

    ModalDriver()
    {
        connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
        m_timer.start(10);
    }

private:
    void poll()
    {
        QWidget *w = QApplication::activeModalWidget();
        if (!w || w == m_last)
            return;
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            boxes << box->windowTitle() + QLatin1Char('|') + box->text();
            if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->close();
        } else if (auto *files = qobject_cast<QFileDialog *>(w)) {
            // Typed again on every poll until the dialog takes it; cancelled after a
            // second, so a dialog that refuses the name fails the test instead of hanging it.
            if (files != m_files) {
                m_files = files;
                m_titles << files->windowTitle();
                m_tries = 0;
            }
            if (fileName.isEmpty() || ++m_tries > 100) {
                files->reject();
            } else {
                // The whole path into the name field: selectFile() changes folder
                // asynchronously and may clear the name again.
                if (auto *edit = files->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                    edit->setText(fileName);
                static_cast<QDialog *>(files)->accept();
            }
        } else if (auto *dialog = qobject_cast<QDialog *>(w)) {
            m_last = w;
            if (onDialog)
                onDialog(dialog);
            else
                dialog->reject();
        }
    }

public:
    QStringList m_titles;

private:
    QTimer m_timer;
    QPointer<QWidget> m_last;
    QPointer<QFileDialog> m_files;
    int m_tries = 0;
};

} // namespace

Q_DECLARE_METATYPE(Pairs)

class tst_selection : public QObject
{
    Q_OBJECT

    std::unique_ptr<quillmark2> m_window;
    std::unique_ptr<FeedSimStream> m_stream;

    template <typename T>
    T *child(const QString &name) const
    {
        T *w = m_window->findChild<T *>(name);
        if (!w)
            qFatal("no widget %s", qPrintable(name));
        return w;
    }
    QListWidget *list() const { return child<QListWidget>(QStringLiteral("symbolsListWidget")); }
    QTableWidget *table() const { return child<QTableWidget>(QStringLiteral("displayTableWidget")); }
    QRadioButton *feed(const char *name) const { return child<QRadioButton>(QLatin1String(name)); }
    QPushButton *button(const char *name) const { return child<QPushButton>(QLatin1String(name)); }
    const QStringList &symbols() const { return m_window->selection()->symbols(); }
    const QStringList &exchanges() const { return m_window->selection()->exchanges(); }

    void newWindow(int limit)
    {
        m_window = std::make_unique<quillmark2>();
        m_window->symbolControls()->setCatalogue(sampleCatalogue());
        reconfigure(*m_window, [&](ServerProfile &p) {
            p.symbolLimit = limit;
            p.websocketLink = m_stream->url().toString();
        });
    }

    Pairs selection() const
    {
        Pairs pairs;
        for (int i = 0; i < symbols().size(); ++i)
            pairs.append({symbols().at(i), exchanges().value(i, QStringLiteral("<missing>"))});
        for (int i = symbols().size(); i < exchanges().size(); ++i)
            pairs.append({QStringLiteral("<missing>"), exchanges().at(i)});
        return pairs;
    }

    void setSelection(const Pairs &pairs)
    {
        QStringList symbols;
        QStringList exchanges;
        for (const auto &p : pairs) {
            symbols << p.first;
            exchanges << p.second;
        }
        m_window->selection()->set(symbols, exchanges);
    }

    QStringList shown() const
    {
        QStringList texts;
        for (int i = 0; i < list()->count(); ++i)
            texts << list()->item(i)->text();
        return texts;
    }
    QStringList ticked() const
    {
        QStringList texts;
        for (int i = 0; i < list()->count(); ++i) {
            if (list()->item(i)->checkState() == Qt::Checked)
                texts << list()->item(i)->text();
        }
        return texts;
    }
    void tick(const QString &symbol, bool on)
    {
        const QList<QListWidgetItem *> items = list()->findItems(symbol, Qt::MatchExactly);
        QVERIFY2(!items.isEmpty(), qPrintable(symbol));
        items.first()->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }
    QString label() const { return child<QLabel>(QStringLiteral("SymbolsSelected"))->text(); }

    // Backfill jobs asked for: the one the pump handed to the downloader, then the queue.
    QStringList backfillJobs() const
    {
        QStringList jobs;
        if (!m_window->backfillPump()->isIdle())
            jobs << m_window->downloader()->currentUrl().toString();
        return jobs + m_window->backfillPump()->queue();
    }

    // Connects the live stream and waits for its first subscription.
    void connectStream()
    {
        reconfigure(*m_window, [](ServerProfile &p) { p.clientId = QStringLiteral("QM-SEL"); });
        button("connectButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(m_stream->subscribeLists().size(), 1, 5000);
    }
    QStringList lastSubscription() const
    {
        const QList<QStringList> lists = m_stream->subscribeLists();
        return lists.isEmpty() ? QStringList{QStringLiteral("<none>")} : lists.last();
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    }

    void init()
    {
        TestEnv::instance()->reset();
        QSettings().setValue(QLatin1String(Keys::FirstRun), false);
        m_stream = std::make_unique<FeedSimStream>();
        m_stream->setRate(0);
        QVERIFY(m_stream->start());
        newWindow(10);
    }

    void cleanup()
    {
        m_window.reset();
        m_stream.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // ---- Add Symbol ---------------------------------------------------------------

    void addSymbol_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("tickOn");
        QTest::addColumn<QStringList>("tickOff");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<QString>("box");

        QTest::newRow("limit 0 refuses any add") << 0 << QStringList() << QStringList{"ABC"} << QStringList()
                                                 << QStringList() << "Maximum symbols limit is 0\nYou are trying to add 1";
        QTest::newRow("swap at the limit refused") << 2 << QStringList{"ABC", "SBIN"} << QStringList{"INFY"}
                                                   << QStringList{"SBIN"} << QStringList{"ABC", "SBIN"}
                                                   << "Maximum symbols limit is 2\nYou are trying to add 3";
        QTest::newRow("untick drops at the limit") << 2 << QStringList{"ABC", "SBIN"} << QStringList()
                                                   << QStringList{"ABC"} << QStringList{"SBIN"} << QString();
        QTest::newRow("added in list order") << 3 << QStringList{"SBIN"} << QStringList{"INFY", "ABC"} << QStringList()
                                             << QStringList{"SBIN", "ABC", "INFY"} << QString();
    }
    void addSymbol()
    {
        QFETCH(int, limit);
        QFETCH(QStringList, before);
        QFETCH(QStringList, tickOn);
        QFETCH(QStringList, tickOff);
        QFETCH(QStringList, after);
        QFETCH(QString, box);

        reconfigure(*m_window, [&](ServerProfile &p) { p.symbolLimit = limit; });
        Pairs pairs;
        for (const QString &s : before)
            pairs.append({s, QStringLiteral("CASH")});
        setSelection(pairs);
        feed("cashBox")->click();
        QCOMPARE(ticked(), before);
        for (const QString &s : tickOn)
            tick(s, true);
        for (const QString &s : tickOff)
            tick(s, false);
        const QStringList ticksPressed = ticked();

        ModalDriver driver;
        button("addSelected")->click();
        QCOMPARE(symbols(), after);
        QCOMPARE(exchanges(), QStringList(QVector<QString>(after.size(), QStringLiteral("CASH")).toList()));
        if (!box.isEmpty()) {
            QCOMPARE(driver.boxes, QStringList{LimitTitle + QLatin1Char('|') + box});
            // Refused: the ticks stay as the user left them, nothing is coloured or queued.
            QCOMPARE(ticked(), ticksPressed);
            for (int i = 0; i < list()->count(); ++i)
                QCOMPARE(list()->item(i)->background().style(), Qt::NoBrush);
            QVERIFY(backfillJobs().isEmpty());
            return;
        }
        QVERIFY(driver.boxes.isEmpty());
        for (int i = 0; i < list()->count(); ++i) {
            const QListWidgetItem *item = list()->item(i);
            QCOMPARE(item->background().color(),
                     QColor(item->checkState() == Qt::Checked ? QStringLiteral("#00ff00") : QStringLiteral("#ffffff")));
        }
        // Only the newly added symbols are backfilled.
        const QStringList queue = backfillJobs();
        QCOMPARE(queue.size(), tickOn.size());
        for (const QString &s : tickOn)
            QVERIFY2(!queue.filter(QStringLiteral("send=") + s).isEmpty(), qPrintable(queue.join(' ')));
        QCOMPARE(table()->rowCount(), after.size());
        QCOMPARE(label(), QStringLiteral("S:(%1)").arg(after.size()));
    }

    void symbolInTwoFeedsIsSelectedOnce()
    {
        feed("cashBox")->click();
        tick(QStringLiteral("ABC"), true);
        button("addSelected")->click();
        feed("futureBox")->click();
        QCOMPARE(m_window->symbolControls()->currentFeed(), QStringLiteral("FUTURE"));
        // Shown ticked in the second feed because it is selected.
        QCOMPARE(ticked(), QStringList{"ABC"});
        tick(QStringLiteral("NIFTY-I"), true);
        button("addSelected")->click();
        QCOMPARE(selection(), (Pairs{{"ABC", "CASH"}, {"NIFTY-I", "FUTURE"}}));
        QCOMPARE(m_window->symbolControls()->feedStates(), (QVector<bool>{false, true, false, false, false, false, false, false, false}));
    }

    void rowDeleteByItsButton_data()
    {
        QTest::addColumn<QString>("buttonName");
        QTest::addColumn<QStringList>("left");
        QTest::newRow("name ending in 1") << "ABC11,CASH" << QStringList{"ABC", "SBIN"};
        QTest::newRow("its neighbour") << "ABC1,CASH" << QStringList{"ABC1", "SBIN"};
        QTest::newRow("last row") << "SBIN1,CASH" << QStringList{"ABC", "ABC1"};
    }
    void rowDeleteByItsButton()
    {
        QFETCH(QString, buttonName);
        QFETCH(QStringList, left);
        feed("cashBox")->click();
        for (const char *s : {"ABC", "ABC1", "SBIN"})
            tick(QLatin1String(s), true);
        button("addSelected")->click();
        QCOMPARE(table()->rowCount(), 3);

        auto *x = table()->findChild<QPushButton *>(buttonName);
        QVERIFY(x);
        QSignalSpy deleted(m_window.get(), &quillmark2::deleteButton);
        x->click();
        QCOMPARE(deleted.count(), 1);
        QCOMPARE(symbols(), left);
        QCOMPARE(exchanges(), (QStringList{"CASH", "CASH"}));
        QCOMPARE(table()->rowCount(), 2);
        for (int row = 0; row < 2; ++row)
            QCOMPARE(table()->item(row, 0)->text(), left.at(row));
        QCOMPARE(label(), QStringLiteral("S:(2)"));
        // The list no longer ticks the deleted symbol, so the next press does not bring it back.
        QCOMPARE(ticked(), left);
        button("addSelected")->click();
        QCOMPARE(symbols(), left);
    }

    void deleteAllClearsEverything()
    {
        feed("cashBox")->click();
        tick(QStringLiteral("ABC"), true);
        tick(QStringLiteral("INFY"), true);
        button("addSelected")->click();
        QCOMPARE(table()->rowCount(), 2);
        button("DeleteAll")->click();
        QVERIFY(symbols().isEmpty());
        QVERIFY(exchanges().isEmpty());
        QCOMPARE(table()->rowCount(), 0);
        QCOMPARE(label(), QStringLiteral("S:(0)"));
        QVERIFY(ticked().isEmpty());
        button("addSelected")->click();
        QVERIFY(symbols().isEmpty());
    }

    // ---- Feeds, list and search -----------------------------------------------------

    void search_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("nifty, any case") << "nifty" << QStringList{"NIFTY-I", "BANKNIFTY-I", "NIFTY-II", "finnifty-x"};
        QTest::newRow("blanks trimmed") << "  -ii \t" << QStringList{"NIFTY-II"};
        QTest::newRow("empty shows all") << "" << sampleCatalogue().value(QStringLiteral("FUTURE"));
        QTest::newRow("no match") << "zzz" << QStringList();
    }
    void search()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        setSelection({{"BANKNIFTY-I", "FUTURE"}, {"NIFTY-II", "FUTURE"}, {"SBIN", "CASH"}});
        feed("futureBox")->click();
        auto *box = child<QLineEdit>(QStringLiteral("machineIDLabel_2"));
        box->setText(QStringLiteral("x"));
        box->setText(text);
        QCOMPARE(shown(), expected);
        QStringList expectedTicks;
        for (const QString &s : expected) {
            if (symbols().contains(s))
                expectedTicks << s;
        }
        QCOMPARE(ticked(), expectedTicks);
        for (int i = 0; i < list()->count(); ++i)
            QVERIFY(list()->item(i)->flags() & Qt::ItemIsUserCheckable);

        // A feed change clears the search and shows the whole feed.
        feed("cashBox")->click();
        QVERIFY(box->text().isEmpty());
        QCOMPARE(shown(), sampleCatalogue().value(QStringLiteral("CASH")));
        QCOMPARE(ticked(), QStringList{"SBIN"});
    }

    void selectAllAndNoneOnlyTick()
    {
        feed("cashBox")->click();
        button("selectAll")->click();
        QCOMPARE(ticked(), sampleCatalogue().value(QStringLiteral("CASH")));
        QVERIFY(symbols().isEmpty());
        button("selectNone")->click();
        QVERIFY(ticked().isEmpty());
    }

    void disabledFeedToggleIsIgnored()
    {
        feed("cashBox")->click();
        QCOMPARE(m_window->symbolControls()->currentFeed(), QStringLiteral("CASH"));
        feed("futureBox")->setEnabled(false);
        feed("futureBox")->setChecked(true); // emits toggled although disabled
        QCOMPARE(m_window->symbolControls()->currentFeed(), QStringLiteral("CASH"));
        QCOMPARE(shown(), sampleCatalogue().value(QStringLiteral("CASH")));
        QCOMPARE(m_window->symbolControls()->feedStates().at(1), false);
        QCOMPARE(m_window->symbolControls()->feedStates().at(0), false); // cash's own toggled(false) is recorded
        // A click on a disabled button does nothing at all.
        feed("optionBox")->setEnabled(false);
        feed("optionBox")->click();
        QVERIFY(!feed("optionBox")->isChecked());
    }

    void mcxShowsUnderCommFromTheServer()
    {
        QJsonArray contracts;
        const Pairs entries = {{"CRUDEOIL-I", "MCX"}, {"BOGUS-I", "COMM"}, {"GOLDM-I", "MCX"}, {"SBIN", "CASH"}};
        for (const auto &e : entries)
            contracts.append(QJsonObject{{"Symbol", e.first}, {"Exch", e.second}});
        FeedSimOptions options;
        options.envelope = true;
        options.contractsBody = QJsonDocument(QJsonObject{{"success", true}, {"contracts", contracts}}).toJson();
        FeedSim sim(options);
        QVERIFY(sim.start());
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());
        QNetworkAccessManager manager;
        m_window->setNetworkManager(&manager);
        m_window->loadContractCatalogue();
        qunsetenv("QUILLMARK_SERVER");
        QCOMPARE(sim.actionCount(QStringLiteral("contracts")), 1);

        feed("commBox")->click();
        QCOMPARE(shown(), (QStringList{"CRUDEOIL-I", "GOLDM-I"}));
        QCOMPARE(m_window->symbolControls()->currentFeed(), QStringLiteral("MCX"));
        for (const char *name : {"cashBox", "futureBox", "optionBox", "currBox", "spotBox", "SXOPTBox", "SXOPTBox2",
                                 "ForexBox"}) {
            feed(name)->click();
            QVERIFY2(!shown().contains(QStringLiteral("BOGUS-I")), name);
        }
        QCOMPARE(m_window->enabledFeedExchanges(), FeedCatalogue::exchanges());
    }

    // ---- Selected-symbols table -----------------------------------------------------

    void tableRowsReuseTheirWidgets()
    {
        setSelection({{"ABC", "CASH"}, {"NIFTY-I", "FUTURE"}});
        m_window->addDisplayTable();
        QCOMPARE(table()->columnCount(), 5);
        const QStringList headers = {"SYMBOL", "LTP", "LTQ", "Backfill", "Del"};
        const int widths[] = {155, 75, 70, 95, 40};
        for (int c = 0; c < 5; ++c) {
            QCOMPARE(table()->horizontalHeaderItem(c)->text(), headers.at(c));
            QCOMPARE(table()->columnWidth(c), widths[c]);
        }
        QCOMPARE(table()->font().family(), QStringLiteral("Monospace"));
        QCOMPARE(table()->font().pixelSize(), 12);
        QCOMPARE(label(), QStringLiteral("S:(2)"));
        for (int row = 0; row < 2; ++row) {
            auto *backfill = qobject_cast<QPushButton *>(table()->cellWidget(row, 3));
            auto *x = qobject_cast<QPushButton *>(table()->cellWidget(row, 4));
            QVERIFY(backfill && x);
            QCOMPARE(backfill->text(), QStringLiteral("Backfill"));
            QCOMPARE(backfill->objectName(), symbols().at(row));
            QCOMPARE(backfill->property("exchName").toString(), exchanges().at(row));
            QCOMPARE(x->text(), QStringLiteral("X"));
            QCOMPARE(x->width(), 30);
            QCOMPARE(x->objectName(), symbols().at(row) + QStringLiteral("1,") + exchanges().at(row));
            QCOMPARE(table()->item(row, 1)->text(), QStringLiteral("0"));
            QCOMPARE(table()->item(row, 2)->textAlignment(), int(Qt::AlignLeft | Qt::AlignVCenter));
        }

        // Prices shown survive a rebuild, with the same buttons.
        QPointer<QWidget> firstBackfill = table()->cellWidget(0, 3);
        table()->item(0, 1)->setText(QStringLiteral("101.5"));
        table()->item(1, 1)->setText(QStringLiteral("24000.5"));
        table()->item(1, 2)->setText(QStringLiteral("75"));
        m_window->addDisplayTable();
        QCOMPARE(table()->cellWidget(0, 3), firstBackfill.data());
        QCOMPARE(table()->item(0, 1)->text(), QStringLiteral("101.5"));
        QCOMPARE(table()->item(1, 1)->text(), QStringLiteral("24000.5"));

        // A row that now holds another symbol does not show its old neighbour's prices.
        feed("cashBox")->click();
        tick(QStringLiteral("ABC"), false);
        button("addSelected")->click();
        QCOMPARE(symbols(), QStringList{"NIFTY-I"});
        QCOMPARE(table()->rowCount(), 1);
        QCOMPARE(table()->item(0, 0)->text(), QStringLiteral("NIFTY-I"));
        QCOMPARE(table()->item(0, 1)->text(), QStringLiteral("0"));
        QCOMPARE(table()->cellWidget(0, 3)->objectName(), QStringLiteral("NIFTY-I"));
        QCOMPARE(table()->cellWidget(0, 3)->property("exchName").toString(), QStringLiteral("FUTURE"));
        QCOMPARE(table()->cellWidget(0, 4)->objectName(), QStringLiteral("NIFTY-I1,FUTURE"));
    }

    void tableOverTheLimitIsLeftAlone()
    {
        setSelection({{"ABC", "CASH"}});
        m_window->addDisplayTable();
        reconfigure(*m_window, [&](ServerProfile &p) { p.symbolLimit = 1; });
        setSelection({{"ABC", "CASH"}, {"SBIN", "CASH"}});
        ModalDriver driver;
        m_window->addDisplayTable();
        QCOMPARE(driver.boxes,
                 QStringList{LimitTitle + QStringLiteral("|Maximum limit for symbols is 1.\nYou are trying to add 2 symbols.")});
        QCOMPARE(table()->rowCount(), 1);
        QCOMPARE(label(), QStringLiteral("S:(1)"));
    }

    // ---- Start-up and close ---------------------------------------------------------

    void startupRestore_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("feeds");
        QTest::addColumn<QStringList>("storedSymbols");
        QTest::addColumn<QStringList>("storedExchanges");
        QTest::addColumn<int>("storedFeed");
        QTest::addColumn<Pairs>("expected");
        QTest::addColumn<QString>("shownFeed");

        const QStringList three = {"ABC", "NIFTY-I", "NIFTY24JAN21000CE"};
        const QStringList threeExch = {"CASH", "FUTURE", "OPTION"};
        QTest::newRow("kept, future feed restored") << 5 << "CASH,FUTURE,OPTION" << three << threeExch << 1
                                                    << Pairs{{"ABC", "CASH"}, {"NIFTY-I", "FUTURE"}, {"NIFTY24JAN21000CE", "OPTION"}}
                                                    << "FUTURE";
        QTest::newRow("over the limit dropped whole") << 2 << "CASH,FUTURE,OPTION" << three << threeExch << 0 << Pairs()
                                                      << "CASH";
        QTest::newRow("feed no longer enabled") << 5 << "CASH,FUTURE" << three << threeExch << 0
                                                << Pairs{{"ABC", "CASH"}, {"NIFTY-I", "FUTURE"}} << "CASH";
        QTest::newRow("stored feed disabled") << 5 << "CASH,FUTURE" << three << threeExch << 2
                                              << Pairs{{"ABC", "CASH"}, {"NIFTY-I", "FUTURE"}} << "";
        QTest::newRow("symbol without exchange name dropped")
            << 5 << "CASH,FUTURE" << three << QStringList{"CASH", "FUTURE"} << 0
            << Pairs{{"ABC", "CASH"}, {"NIFTY-I", "FUTURE"}} << "CASH";
    }
    void startupRestore()
    {
        QFETCH(int, limit);
        QFETCH(QString, feeds);
        QFETCH(QStringList, storedSymbols);
        QFETCH(QStringList, storedExchanges);
        QFETCH(int, storedFeed);
        QFETCH(Pairs, expected);
        QFETCH(QString, shownFeed);
        {
            QSettings store;
            store.setValue(QLatin1String(Keys::SelectedSymbolsList), storedSymbols);
            store.setValue(QLatin1String(Keys::CorrExchList), storedExchanges);
            store.setValue(QString::fromLatin1(Keys::CheckboxPattern).arg(storedFeed), true);
        }
        newWindow(limit);
        ModalDriver driver;
        m_window->enableInterface(QStringLiteral("QM-SEL"), feeds, {QStringLiteral("1")}, QString(), false);
        QCOMPARE(selection(), expected);
        QCOMPARE(m_window->symbolControls()->currentFeed(), shownFeed);
        if (!shownFeed.isEmpty()) {
            QCOMPARE(shown(), sampleCatalogue().value(shownFeed));
            QCOMPARE(m_window->symbolControls()->feedStates().at(storedFeed), true);
            // Ticked by being selected, from whichever feed.
            QStringList expectedTicks;
            for (const QString &s : shown()) {
                for (const auto &p : expected) {
                    if (p.first == s)
                        expectedTicks << s;
                }
            }
            QCOMPARE(ticked(), expectedTicks);
        }
        QCOMPARE(table()->rowCount(), expected.size());
        QCOMPARE(label(), QStringLiteral("S:(%1)").arg(expected.size()));
        // A restored selection is not "newly added": nothing is backfilled for it.
        QVERIFY(backfillJobs().isEmpty());
        QCOMPARE(driver.boxes.contains(QStringLiteral("Select Symbols|No Symbol Selected.\nPlease Add Symbols for Live Data!")),
                 expected.isEmpty());

        // The stream ends on the restored selection (the defaults when there is none).
        QStringList wanted;
        for (const auto &p : expected)
            wanted << p.first;
        QTRY_COMPARE_WITH_TIMEOUT(lastSubscription(), wanted.isEmpty() ? LiveSession::defaultSymbols() : wanted, 5000);
    }

    void firstRunFeedIsFilledOnceTheCatalogueIsThere()
    {
        QSettings().setValue(QLatin1String(Keys::FirstRun), true);
        newWindow(5); // the catalogue arrives after construction, as at start-up
        QVERIFY(feed("spotBox")->isChecked());
        QCOMPARE(m_window->symbolControls()->currentFeed(), QStringLiteral("SPOTINDEX"));
        QVERIFY(shown().isEmpty());
        ModalDriver driver;
        m_window->enableInterface(QStringLiteral("QM-SEL"), QStringLiteral("CASH,SPOT"), {QStringLiteral("1")},
                                  QString(), false);
        QCOMPARE(shown(), sampleCatalogue().value(QStringLiteral("SPOTINDEX")));
        tick(QStringLiteral("INDIAVIX"), true);
        button("addSelected")->click();
        QCOMPARE(selection(), (Pairs{{"INDIAVIX", "SPOTINDEX"}}));
    }

    void closeSavesAndANewWindowRestores()
    {
        feed("cashBox")->click();
        tick(QStringLiteral("SBIN"), true);
        tick(QStringLiteral("ABC"), true);
        button("addSelected")->click();
        feed("futureBox")->click();
        tick(QStringLiteral("NIFTY-I"), true);
        button("addSelected")->click();
        m_window->close();
        {
            QSettings store;
            QCOMPARE(store.value(QLatin1String(Keys::SelectedSymbolsList)).toStringList(),
                     (QStringList{"ABC", "SBIN", "NIFTY-I"}));
            QCOMPARE(store.value(QLatin1String(Keys::CorrExchList)).toStringList(), (QStringList{"CASH", "CASH", "FUTURE"}));
            for (int i = 0; i < FeedCatalogue::Count; ++i)
                QCOMPARE(store.value(QString::fromLatin1(Keys::CheckboxPattern).arg(i)).toBool(), i == 1);
        }
        newWindow(10);
        ModalDriver driver;
        m_window->enableInterface(QStringLiteral("QM-SEL"), QStringLiteral("CASH,FUTURE"), {QStringLiteral("1")},
                                  QString(), false);
        QVERIFY(driver.boxes.isEmpty());
        QCOMPARE(selection(), (Pairs{{"ABC", "CASH"}, {"SBIN", "CASH"}, {"NIFTY-I", "FUTURE"}}));
        QVERIFY(feed("futureBox")->isChecked());
        QCOMPARE(ticked(), (QStringList{"NIFTY-I", "ABC"}));
    }

    // ---- Wish lists -----------------------------------------------------------------

    void wishListSaveAndLoad()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("picks.qmList"));
        setSelection({{"NIFTY-I", "FUTURE"}, {"ICICIBANK", "CASH"}});
        m_window->addDisplayTable();
        {
            ModalDriver driver;
            driver.fileName = path;
            QMetaObject::invokeMethod(m_window.get(), "on_save_list_clicked");
            QCOMPARE(driver.m_titles, QStringList{"Save Wishlist To"});
            QVERIFY(driver.boxes.isEmpty());
        }
        const QByteArray file = readFile(path);
        QCOMPARE(file.size(), 32);
        QCOMPARE(file, encodeWishList({"NIFTY-I", "ICICIBANK"}, {"FUTURE", "CASH"}));

        button("DeleteAll")->click();
        feed("cashBox")->click();
        {
            ModalDriver driver;
            driver.fileName = path;
            QMetaObject::invokeMethod(m_window.get(), "on_load_list_2_clicked");
            QCOMPARE(driver.m_titles, QStringList{"Import Wishlist"});
        }
        QCOMPARE(selection(), (Pairs{{"NIFTY-I", "FUTURE"}, {"ICICIBANK", "CASH"}}));
        QCOMPARE(table()->rowCount(), 2);
        QCOMPARE(table()->item(1, 0)->text(), QStringLiteral("ICICIBANK"));
        QCOMPARE(label(), QStringLiteral("S:(2)"));

        // Over the limit: the message, and the selection in use is kept.
        reconfigure(*m_window, [&](ServerProfile &p) { p.symbolLimit = 1; });
        setSelection({{"SBIN", "CASH"}});
        m_window->addDisplayTable();
        {
            ModalDriver driver;
            driver.fileName = path;
            QMetaObject::invokeMethod(m_window.get(), "on_load_list_2_clicked");
            QCOMPARE(driver.boxes, QStringList{LimitTitle + QStringLiteral("|Cannot add 2 symbols.\nMaximum limit is 1.")});
        }
        QCOMPARE(selection(), (Pairs{{"SBIN", "CASH"}}));
        QCOMPARE(table()->rowCount(), 1);
        QCOMPARE(table()->item(0, 0)->text(), QStringLiteral("SBIN"));
    }

    void wishListEdges()
    {
        QTemporaryDir dir;
        setSelection({{"SBIN", "CASH"}});
        // Cancelled dialogs change nothing and write nothing.
        {
            ModalDriver driver;
            QMetaObject::invokeMethod(m_window.get(), "on_save_list_clicked");
            QMetaObject::invokeMethod(m_window.get(), "on_load_list_2_clicked");
            QCOMPARE(driver.m_titles.size(), 2);
            QVERIFY(driver.boxes.isEmpty());
        }
        QCOMPARE(selection(), (Pairs{{"SBIN", "CASH"}}));
        QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());

        // A folder that does not exist cannot take the file.
        {
            ModalDriver driver;
            // procfs takes no new files, whoever runs the test.
            driver.fileName = QStringLiteral("/proc/picks.qmList");
            QMetaObject::invokeMethod(m_window.get(), "on_save_list_clicked");
            QCOMPARE(driver.boxes, QStringList{"Error|Failed to open file for writing"});
        }

        // An empty wish list loads as an empty selection, not as one blank symbol.
        const QString empty = dir.filePath(QStringLiteral("empty.qmList"));
        QVERIFY(writeFile(empty, encodeWishList({}, {})));
        {
            ModalDriver driver;
            driver.fileName = empty;
            QMetaObject::invokeMethod(m_window.get(), "on_load_list_2_clicked");
            QVERIFY(driver.boxes.isEmpty());
        }
        QCOMPARE(selection(), Pairs());
        QCOMPARE(label(), QStringLiteral("S:(0)"));
    }

    // ---- Mapping --------------------------------------------------------------------

    void mappingSlotRefreshesTheMaps()
    {
        ModalDriver driver;
        bool sawDialog = false;
        driver.onDialog = [&](QDialog *dialog) {
            auto *mapping = qobject_cast<SymbolMappingDialog *>(dialog);
            QVERIFY(mapping);
            sawDialog = true;
            QVERIFY(!button("MappingButton")->isEnabled());
            mapping->model()->appendRow({new QStandardItem(QStringLiteral(" NIFTY24FEBFUT ")),
                                         new QStandardItem(QStringLiteral("NIFTY-I"))});
            mapping->model()->appendRow({new QStandardItem(QStringLiteral("OLD")), new QStandardItem(QString())});
            mapping->applyClicked();
        };
        QMetaObject::invokeMethod(m_window.get(), "on_MappingButton_clicked");
        QVERIFY(sawDialog);
        QVERIFY(button("MappingButton")->isEnabled());
        QCOMPARE(m_window->symbolControls()->oldToNewMap(), (QMap<QString, QString>{{"NIFTY24FEBFUT", "NIFTY-I"}}));
        QCOMPARE(m_window->symbolControls()->newToOldMap(), (QMap<QString, QString>{{"NIFTY-I", "NIFTY24FEBFUT"}}));
        QCOMPARE(QSettings().value(QLatin1String(Keys::SymbolMappingEntries)).toStringList(),
                 (QStringList{"NIFTY24FEBFUT,NIFTY-I", "OLD,"}));

        // Closed without saving: neither the store nor the window's maps change.
        sawDialog = false;
        driver.onDialog = [&](QDialog *dialog) {
            sawDialog = true;
            auto *mapping = qobject_cast<SymbolMappingDialog *>(dialog);
            mapping->model()->appendRow({new QStandardItem(QStringLiteral("A")), new QStandardItem(QStringLiteral("B"))});
            dialog->reject();
        };
        QMetaObject::invokeMethod(m_window.get(), "on_MappingButton_clicked");
        QVERIFY(sawDialog);
        QCOMPARE(m_window->symbolControls()->oldToNewMap().size(), 1);
        QCOMPARE(QSettings().value(QLatin1String(Keys::SymbolMappingEntries)).toStringList().size(), 2);
        QVERIFY(button("MappingButton")->isEnabled());
    }

    // ---- The live stream follows every change -----------------------------------------

    void everySelectionChangeReachesTheStream()
    {
        connectStream();
        QCOMPARE(lastSubscription(), LiveSession::defaultSymbols());

        feed("cashBox")->click();
        tick(QStringLiteral("ABC"), true);
        tick(QStringLiteral("SBIN"), true);
        button("addSelected")->click();
        QTRY_COMPARE(lastSubscription(), (QStringList{"ABC", "SBIN"}));

        tick(QStringLiteral("ABC"), false);
        button("addSelected")->click();
        QTRY_COMPARE(lastSubscription(), QStringList{"SBIN"});

        feed("futureBox")->click();
        tick(QStringLiteral("NIFTY-I"), true);
        button("addSelected")->click();
        QTRY_COMPARE(lastSubscription(), (QStringList{"SBIN", "NIFTY-I"}));
        QVERIFY(m_window->selection()->activeFeeds().contains(QStringLiteral("FUTURE")));

        table()->findChild<QPushButton *>(QStringLiteral("SBIN1,CASH"))->click();
        QTRY_COMPARE(lastSubscription(), QStringList{"NIFTY-I"});

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("l.qmList"));
        QVERIFY(writeFile(path, encodeWishList({"INFY", "NIFTY-II"}, {"CASH", "FUTURE"})));
        {
            ModalDriver driver;
            driver.fileName = path;
            QMetaObject::invokeMethod(m_window.get(), "on_load_list_2_clicked");
        }
        QTRY_COMPARE(lastSubscription(), (QStringList{"INFY", "NIFTY-II"}));
        QCOMPARE(ticked(), QStringList{"NIFTY-II"});

        // Nothing selected: the stream falls back to the default symbols.
        button("DeleteAll")->click();
        QTRY_COMPARE(lastSubscription(), LiveSession::defaultSymbols());
    }
};

QM_TEST_MAIN(tst_selection)
#include "tst_selection.moc"
