#include <QtTest>
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTextEdit>

#include <memory>

#include "amibroker/livedataupdator.h"
#include "common/installfiles.h"
#include "app/quillmark2.h"
#include "common/settingskeys.h"
#include "backfill/backfillpump.h"
#include "backfill/backfillurls.h"
#include "backfill/eoddata.h"
#include "backfill/mydownloader.h"
#include "feedsim.h"
#include "feedsimbackfill.h"
#include "modalhelper.h"
#include "symbols/mappingstore.h"
#include "symbols/selectioncontroller.h"
#include "symbols/symbolselection.h"
#include "testenv.h"
#include "windowprofile.h"
#include "ui/settings.h"

namespace {

const QString ClientId = QStringLiteral("ab12 cd34");
const QString Complete = QStringLiteral("\u2713 Full Backfill Complete");
const QDate EndDate(2024, 1, 31);
constexpr int RunTimeoutMs = 30000;

QString key(const char *k)
{
    return QLatin1String(k);
}

struct Imported
{
    QHash<QString, int> intraday; // bar lines per symbol (nine fields)
    QHash<QString, int> eod;      // daily lines per symbol (eight fields)
};

// What the AmiBroker stand-in received, split by kind of bar.
Imported imported()
{
    Imported result;
    const QByteArray journal = readFile(TestEnv::instance()->path(QLatin1String(InstallFiles::ImportedJournal)));
    const QList<QByteArray> lines = journal.split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(',');
        if (fields.size() == 9)
            ++result.intraday[QString::fromUtf8(fields.at(1))];
        else if (fields.size() == 8)
            ++result.eod[QString::fromUtf8(fields.at(1))];
    }
    return result;
}

int intradayLines(const QString &symbol, int days)
{
    return FeedSimBackfill::intradayFile(symbol, days, EndDate).count('\n');
}

int yearLines(const QString &symbol)
{
    return FeedSimBackfill::dailyFile(symbol, EndDate.addYears(-1).addDays(1), EndDate).count('\n');
}

} // namespace

class tst_backfillqueue : public QObject
{
    Q_OBJECT

private:
    FeedSim *m_sim = nullptr;
    FeedSimBackfill *m_archives = nullptr;
    QPointer<quillmark2> m_window;

    QProgressBar *bar() const { return m_window->findChild<QProgressBar *>(QStringLiteral("progressBarRT")); }
    QPushButton *mainButton() const { return m_window->findChild<QPushButton *>(QStringLiteral("backfillButton")); }
    QComboBox *combo(const char *name) const { return m_window->findChild<QComboBox *>(QLatin1String(name)); }
    const QStringList &queue() const { return m_window->backfillPump()->queue(); }

    QString host() const { return m_sim->serverHost(); }
    QString intradayPath() const { return host() + QLatin1String(FeedSimBackfill::IntradayRoute); }
    QString eodPath() const { return host() + QLatin1String(FeedSimBackfill::Eod1yRoute); }

    QString intradayUrl(const QString &sent, const QString &days) const
    {
        return QStringLiteral("http://%1?uid=%2&hash=%3&d=%4&send=%5")
            .arg(intradayPath(), ClientId, m_sim->options().secureKey, days, sent);
    }
    QString eodUrl(const QString &sent) const
    {
        return QStringLiteral("http://%1?uid=%2&hash=%3&send=%4").arg(eodPath(), ClientId, m_sim->options().secureKey, sent);
    }

    // Selected symbols with their exchanges, shown by the window's own controls as
    // table rows with their "Backfill" buttons. Only the CASH and FUTURE feeds are enabled.
    void select(const QList<QPair<QString, QString>> &rows)
    {
        QStringList symbols;
        QStringList exchanges;
        for (const auto &row : rows) {
            symbols << row.first;
            exchanges << row.second;
        }
        m_window->selection()->set(symbols, exchanges);
        m_window->symbolControls()->showRows();
    }
    void selectCash(const QStringList &symbols)
    {
        QList<QPair<QString, QString>> rows;
        for (const QString &s : symbols)
            rows.append({s, QStringLiteral("CASH")});
        select(rows);
    }
    QPushButton *rowButton(const QString &symbol) const
    {
        auto *table = m_window->findChild<QTableWidget *>(QStringLiteral("displayTableWidget"));
        return table->findChild<QPushButton *>(symbol);
    }

    void setAutoEod(bool on)
    {
        QSettings store;
        store.setValue(key(Keys::AutoEodBackfill), on);
        store.sync();
    }

private slots:
    void initTestCase()
    {
        m_sim = new FeedSim(FeedSimOptions(), this);
        QVERIFY(m_sim->start());
        m_archives = new FeedSimBackfill(m_sim->http(), this);
        m_archives->setEndDate(EndDate);
    }

    void init()
    {
        TestEnv::instance()->reset();
        m_archives->setAnswer(BackfillAnswer::Normal);
        m_archives->failNext(0);
        m_archives->resetCounts();
        // Format definitions the stand-in insists on reading.
        QVERIFY(writeFile(TestEnv::instance()->path(QLatin1String(InstallFiles::BackfillFormat)), "intraday\n"));
        QVERIFY(writeFile(TestEnv::instance()->path(QLatin1String(InstallFiles::EodFormat)), "eod\n"));

        BackfillPump::setLongBackfillWarned(true); // only the warning test wants the box
        newWindow();
    }

    void cleanup()
    {
        delete m_window.data();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

private:
    // A window as the start-up leaves it, pointed at the reference server.
    void newWindow()
    {
        m_window = new quillmark2;
        QVERIFY(m_window->downloader());
        QVERIFY(m_window->updater());
        QVERIFY(m_window->settingsDialog());

        const QStringList enabled = {QStringLiteral("cashBox"), QStringLiteral("futureBox")};
        for (const char *name : {"cashBox", "futureBox", "optionBox", "commBox", "currBox", "spotBox", "SXOPTBox",
                                 "SXOPTBox2", "ForexBox"}) {
            m_window->findChild<QAbstractButton *>(QLatin1String(name))
                ->setEnabled(enabled.contains(QLatin1String(name)));
        }
        reconfigure(*m_window, [&](ServerProfile &p) {
            p.clientId = ClientId;
            p.symbolLimit = 200;
            p.secureKey = m_sim->options().secureKey;
            p.backfillPath = intradayPath();
            p.backfillPathSlow = host() + QLatin1String(FeedSimBackfill::SlowRoute);
            p.eod1yPath = eodPath();
            p.oneDayBackfillPath = m_sim->httpBaseUrl() + QStringLiteral("/backfillS21/1/");
        });
        combo("daysBox")->setCurrentText(QStringLiteral("1"));
        combo("autoFilldaysBox")->setCurrentText(QStringLiteral("1"));
    }

private slots:

    // ---- Composition of addresses and captions -------------------------------

    void symbolText_data()
    {
        QTest::addColumn<QStringList>("mapping");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << QStringList() << "INFY" << "INFY";
        QTest::newRow("ampersand") << QStringList() << "M&M" << "M%26M";
        QTest::newRow("two ampersands") << QStringList() << "A&B&C" << "A%26B%26C";
        QTest::newRow("renamed back to the server's name")
            << QStringList{QStringLiteral("NIFTY24FEBFUT,NIFTY-I")} << "NIFTY-I" << "NIFTY24FEBFUT";
        QTest::newRow("server name escaped too") << QStringList{QStringLiteral("M&M,MM")} << "MM" << "M%26M";
        QTest::newRow("one-sided entry ignored") << QStringList{QStringLiteral(",INFY")} << "INFY" << "INFY";
    }
    void symbolText()
    {
        QFETCH(QStringList, mapping);
        QFETCH(QString, symbol);
        QFETCH(QString, expected);
        QCOMPARE(BackfillUrls::symbolText(symbol, parseMappingEntries(mapping)), expected);
    }

    void composedUrls()
    {
        QCOMPARE(BackfillUrls::intradayUrl("http", "h:1/p", "ID", "K", "5", "M%26M"),
                 QStringLiteral("http://h:1/p?uid=ID&hash=K&d=5&send=M%26M"));
        QCOMPARE(BackfillUrls::eod1yUrl("http", "h/e", "ID", "K", "A"), QStringLiteral("http://h/e?uid=ID&hash=K&send=A"));
        // A path the server did not give still makes a URL (it fails like any other).
        QCOMPARE(BackfillUrls::intradayUrl("http", "", "ID", "K", "1", "A"),
                 QStringLiteral("http://?uid=ID&hash=K&d=1&send=A"));

        QCOMPARE(BackfillUrls::chosenPath("fast", "slow", false), QStringLiteral("fast"));
        QCOMPARE(BackfillUrls::chosenPath("fast", "slow", true), QStringLiteral("slow"));
        QCOMPARE(BackfillUrls::chosenPath("fast", "", true), QStringLiteral("fast"));

        QCOMPARE(BackfillUrls::jobFileName("  ab12 \t cd34 "), QStringLiteral("backfill_AB12 CD34.zip"));

        QVERIFY(BackfillUrls::isEodJob("http://h/e?uid=1&send=A", "h/e"));
        QVERIFY(!BackfillUrls::isEodJob("http://h/i?uid=1&send=A", "h/e"));
        QVERIFY(!BackfillUrls::isEodJob("http://h/i?uid=1&send=A", ""));
    }

    void sentSymbols_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("expected");
        QTest::newRow("last key") << "http://h/p?uid=1&hash=2&d=5&send=INFY" << "INFY";
        QTest::newRow("escaped ampersand") << "http://h/p?uid=1&send=M%26M" << "M&M";
        QTest::newRow("cut at next key") << "http://h/p?send=A,B&x=1" << "A,B";
        QTest::newRow("last send wins") << "http://h/p?send=A&send=B" << "B";
        QTest::newRow("none") << "http://h/p?uid=1" << "";
        QTest::newRow("empty value") << "http://h/p?uid=1&send=" << "";
    }
    void sentSymbols()
    {
        QFETCH(QString, url);
        QFETCH(QString, expected);
        QCOMPARE(BackfillUrls::sentSymbols(url), expected);
    }

    void progressValue_data()
    {
        QTest::addColumn<QString>("progress");
        QTest::addColumn<int>("expected");
        QTest::newRow("one decimal") << "42.4%" << 42;
        QTest::newRow("half rounds up") << "42.5%" << 43;
        QTest::newRow("blanks") << "  7.5% " << 8;
        QTest::newRow("no percent sign") << "12" << 12;
        QTest::newRow("unknown size") << "--%" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("over 100") << "100.6%" << 100;
        QTest::newRow("negative") << "-3%" << 0;
        QTest::newRow("not finite") << "inf%" << 0;
        QTest::newRow("two percent signs") << "5%%" << 0;
    }
    void progressValue()
    {
        QFETCH(QString, progress);
        QFETCH(int, expected);
        QCOMPARE(BackfillUrls::progressValue(progress), expected);
    }

    void captionsAndDays()
    {
        QCOMPARE(BackfillUrls::progressCaption("M&M", " 1.3 MB/s "), QStringLiteral("(M&M) 1.3 MB/s"));
        QCOMPARE(BackfillUrls::progressCaption("A", ""), QStringLiteral("(A) --"));
        QCOMPARE(BackfillUrls::progressCaption("", "2.0 KB/s"), QStringLiteral("2.0 KB/s"));
        QCOMPARE(BackfillUrls::progressCaption("", " "), QStringLiteral("--"));

        int value = -1;
        QVERIFY(BackfillUrls::dialogProgressValue("42.9%", &value));
        QCOMPARE(value, 42);
        QVERIFY(!BackfillUrls::dialogProgressValue("--%", &value));
        QCOMPARE(value, 42);

        QCOMPARE(BackfillUrls::autoDays("7"), 7);
        QCOMPARE(BackfillUrls::autoDays(""), 5);
        QCOMPARE(BackfillUrls::autoDays("0"), 5);
        QCOMPARE(BackfillUrls::autoDays("-2"), 5);
        QCOMPARE(BackfillUrls::autoDays("ten"), 5);
    }

    void eodArchiveUrl_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("oneDay");
        QTest::addColumn<QString>("expected");
        QTest::newRow("full address") << "ignored/path" << "http://s:81/backfillS21/1/" << "http://s:81/backfillS21/e/CASH-1.zip";
        QTest::newRow("every /1/ replaced") << "x" << "https://s/1/a/1/" << "https://s/e/a/e/CASH-1.zip";
        QTest::newRow("name with port") << "127.0.0.1:8080/backfill/intraday" << "key"
                                        << "http://127.0.0.1:8080/backfillS21/e/2024-03-05/key/CASH-1.zip";
        QTest::newRow("name without port") << "data.example/bf" << "key"
                                           << "http://data.example/backfillS21/e/2024-03-05/key/CASH-1.zip";
        QTest::newRow("scheme kept") << "https://data.example:444/bf" << ""
                                     << "https://data.example:444/backfillS21/e/2024-03-05//CASH-1.zip";
    }
    void eodArchiveUrl()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, oneDay);
        QFETCH(QString, expected);
        QCOMPARE(BackfillUrls::eodArchiveUrl(chosen, oneDay, "CASH-1.zip", QDate(2024, 3, 5)), expected);
    }

    // ---- The queue pump in the window -------------------------------------------

    void startupRunAlternatesIntradayAndEod()
    {
        setAutoEod(true);
        selectCash({QStringLiteral("B"), QStringLiteral("A")});

        auto captions = std::make_shared<QStringList>();
        // Queued: sees the caption after the window has handled each progress step.
        connect(m_window->downloader(), &MyDownloader::updateProgress2, this,
                [this, captions]() {
                    if (m_window)
                        *captions << bar()->format();
                },
                Qt::QueuedConnection);

        m_window->do5DayBackfill();

        // First job handed out, the other three wait in order.
        QCOMPARE(m_window->downloader()->currentUrl().toString(), intradayUrl("A", "1"));
        QCOMPARE(queue(), QStringList({eodUrl("A"), intradayUrl("B", "1"), eodUrl("B")}));
        QCOMPARE(bar()->format(), QStringLiteral("Intraday Backfill: A..."));
        QCOMPARE(bar()->styleSheet(), QString::fromLatin1(BackfillUrls::IntradayStyle));
        QCOMPARE(mainButton()->text(), QStringLiteral("Stop"));
        QVERIFY(mainButton()->isEnabled());
        QCOMPARE(m_window->downloader()->retryTimer->interval(), 50);
        QVERIFY(m_window->downloader()->retryTimer->isActive());
        QCOMPARE(m_window->downloader()->timeoutTimer->interval(), 90000);
        QVERIFY(m_window->downloader()->timeoutTimer->isActive());
        QVERIFY(m_window->backfillPump()->autoBackfillRunning());
        QVERIFY(m_window->backfillPump()->eodChainPending());
        QSettings store;
        QCOMPARE(store.value(key(Keys::LastIntradaySymbols)).toStringList(), QStringList({"B", "A"}));
        QCOMPARE(store.value(key(Keys::Eod1yBackfillPending)).toBool(), true);

        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QCOMPARE(bar()->value(), 100);
        QCOMPARE(bar()->styleSheet(), QString::fromLatin1(BackfillUrls::IntradayStyle));
        QCOMPARE(mainButton()->text(), QStringLiteral("Backfill"));
        QVERIFY(mainButton()->isEnabled());
        QVERIFY(!m_window->backfillPump()->autoBackfillRunning());
        QVERIFY(!m_window->downloader()->retryTimer->isActive());

        const Imported got = imported();
        QCOMPARE(got.intraday.value("A"), intradayLines("A", 1));
        QCOMPARE(got.intraday.value("B"), intradayLines("B", 1));
        QCOMPARE(got.eod.value("A"), yearLines("A"));
        QCOMPARE(got.eod.value("B"), yearLines("B"));
        QCOMPARE(m_archives->requestCount(), 4);

        QVERIFY(!captions->isEmpty());
        const QRegularExpression shape(QStringLiteral("^\\((A|B)\\) \\S.*$"));
        for (const QString &caption : qAsConst(*captions))
            QVERIFY2(shape.match(caption).hasMatch(), qPrintable(caption));
        // The work folder keeps nothing of the jobs.
        QVERIFY(QDir(TestEnv::instance()->path("Backfill")).entryList(QDir::Files).isEmpty());
    }

    void eodJobFirstUsesBlueCaption()
    {
        // A run that begins with an end-of-day job shows the blue bar, captioned
        // with the last intraday symbols (none yet).
        selectCash({QStringLiteral("A")});
        m_window->backfillPump()->enqueue(eodUrl("A"));
        m_window->doAutoBackFill();
        QCOMPARE(bar()->format(), QStringLiteral("EOD Backfill: ..."));
        QCOMPARE(bar()->styleSheet(), QString::fromLatin1(BackfillUrls::EodStyle));
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QCOMPARE(imported().eod.value("A"), yearLines("A"));
    }

    void withoutEodPathNothingIsEod_data()
    {
        QTest::addColumn<bool>("autoEod");
        QTest::newRow("auto EOD on") << true;
        QTest::newRow("auto EOD off") << false;
    }
    void withoutEodPathNothingIsEod()
    {
        QFETCH(bool, autoEod);
        setAutoEod(autoEod);
        reconfigure(*m_window, [](ServerProfile &p) { p.eod1yPath.clear(); });
        selectCash({QStringLiteral("A"), QStringLiteral("B")});
        m_window->do5DayBackfill();
        QCOMPARE(queue(), QStringList({intradayUrl("B", "1")}));
        QVERIFY(!m_window->backfillPump()->currentJobIsEod());
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QVERIFY(imported().eod.isEmpty());
        QCOMPARE(imported().intraday.value("B"), intradayLines("B", 1));
    }

    void ampersandSentEscapedShownPlain()
    {
        setAutoEod(false);
        selectCash({QStringLiteral("M&M")});
        m_window->do5DayBackfill();
        QCOMPARE(m_window->downloader()->currentUrl().toString(), intradayUrl("M%26M", "1"));
        QCOMPARE(bar()->format(), QStringLiteral("Intraday Backfill: M&M..."));
        m_window->updateProgress2(QStringLiteral("42.5%"), QStringLiteral("1.3 MB/s"));
        QCOMPARE(bar()->format(), QStringLiteral("(M&M) 1.3 MB/s"));
        QCOMPARE(bar()->value(), 43);
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QCOMPARE(imported().intraday.value("M&M"), intradayLines("M&M", 1));
    }

    void longBackfillWarning_data()
    {
        QTest::addColumn<QString>("days");
        QTest::addColumn<bool>("manual");
        QTest::addColumn<int>("boxes");
        QTest::newRow("90 manual, warned once") << "90" << true << 1;
        QTest::newRow("90 automatic") << "90" << false << 0;
        QTest::newRow("60 manual") << "60" << true << 0;
    }
    void longBackfillWarning()
    {
        QFETCH(QString, days);
        QFETCH(bool, manual);
        QFETCH(int, boxes);
        BackfillPump::setLongBackfillWarned(false);
        combo("daysBox")->setCurrentText(days);
        QCOMPARE(combo("daysBox")->currentText(), days);
        ModalAcceptor acceptor;
        // Two runs over nothing: each goes straight to completion.
        for (int run = 0; run < 2; ++run) {
            if (manual)
                mainButton()->click();
            else
                m_window->do5DayBackfill();
            QCOMPARE(bar()->format(), Complete);
        }
        QCOMPARE(acceptor.count(), boxes);
        if (boxes) {
            QCOMPARE(acceptor.seen().first(),
                     QStringLiteral("Performance Warning|Downloading more than 60 days Backfill might slow down performance."));
        }
    }

    void stopFinishesCurrentJobThenClears()
    {
        selectCash({QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")});
        mainButton()->click();
        QCOMPARE(queue().size(), 2);
        QCOMPARE(mainButton()->text(), QStringLiteral("Stop"));
        QSettings store;
        QCOMPARE(store.value(key(Keys::Eod1yBackfillPending), true).toBool(), false);

        mainButton()->click();
        QVERIFY(m_window->backfillPump()->stopRequested());
        QCOMPARE(queue().size(), 2); // nothing dropped until the job ends

        QTRY_VERIFY_WITH_TIMEOUT(queue().isEmpty(), RunTimeoutMs);
        QVERIFY(!m_window->backfillPump()->stopRequested());
        QCOMPARE(mainButton()->text(), QStringLiteral("Backfill"));
        QVERIFY(mainButton()->isEnabled());
        QVERIFY(!m_window->downloader()->retryTimer->isActive());
        // The caption is left as the job's last one, not claimed complete.
        QVERIFY2(bar()->format() != Complete, qPrintable(bar()->format()));
        QCOMPARE(imported().intraday.value("A"), intradayLines("A", 1));
        QVERIFY(!imported().intraday.contains("B"));
        QCOMPARE(m_archives->requestCount(), 1);

        // A new run afterwards starts from scratch, with its own caption.
        mainButton()->click();
        QCOMPARE(bar()->format(), QStringLiteral("Intraday Backfill: A..."));
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QCOMPARE(imported().intraday.value("C"), intradayLines("C", 1));
    }

    void symbolsAddedDuringRunQueueBehind()
    {
        setAutoEod(true);
        reconfigure(*m_window, [](ServerProfile &p) { p.eod1yPath.clear(); });
        selectCash({QStringLiteral("A")});
        m_window->do5DayBackfill();
        // A is the run's last job and is downloading now; the queue is empty.
        QVERIFY(queue().isEmpty());
        combo("autoFilldaysBox")->setCurrentText(QStringLiteral("3"));
        m_window->backfillNewSymbols({QStringLiteral("B"), QStringLiteral("C")});
        QCOMPARE(m_window->downloader()->currentUrl().toString(), intradayUrl("A", "1"));
        QCOMPARE(queue(), QStringList({intradayUrl("B", "3"), intradayUrl("C", "3")}));

        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        const Imported got = imported();
        QCOMPARE(got.intraday.value("A"), intradayLines("A", 1));
        QCOMPARE(got.intraday.value("B"), intradayLines("B", 3));
        QCOMPARE(got.intraday.value("C"), intradayLines("C", 3));
        QCOMPARE(m_archives->requestCount(), 3);

        // Idle again: new symbols start a run of their own, end-of-day included.
        reconfigure(*m_window, [&](ServerProfile &p) { p.eod1yPath = eodPath(); });
        m_window->backfillNewSymbols({QStringLiteral("D")});
        QCOMPARE(m_window->downloader()->currentUrl().toString(), intradayUrl("D", "3"));
        QCOMPARE(queue(), QStringList({eodUrl("D")}));
        QVERIFY(m_window->backfillPump()->autoBackfillRunning());
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QCOMPARE(imported().eod.value("D"), yearLines("D"));
    }

    void failedJobIsDropped()
    {
        setAutoEod(false);
        selectCash({QStringLiteral("A"), QStringLiteral("B")});
        m_archives->failNext(1);
        m_window->do5DayBackfill();
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        const Imported got = imported();
        QVERIFY(!got.intraday.contains("A"));
        QCOMPARE(got.intraday.value("B"), intradayLines("B", 1));
        QCOMPARE(m_archives->requestCount(), 2);
        // The downloader's own retry of the failed job is called off.
        QVERIFY(!m_window->downloader()->retryTimer->isActive());
        QCOMPARE(m_window->downloader()->fileName, QStringLiteral("backfill_AB12 CD34.zip"));
    }

    // A refused archive is said in the messages panel, once per job, in words;
    // the run goes on with the next job.
    void refusedArchiveIsSaidOncePerJob()
    {
        setAutoEod(false);
        selectCash({QStringLiteral("A"), QStringLiteral("B")});
        m_archives->setAnswer(BackfillAnswer::ZipSlip);
        m_window->do5DayBackfill();
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        const QString folder = QDir::toNativeSeparators(TestEnv::instance()->path(QStringLiteral("Backfill")));
        const QStringList said = m_window->findChild<QTextEdit *>(QStringLiteral("messageBox"))
                                     ->toPlainText()
                                     .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(said.filter(QStringLiteral("refused")),
                 QStringList({QStringLiteral("Backfill for A refused: the archive would write outside ") + folder,
                              QStringLiteral("Backfill for B refused: the archive would write outside ") + folder}));
        QCOMPARE(imported().intraday.size(), 0);
    }

    void timeoutCleansUpAndMovesOn()
    {
        setAutoEod(false);
        selectCash({QStringLiteral("A"), QStringLiteral("B")});
        m_archives->setAnswer(BackfillAnswer::Stall);
        QSignalSpy requested(m_archives, &FeedSimBackfill::backfillRequested);
        m_window->do5DayBackfill();
        QTRY_COMPARE_WITH_TIMEOUT(requested.count(), 1, 5000);

        const QString backfillFile = TestEnv::instance()->path("Backfill/leftover.txt");
        const QString chunk = TestEnv::instance()->path("sqldrivers/x86/cvav_debugvminst_openglw_part001.log");
        const QString mapped = TestEnv::instance()->path("sqldrivers/x86/processed_A.txt");
        const QString errorLog = TestEnv::instance()->path("sqldrivers/x86/backfill_error.log");
        for (const QString &path : {backfillFile, chunk, mapped, errorLog})
            QVERIFY(writeFile(path, "x\n"));

        m_archives->setAnswer(BackfillAnswer::Normal);
        m_window->downloader()->timeoutTimer->start(1); // the transfer "took too long"
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(chunk), 2000);
        QVERIFY(!QFile::exists(backfillFile));
        QVERIFY(!QFile::exists(mapped));
        QVERIFY(QFile::exists(errorLog));

        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QVERIFY(!imported().intraday.contains("A"));
        QCOMPARE(imported().intraday.value("B"), intradayLines("B", 1));
        QVERIFY(!m_window->downloader()->retryTimer->isActive());
    }

    void rowButtons_data()
    {
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("enabled feed") << "A" << true;
        QTest::newRow("disabled feed") << "GOLDM-I" << false;
        QTest::newRow("no longer selected") << "Z" << false;
    }
    void rowButtons()
    {
        QFETCH(QString, symbol);
        QFETCH(bool, accepted);
        select({{QStringLiteral("A"), QStringLiteral("CASH")},
                {QStringLiteral("GOLDM-I"), QStringLiteral("MCX")},
                {QStringLiteral("Z"), QStringLiteral("FUTURE")}});
        m_window->selection()->removeAt(m_window->selection()->symbols().indexOf(QStringLiteral("Z")));
        combo("daysBox")->setCurrentText(QStringLiteral("3"));
        const QString pending = intradayUrl("PENDING", "1");
        m_window->backfillPump()->enqueue(pending);
        const QUrl before = m_window->downloader()->currentUrl();

        rowButton(symbol)->click();

        if (!accepted) {
            QCOMPARE(queue(), QStringList({pending}));
            QCOMPARE(m_window->downloader()->currentUrl(), before);
            QCOMPARE(mainButton()->text(), QStringLiteral("Backfill"));
            return;
        }
        QVERIFY(queue().isEmpty());
        QCOMPARE(m_window->downloader()->currentUrl().toString(), intradayUrl(symbol, "3"));
        QVERIFY(!m_window->backfillPump()->autoBackfillRunning());
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QCOMPARE(imported().intraday.value(symbol), intradayLines(symbol, 3));
        QVERIFY(!imported().intraday.contains("PENDING"));
    }

    void manualRunTakesEnabledSelectedSymbolsSorted()
    {
        select({{QStringLiteral("b"), QStringLiteral("CASH")},
                {QStringLiteral("GOLDM-I"), QStringLiteral("MCX")},
                {QStringLiteral("A"), QStringLiteral("FUTURE")},
                {QStringLiteral("C"), QStringLiteral("CASH")}});
        m_window->settingsDialog()->slowBackfillFlag = true;
        mainButton()->click();
        const QString slow = host() + QLatin1String(FeedSimBackfill::SlowRoute);
        auto url = [&](const QString &s) {
            return QStringLiteral("http://%1?uid=%2&hash=%3&d=1&send=%4").arg(slow, ClientId, m_sim->options().secureKey, s);
        };
        QCOMPARE(m_window->downloader()->currentUrl().toString(), url("A"));
        QCOMPARE(queue(), QStringList({url("b"), url("C")}));
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QVERIFY(!imported().intraday.contains("GOLDM-I"));
        QCOMPARE(imported().intraday.size(), 3);
    }

    void backfillDoneDrivesTheButton()
    {
        mainButton()->setEnabled(false);
        emit m_window->updater()->backfillDone();
        QCOMPARE(mainButton()->text(), QStringLiteral("Backfill"));
        QVERIFY(mainButton()->isEnabled());
    }

    // ---- The end-of-day dialog's single job ------------------------------------

    void eodDialogJob_data()
    {
        QTest::addColumn<bool>("fullAddress");
        QTest::addColumn<bool>("watchListOnly");
        QTest::newRow("one-day path is an address, watch list only") << true << true;
        QTest::newRow("one-day path is a name, every symbol") << false << false;
    }
    void eodDialogJob()
    {
        QFETCH(bool, fullAddress);
        QFETCH(bool, watchListOnly);
        {
            QSettings store;
            store.setValue(key(Keys::Eod1yBackfillPending), true);
            store.setValue(key(Keys::SelectedSymbolsBackfill), watchListOnly);
        }
        selectCash({QStringLiteral("INFY"), QStringLiteral("TCS")});
        m_window->updater()->eodSelectedOnly = !watchListOnly;
        if (!fullAddress)
            m_window->setOneDayBackfillPath(QStringLiteral("k1"));

        QMetaObject::invokeMethod(m_window, "on_pushButton_clicked");
        QPointer<eoddata> dialog = m_window->findChild<eoddata *>();
        QVERIFY(dialog);
        QVERIFY(dialog->isModal());
        QVERIFY(dialog->isVisible());
        dialog->findChild<QPushButton *>(QStringLiteral("backfillButton"))->click();

        const QString expected = fullAddress
            ? m_sim->httpBaseUrl() + QStringLiteral("/backfillS21/e/CASH-1.zip")
            : m_sim->httpBaseUrl() + QStringLiteral("/backfillS21/e/")
                  + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral("/k1/CASH-1.zip");
        QCOMPARE(m_window->downloader()->currentUrl().toString(), expected);
        QCOMPARE(m_window->updater()->eodSelectedOnly, watchListOnly);
        QCOMPARE(QSettings().value(key(Keys::Eod1yBackfillPending)).toBool(), false);
        QCOMPARE(bar()->format(), QStringLiteral("Starting EOD Backfill..."));
        QCOMPARE(bar()->value(), 0);
        QCOMPARE(mainButton()->text(), QStringLiteral("Stop"));
        QCOMPARE(m_window->downloader()->retryTimer->interval(), 10);
        QVERIFY(m_window->downloader()->retryTimer->isActive());

        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), QStringLiteral("EOD Backfill Done"), RunTimeoutMs);
        QCOMPARE(bar()->value(), 100);
        QCOMPARE(mainButton()->text(), QStringLiteral("Backfill"));
        QVERIFY(mainButton()->isEnabled());
        QVERIFY(!QFile::exists(TestEnv::instance()->path(QLatin1String(InstallFiles::BackfillArchive))));
        QVERIFY(dialog.isNull());

        const Imported got = imported();
        const QStringList feed = FeedSimBackfill::feedSymbols(QStringLiteral("CASH"));
        for (const QString &symbol : feed) {
            const bool wanted = !watchListOnly || symbol == "INFY" || symbol == "TCS";
            QVERIFY2(got.eod.contains(symbol) == wanted, qPrintable(symbol));
        }
        QVERIFY(got.intraday.isEmpty());
        QVERIFY(QDir(TestEnv::instance()->path("Backfill")).exists());
        QVERIFY(QDir(TestEnv::instance()->path("Backfill")).entryList(QDir::Files).isEmpty());
        QVERIFY(!m_window->updater()->isRunning() || m_window->updater()->wait(2000));
    }

    void eodDialogJobFailureIsNotReportedComplete()
    {
        m_archives->setAnswer(BackfillAnswer::ServerError);
        QMetaObject::invokeMethod(m_window, "eodBackfillButton_clicked", Q_ARG(QString, QStringLiteral("CASH-1.zip")));
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), QStringLiteral("EOD Backfill Failed"), RunTimeoutMs);
        QCOMPARE(mainButton()->text(), QStringLiteral("Backfill"));
        // Neither the pump nor the downloader's retry goes on with it: nothing is
        // left that could change the bar.
        QVERIFY(!m_window->downloader()->retryTimer->isActive());
        QVERIFY(m_window->backfillPump()->isIdle());
        auto *continuation = m_window->backfillPump()->findChild<QTimer *>(QStringLiteral("backfillContinuation"));
        QVERIFY(continuation);
        QVERIFY(!continuation->isActive());
        QVERIFY(imported().eod.isEmpty());
    }

    void eodDialogDuringRunStopsTheRun()
    {
        setAutoEod(false);
        selectCash({QStringLiteral("A"), QStringLiteral("B")});
        m_archives->setAnswer(BackfillAnswer::Stall);
        m_window->do5DayBackfill();
        QCOMPARE(mainButton()->text(), QStringLiteral("Stop"));

        QMetaObject::invokeMethod(m_window, "eodBackfillButton_clicked", Q_ARG(QString, QStringLiteral("CASH-1.zip")));
        QCOMPARE(bar()->format(), QStringLiteral("Backfill Stopped"));
        QCOMPARE(mainButton()->text(), QStringLiteral("Backfill"));
        QVERIFY(!m_window->downloader()->retryTimer->isActive());
        QVERIFY(queue().isEmpty());

        // The stopped run does not hold back the next one.
        m_archives->setAnswer(BackfillAnswer::Normal);
        m_window->backfillNewSymbols({QStringLiteral("C")});
        QCOMPARE(bar()->format(), QStringLiteral("Intraday Backfill: C..."));
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QCOMPARE(imported().intraday.value("C"), intradayLines("C", 1));
    }

    // ---- One pump per window, with nothing left over between runs ------------------

    void runStartedDuringDialogJobKeepsPumping()
    {
        setAutoEod(false);
        selectCash({QStringLiteral("A"), QStringLiteral("B")});
        m_archives->setAnswer(BackfillAnswer::Stall);
        QSignalSpy requested(m_archives, &FeedSimBackfill::backfillRequested);
        QMetaObject::invokeMethod(m_window, "eodBackfillButton_clicked", Q_ARG(QString, QStringLiteral("CASH-1.zip")));
        QTRY_COMPARE_WITH_TIMEOUT(requested.count(), 1, 5000);
        QCOMPARE(m_window->backfillPump()->state(), BackfillPump::State::DialogJob);

        // A row's "Backfill" replaces the dialog's download, and its job fails:
        // that is a failed queued job, which the pump gets over.
        m_archives->setAnswer(BackfillAnswer::Normal);
        m_archives->failNext(1);
        rowButton(QStringLiteral("A"))->click();
        QCOMPARE(m_window->backfillPump()->state(), BackfillPump::State::QueueJob);
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QVERIFY(!imported().intraday.contains("A"));
        QVERIFY(m_window->backfillPump()->isIdle());

        // Later new symbols start at once.
        m_window->backfillNewSymbols({QStringLiteral("B")});
        QCOMPARE(m_window->downloader()->currentUrl().toString(), intradayUrl("B", "1"));
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QCOMPARE(imported().intraday.value("B"), intradayLines("B", 1));
    }

    void newSymbolsWaitBehindDialogJob()
    {
        setAutoEod(false);
        selectCash({QStringLiteral("C")});
        m_archives->setAnswer(BackfillAnswer::Stall);
        QSignalSpy requested(m_archives, &FeedSimBackfill::backfillRequested);
        QMetaObject::invokeMethod(m_window, "eodBackfillButton_clicked", Q_ARG(QString, QStringLiteral("CASH-1.zip")));
        QTRY_COMPARE_WITH_TIMEOUT(requested.count(), 1, 5000);
        const QUrl dialogUrl = m_window->downloader()->currentUrl();

        m_window->backfillNewSymbols({QStringLiteral("C")});
        QCOMPARE(m_window->downloader()->currentUrl(), dialogUrl);
        QCOMPARE(queue(), QStringList({intradayUrl("C", "1")}));

        // The dialog's job times out; the waiting job follows it.
        m_archives->setAnswer(BackfillAnswer::Normal);
        m_window->downloader()->timeoutTimer->start(1);
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QCOMPARE(imported().intraday.value("C"), intradayLines("C", 1));
        QVERIFY(imported().eod.isEmpty());
        QVERIFY(!m_window->downloader()->retryTimer->isActive());
    }

    void restartedWindowStartsIdle()
    {
        setAutoEod(false);
        selectCash({QStringLiteral("A")});
        m_archives->setAnswer(BackfillAnswer::Stall);
        m_window->do5DayBackfill();
        QCOMPARE(mainButton()->text(), QStringLiteral("Stop"));

        // Restart while the job downloads; the cycle ends with its window.
        QEventLoop loop;
        QTimer::singleShot(0, m_window.data(), [this] {
            m_window->findChild<QPushButton *>(QStringLiteral("restartButton"))->click();
        });
        QCOMPARE(loop.exec(), 4444);
        delete m_window.data();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

        m_archives->setAnswer(BackfillAnswer::Normal);
        newWindow();
        QVERIFY(m_window->backfillPump()->isIdle());
        selectCash({QStringLiteral("B")});
        m_window->backfillNewSymbols({QStringLiteral("B")});
        QCOMPARE(m_window->downloader()->currentUrl().toString(), intradayUrl("B", "1"));
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QCOMPARE(imported().intraday.value("B"), intradayLines("B", 1));
    }

    void runStartedJustAfterFailureLosesNoJob()
    {
        setAutoEod(false);
        selectCash({QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")});
        m_archives->failNext(1);
        rowButton(QStringLiteral("C"))->click();
        // Right after the failure (this runs after the pump has seen it), while
        // the next job is still to follow it.
        bool clicked = false;
        connect(m_window->downloader(), &MyDownloader::responseError, this, [this, &clicked] {
            QVERIFY(m_window->backfillPump()->continuation()->isActive());
            QTimer::singleShot(0, m_window.data(), [this, &clicked] {
                clicked = true;
                mainButton()->click();
            });
        });
        QTRY_VERIFY_WITH_TIMEOUT(clicked, RunTimeoutMs);
        QVERIFY(!m_window->backfillPump()->continuation()->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        const Imported got = imported();
        for (const char *symbol : {"A", "B", "C"})
            QVERIFY2(got.intraday.value(symbol) == intradayLines(symbol, 1), symbol);
        QCOMPARE(m_archives->requestCount(), 4);
    }

    // ---- Gap fill after an outage of the live stream ------------------------------

    void gapFillRules_data()
    {
        QTest::addColumn<qint64>("outageMs");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("filled");
        QTest::newRow("41 s") << qint64(41400) << true << true;
        QTest::newRow("exactly 30 s") << qint64(30000) << true << true;
        QTest::newRow("5 s is only counted") << qint64(5000) << true << false;
        QTest::newRow("setting off") << qint64(41400) << false << false;
    }
    void gapFillRules()
    {
        QFETCH(qint64, outageMs);
        QFETCH(bool, enabled);
        QFETCH(bool, filled);
        if (!enabled)
            QSettings().setValue(key(Keys::GapFillEnabled), false);
        // Automatic backfill off: the gap is filled all the same.
        m_window->findChild<QAbstractButton *>(QStringLiteral("autofillCheckBox"))->setChecked(false);
        select({{QStringLiteral("B"), QStringLiteral("CASH")},
                {QStringLiteral("A"), QStringLiteral("FUTURE")},
                {QStringLiteral("GOLDM-I"), QStringLiteral("MCX")}});
        combo("daysBox")->setCurrentText(QStringLiteral("5"));
        auto *messages = m_window->findChild<QTextEdit *>(QStringLiteral("messageBox"));
        messages->setPlainText(QStringLiteral("Welcome"));

        QCOMPARE(m_window->backfillPump()->fillGap(outageMs), filled ? 2 : 0);
        if (!filled) {
            QVERIFY(m_window->backfillPump()->isIdle());
            QVERIFY(queue().isEmpty());
            QCOMPARE(messages->toPlainText(), QStringLiteral("Welcome"));
            return;
        }
        // One day for each selected symbol of an enabled feed, as a row's "Backfill" asks.
        QCOMPARE(m_window->downloader()->currentUrl().toString(), intradayUrl("A", "1"));
        QCOMPARE(queue(), QStringList{intradayUrl("B", "1")});
        QCOMPARE(messages->toPlainText(),
                 QStringLiteral("Welcome\nConnection lost for %1 s; filling the gap for 2 symbols").arg(qRound64(outageMs / 1000.0)));
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QCOMPARE(imported().intraday.value("A"), intradayLines("A", 1));
        QCOMPARE(imported().intraday.value("B"), intradayLines("B", 1));
    }

    void gapFillsAreSpacedOut()
    {
        setAutoEod(false);
        selectCash({QStringLiteral("A")});
        QCOMPARE(m_window->backfillPump()->fillGap(40000), 1);
        // A flapping link: the next long outage within the spacing fills nothing.
        QCOMPARE(m_window->backfillPump()->fillGap(40000), 0);
        QTRY_COMPARE_WITH_TIMEOUT(bar()->format(), Complete, RunTimeoutMs);
        QCOMPARE(m_window->backfillPump()->fillGap(90000), 0);
        QCOMPARE(m_archives->requestCount(), 1);

        BackfillPump::GapFillRules rules;
        rules.minSpacingMs = 100;
        m_window->backfillPump()->setGapFillRules(rules);
        // Refused until the spacing has passed since the last fill, then taken.
        QVERIFY(QTest::qWaitFor([this] { return m_window->backfillPump()->fillGap(40000) == 1; }, 5000));
        QTRY_COMPARE_WITH_TIMEOUT(m_archives->requestCount(), 2, RunTimeoutMs);
    }

    void gapFillWaitsBehindARunAndObeysStop()
    {
        setAutoEod(false);
        selectCash({QStringLiteral("A"), QStringLiteral("B")});
        m_archives->setAnswer(BackfillAnswer::Stall);
        rowButton(QStringLiteral("A"))->click();
        const QString running = m_window->downloader()->currentUrl().toString();
        QCOMPARE(m_window->backfillPump()->fillGap(40000), 2);
        QCOMPARE(m_window->downloader()->currentUrl().toString(), running);
        QCOMPARE(queue(), QStringList({intradayUrl("A", "1"), intradayUrl("B", "1")}));

        mainButton()->click(); // Stop: the running job ends, the queue goes
        QVERIFY(m_window->backfillPump()->stopRequested());
        m_window->downloader()->timeoutTimer->start(1);
        QTRY_VERIFY_WITH_TIMEOUT(m_window->backfillPump()->isIdle(), RunTimeoutMs);
        QVERIFY(queue().isEmpty());
        QCOMPARE(mainButton()->text(), QStringLiteral("Backfill"));
    }
};

QM_TEST_MAIN(tst_backfillqueue)
#include "tst_backfillqueue.moc"
