#include <QtTest>
#include <QApplication>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>

#include "amibroker/livedataupdator.h"
#include "common/quotestamp.h"
#include "amibroker/symbolrenamer.h"
#include "common/installfiles.h"
#include "common/settingskeys.h"
#include "live/tickbuffer.h"
#include "platform/brokerautomation.h"
#include "standin/brokerstandin.h"
#include "platform/installroot.h"
#include "symbols/symbolselection.h"
#include "brokerview.h"
#include "smalldisk.h"
#include "testenv.h"

#include <memory>

namespace {

QStringList lines(const QByteArray &bytes)
{
    QStringList out;
    for (const QByteArray &l : bytes.split('\n')) {
        if (!l.isEmpty())
            out << QString::fromUtf8(l);
    }
    return out;
}

QStringList journal()
{
    return lines(readFile(TestEnv::instance()->path(QLatin1String(InstallFiles::AutomationJournal))));
}

QStringList imported()
{
    return lines(readFile(TestEnv::instance()->path(QLatin1String(InstallFiles::ImportedJournal))));
}

QStringList importCalls()
{
    QStringList calls;
    for (const QString &l : journal()) {
        if (l.startsWith(QLatin1String("Import(")))
            calls << l;
    }
    return calls;
}

QByteArray shippedFormat(const char *name)
{
    return readFile(QStringLiteral(QM_SOURCE_DIR "/resources/") + QLatin1String(name));
}

QString quotesPath()
{
    return TestEnv::instance()->path(QLatin1String(InstallFiles::StandInQuotes));
}

QByteArray tick(const char *symbol, const char *time, const char *price, int quantity, const char *date = "20240131")
{
    return QByteArray("tick,") + symbol + ',' + date + ',' + time + ',' + price + ',' + QByteArray::number(quantity)
           + ",0,900\n";
}

// The import line of a tick carrying quantity.
QString line(const char *symbol, const char *time, const char *price, int quantity, const char *date = "20240131")
{
    return QString::fromLatin1(tick(symbol, time, price, quantity, date)).trimmed();
}

// A live quote as the stand-in keeps it: only a price, so open, high and low are the close.
QString quote(const char *symbol, const char *time, const char *price, int volume, const char *date = "2024-01-31")
{
    return QStringLiteral("%1,%2,%3,%4,%4,%4,%4,%5,0")
        .arg(QLatin1String(symbol), QLatin1String(date), QLatin1String(time), QLatin1String(price))
        .arg(volume);
}

void setMapping(const QStringList &entries)
{
    QSettings s;
    s.setValue(QLatin1String(Keys::SymbolMappingEntries), entries);
    s.sync();
}

// Backfill data lines long enough to pass the junk check.
QByteArray barLines(const QByteArray &symbol, int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += "2024-01-31," + symbol + ",09:" + QByteArray::number(10 + i % 50) + ":00,100.5,101,99.5,100.25,"
               + QByteArray::number(i) + ",0\n";
    return out;
}

// One backfill line of exactly 100 bytes, line feed included.
QByteArray fixedLine(char fill)
{
    return "2024-01-31,S," + QByteArray(86, fill) + '\n';
}

QString backfillFile(const QString &name)
{
    return TestEnv::instance()->path(QStringLiteral("Backfill/") + name);
}

QStringList workFolderFiles()
{
    return QDir(TestEnv::instance()->path(QStringLiteral("sqldrivers/x86")))
        .entryList(QDir::Files | QDir::NoDotAndDotDot);
}

// The n-th second after 09:15:00, as a tick's time.
QString secondOfDay(int n)
{
    return QTime(9, 15).addSecs(n).toString(QStringLiteral("HH:mm:ss"));
}

// Runs a backfill import to its end: it goes on on AmiBroker's thread and tells
// the updater's thread when it has ended.
bool runBackfill(liveDataUpdator *u)
{
    QSignalSpy done(u, &liveDataUpdator::backfillDone);
    u->doBackFill();
    return done.wait(30000) && done.count() == 1;
}

bool runEodBackfill(liveDataUpdator *u)
{
    QSignalSpy done(u, &liveDataUpdator::eodBackfillDone);
    u->doEodBackfill();
    return done.wait(30000) && done.count() == 1;
}

// The link's rules made short for a test: retries every 50 ms for budgetMs, a new
// object every recreateMs; and held lines retried every 100 ms.
void quickRules(liveDataUpdator *u, int budgetMs = 300, int recreateMs = 100)
{
    QMetaObject::invokeMethod(u->amiBroker, [u, budgetMs, recreateMs] {
        u->amiBroker->setRetryRules(50, budgetMs);
        u->amiBroker->setRecreateInterval(recreateMs);
    }, Qt::BlockingQueuedConnection);
    QMetaObject::invokeMethod(u->backfillImporter(), [u] { u->backfillImporter()->setRetryIntervals(50, 50); },
                              Qt::BlockingQueuedConnection);
    u->findChild<QTimer *>(QStringLiteral("heldTicksRetry"))->setInterval(100);
}

// A stream of ticks as the worker hands it over: one batch per call, each
// scheduling a cycle; all kept in stream for the view AmiBroker should end with.
struct TickStream
{
    liveDataUpdator *updater;
    QByteArray all;
    qint64 imported = 0;
    QObject context;

    explicit TickStream(liveDataUpdator *u)
        : updater(u)
    {
        QObject::connect(u, &liveDataUpdator::ticksImported, &context, [this](int n) { imported += n; });
    }
    void batch(int second, const char *symbol = "NIFTY-I")
    {
        const QByteArray line = QByteArray("tick,") + symbol + ",20240131,"
                                + QTime(9, 15).addSecs(second).toString(QStringLiteral("HH:mm:ss")).toLatin1() + ','
                                + QByteArray::number(24000 + second) + ".5,25,0,900\n";
        all += line;
        updater->tickBuffer()->publish(line);
        updater->scheduleLiveImport();
    }
    int ticks() const { return all.count('\n'); }
};

const QRegularExpression EpisodeMessage(
    QStringLiteral("^AmiBroker stopped answering at \\d\\d:\\d\\d:\\d\\d; (\\d+) ticks? held and imported when it "
                   "answered again at \\d\\d:\\d\\d:\\d\\d$"));

QStringList errorLogLines()
{
    return lines(readFile(TestEnv::instance()->path(QStringLiteral("sqldrivers/x86/backfill_error.log"))));
}

} // namespace

class tst_amibroker : public QObject
{
    Q_OBJECT

    std::unique_ptr<liveDataUpdator> m_updater;

    liveDataUpdator *makeUpdater()
    {
        m_updater.reset(new liveDataUpdator());
        return m_updater.get();
    }

private slots:
    void init()
    {
        TestEnv::instance()->reset();
        // AmiBroker reads the format definitions we ship; the stand-in needs them readable.
        QVERIFY(installFormatDefinitions());
    }
    void cleanup() { m_updater.reset(); }

    void standInJournalsEveryCall()
    {
        BrokerStandIn broker;
        const QString db = Platform::installPath(QStringLiteral("Amibroker/AF1000"));
        QVERIFY(!broker.dynamicCall("LoadDatabase(QString&)", db).isNull());
        broker.dynamicCall("ExecuteCommand(int)", 33029);
        broker.dynamicCall("RefreshAll()");

        const QString data = TestEnv::instance()->path(QStringLiteral("data.txt"));
        const QString format = Platform::installPath(QLatin1String(InstallFiles::LiveFormat));
        QVERIFY(writeFile(data, "a,1\nb,2"));
        const QString good = QStringLiteral("Import(0,%1,%2)").arg(data, format);
        QCOMPARE(broker.dynamicCall(good.toUtf8().constData()), QVariant(true));
        const QString missing = QStringLiteral("Import(0,%1,%2)").arg(data + QStringLiteral(".none"), format);
        const QVariant failed = broker.dynamicCall(missing.toUtf8().constData());
        QVERIFY(!failed.isNull());
        QCOMPARE(failed, QVariant(false));
        const QString noFormat = QStringLiteral("Import(0,%1,%2)").arg(data, format + QStringLiteral(".none"));
        QCOMPARE(broker.dynamicCall(noFormat.toUtf8().constData()), QVariant(false));

        QCOMPARE(journal(), QStringList({QStringLiteral("LoadDatabase(QString&)\t") + db,
                                         QStringLiteral("ExecuteCommand(int)\t33029"), QStringLiteral("RefreshAll()"),
                                         good, missing, noFormat}));
        QCOMPARE(imported(), QStringList({QStringLiteral("a,1"), QStringLiteral("b,2")}));
    }

    void standInGenericCallFromAnotherThread()
    {
        auto broker = std::make_unique<BrokerStandIn>();
        QVariant result;
        std::unique_ptr<QThread> caller(QThread::create([&] {
            QMetaObject::invokeMethod(broker.get(), "dynamicCall", Qt::BlockingQueuedConnection,
                                      Q_RETURN_ARG(QVariant, result), Q_ARG(QString, QStringLiteral("SaveDatabase()")));
        }));
        caller->start();
        QTRY_VERIFY_WITH_TIMEOUT(caller->isFinished(), 5000);
        QCOMPARE(result, QVariant(true));
        QCOMPARE(journal(), QStringList(QStringLiteral("SaveDatabase()")));
    }

    // AmiBroker's reading of a quote's date and time: what counts as the same
    // second, and what it refuses.
    void quoteStamps_data()
    {
        QTest::addColumn<QString>("date");
        QTest::addColumn<int>("order");
        QTest::addColumn<QString>("time");
        QTest::addColumn<qint64>("stamp");
        const int ymd = int(QuoteStamp::DateOrder::YearMonthDay);
        const int dmy = int(QuoteStamp::DateOrder::DayMonthYear);
        const int mdy = int(QuoteStamp::DateOrder::MonthDayYear);
        QTest::newRow("run together") << "20240131" << ymd << "09:15:01" << Q_INT64_C(20240131091501);
        QTest::newRow("dashes, short time") << "2024-01-31" << ymd << "091501" << Q_INT64_C(20240131091501);
        QTest::newRow("two-digit year, minutes") << "24/1/31" << ymd << "9:15" << Q_INT64_C(20240131091500);
        QTest::newRow("last century") << "990131" << ymd << "0915" << Q_INT64_C(19990131091500);
        QTest::newRow("day first") << "31.01.2024" << dmy << " 23:59:59 " << Q_INT64_C(20240131235959);
        QTest::newRow("month first") << "01312024" << mdy << "00:00:00" << Q_INT64_C(20240131000000);
        QTest::newRow("leap day") << "2024-02-29" << ymd << "10:00" << Q_INT64_C(20240229100000);
        QTest::newRow("no leap day") << "2023-02-29" << ymd << "10:00" << qint64(-1);
        QTest::newRow("month 13") << "20241301" << ymd << "10:00" << qint64(-1);
        QTest::newRow("seven digits") << "2024013" << ymd << "10:00" << qint64(-1);
        QTest::newRow("two separators in a row") << "2024--01-31" << ymd << "10:00" << qint64(-1);
        QTest::newRow("letters") << "2024-Jan-31" << ymd << "10:00" << qint64(-1);
        QTest::newRow("empty date") << "" << ymd << "10:00" << qint64(-1);
        QTest::newRow("second 60") << "20240131" << ymd << "09:15:60" << qint64(-1);
        QTest::newRow("hour 24") << "20240131" << ymd << "24:00:00" << qint64(-1);
        QTest::newRow("three-digit part") << "20240131" << ymd << "09:015:00" << qint64(-1);
        QTest::newRow("fraction") << "20240131" << ymd << "09:15:01.5" << qint64(-1);
        QTest::newRow("five digits") << "20240131" << ymd << "91501" << qint64(-1);
        QTest::newRow("empty time") << "20240131" << ymd << "" << qint64(-1);
        QTest::newRow("arabic-indic digits") << QStringLiteral("\u0662\u0660\u0662\u0664\u0660\u0661\u0663\u0661") << ymd
                                             << "10:00" << qint64(-1);
    }

    void quoteStamps()
    {
        QFETCH(QString, date);
        QFETCH(int, order);
        QFETCH(QString, time);
        QFETCH(qint64, stamp);
        QCOMPARE(QuoteStamp::stamp(date, time, QuoteStamp::DateOrder(order)), stamp);
        if (time.isEmpty()) {
            // A daily bar: after every time of its day.
            const qint64 bar = QuoteStamp::stamp(date, time, QuoteStamp::DateOrder(order), true);
            QCOMPARE(bar, Q_INT64_C(20240131240000));
            QVERIFY(bar > QuoteStamp::stamp(date, QStringLiteral("23:59:59")));
        }
    }

    // The stand-in keeps what AmiBroker would: one quote per symbol, date and time,
    // later lines overwriting earlier ones, except in tick mode.
    void standInKeepsQuotesLikeAmiBroker_data()
    {
        QTest::addColumn<QByteArrayList>("formats"); // one per import
        QTest::addColumn<QByteArrayList>("imports");
        QTest::addColumn<QStringList>("quotes");
        QTest::addColumn<QStringList>("errors"); // "<import number>:<line>: <reason>: <text>"

        const QByteArray live = shippedFormat(InstallFiles::LiveFormat);
        const QByteArray liveTicks = "tick,NIFTY-I,20240131,09:15:01,21734.5,10,100,900\r\n"
                                     "tick,NIFTY-I,20240131,09:15:01,21735,60,101,910\r\n"
                                     "tick,NIFTY-I,20240131,09:15:00,21730,5,99,890\r\n"
                                     "tick,BANKNIFTY-I,20240131,09:15:01,48000,7,,\r\n"
                                     "tick,X,2024013,09:15:01,1,1,0,0\r\n"
                                     "tick,X,20240131,09:61:00,1,1,0,0\r\n"
                                     "tick,X,20240131,09:15:01,abc,1,0,0\r\n"
                                     " tick , ,20240131,09:15:01,1,1,0,0\r\n"
                                     "tick,X,20240131\r\n"
                                     "\r\n";
        const QByteArray again = "tick,NIFTY-I,20240131,09:15:01,21736,70,102,920";
        QTest::newRow("live ticks")
            << QByteArrayList{live, live, live} << QByteArrayList{liveTicks, again, again}
            << QStringList{"BANKNIFTY-I,2024-01-31,09:15:01,48000,48000,48000,48000,7,0",
                           "NIFTY-I,2024-01-31,09:15:00,21730,21730,21730,21730,5,99",
                           "NIFTY-I,2024-01-31,09:15:01,21736,21736,21736,21736,70,102"}
            << QStringList{"1:5: bad date: tick,X,2024013,09:15:01,1,1,0,0",
                           "1:6: bad time: tick,X,20240131,09:61:00,1,1,0,0",
                           "1:7: bad number: tick,X,20240131,09:15:01,abc,1,0,0",
                           "1:8: no ticker:  tick , ,20240131,09:15:01,1,1,0,0", "1:9: too few fields: tick,X,20240131"};

        QTest::newRow("intraday bars")
            << QByteArrayList{shippedFormat(InstallFiles::BackfillFormat), shippedFormat(InstallFiles::BackfillFormat)}
            << QByteArrayList{"2024-01-31,SBIN,09:16:00,612,613,611.5,612.5,1200,0\n"
                              "2024-01-31,SBIN,09:15:00,610,612,609,611,1500,0\n"
                              "2024-01-30,SBIN,15:29:00,600,601,599,600.5,900,0\n",
                              "2024-01-31,SBIN,09:15:00,610,612.5,609,611.5,1600,0\n"
                              "2024-01-31,SBIN,09:17:00,612,613,611.5,612.5\n"}
            << QStringList{"SBIN,2024-01-30,15:29:00,600,601,599,600.5,900,0",
                           "SBIN,2024-01-31,09:15:00,610,612.5,609,611.5,1600,0",
                           "SBIN,2024-01-31,09:16:00,612,613,611.5,612.5,1200,0"}
            << QStringList{"2:2: too few fields: 2024-01-31,SBIN,09:17:00,612,613,611.5,612.5"};

        QTest::newRow("daily bars")
            << QByteArrayList{shippedFormat(InstallFiles::EodFormat)}
            << QByteArrayList{"2024-01-31,NIFTY-I,21734.5,21790,21650.25,21738,125000,1234500\n"
                              "2024-01-30,NIFTY-I,21600,21700,21550,21650,110000,1200000"}
            << QStringList{"NIFTY-I,2024-01-30,,21600,21700,21550,21650,110000,1200000",
                           "NIFTY-I,2024-01-31,,21734.5,21790,21650.25,21738,125000,1234500"}
            << QStringList();

        const QByteArray plain = "$FORMAT Ticker, Date_YMD, Time, Close, Volume\n";
        const QByteArray first = "S,20240131,09:15:01,10,1\nS,20240131,09:15:05,11,1\nT,20240131,09:15:01,50,1\n";
        const QByteArray second = "S,20240131,09:15:02,12,3\nS,20240131,09:15:02,12.5,4\nS,20240131,09:15:03,13,5\n";
        QTest::newRow("without tick mode")
            << QByteArrayList{plain, plain} << QByteArrayList{first, second}
            << QStringList{"S,2024-01-31,09:15:01,10,10,10,10,1,0", "S,2024-01-31,09:15:02,12.5,12.5,12.5,12.5,4,0",
                           "S,2024-01-31,09:15:03,13,13,13,13,5,0", "S,2024-01-31,09:15:05,11,11,11,11,1,0",
                           "T,2024-01-31,09:15:01,50,50,50,50,1,0"}
            << QStringList();
        QTest::newRow("tick mode")
            << QByteArrayList{plain, plain + "$TICKMODE 1\n"} << QByteArrayList{first, second}
            << QStringList{"S,2024-01-31,09:15:02,12,12,12,12,3,0", "S,2024-01-31,09:15:02,12.5,12.5,12.5,12.5,4,0",
                           "S,2024-01-31,09:15:03,13,13,13,13,5,0", "T,2024-01-31,09:15:01,50,50,50,50,1,0"}
            << QStringList();

        QTest::newRow("day first, semicolons, a header")
            << QByteArrayList{"# gold\n$FORMAT Date_DMY,Time,Ticker,Skip,Close,Volume,OpenInt\n$SEPARATOR ;\n"
                              "$SKIPLINES 1\n$AUTOADD 1\n"}
            << QByteArrayList{"Date;Time;Ticker;Name;Close;Volume;OI\n31/01/2024;0915;GOLDM-I;Gold;62500;3;4100\n"
                              "1-2-24;09:15:07;GOLDM-I;Gold;62510;;\n31/01/2024;0915;GOLDM-I,Gold,62500,3,4100\n"}
            << QStringList{"GOLDM-I,2024-01-31,09:15:00,62500,62500,62500,62500,3,4100",
                           "GOLDM-I,2024-02-01,09:15:07,62510,62510,62510,62510,0,0"}
            << QStringList{"1:4: too few fields: 31/01/2024;0915;GOLDM-I,Gold,62500,3,4100"};
    }

    void standInKeepsQuotesLikeAmiBroker()
    {
        QFETCH(QByteArrayList, formats);
        QFETCH(QByteArrayList, imports);
        QFETCH(QStringList, quotes);
        QFETCH(QStringList, errors);
        BrokerStandIn broker;
        QStringList paths;
        QByteArray sent;
        for (int i = 0; i < imports.size(); ++i) {
            const QString data = TestEnv::instance()->path(QStringLiteral("data%1.txt").arg(i + 1));
            const QString format = TestEnv::instance()->path(QStringLiteral("format%1.def").arg(i + 1));
            QVERIFY(writeFile(data, imports.at(i)));
            QVERIFY(writeFile(format, formats.at(i)));
            paths << data;
            const QString call = QStringLiteral("Import(0,%1,%2)").arg(data, format);
            QCOMPARE(broker.dynamicCall(call.toUtf8().constData()), QVariant(true));
            sent += imports.at(i);
            if (!sent.endsWith('\n'))
                sent += '\n';
        }
        QCOMPARE(lines(readFile(quotesPath())), quotes);
        QStringList logged = lines(readFile(TestEnv::instance()->path(QLatin1String(InstallFiles::StandInImportLog))));
        for (int i = 0; i < paths.size(); ++i)
            logged.replaceInStrings(paths.at(i) + QLatin1Char(':'), QStringLiteral("%1:").arg(i + 1));
        QCOMPARE(logged, errors);
        // What it was sent is still kept as it came.
        QCOMPARE(readFile(TestEnv::instance()->path(QLatin1String(InstallFiles::ImportedJournal))), sent);
    }

    // quotes.txt is AmiBroker's database: every stand-in object shares it, and what
    // someone else does to the file is what the next import starts from.
    void standInTableIsTheFile()
    {
        auto import = [&](BrokerStandIn &broker, const QByteArray &ticks) {
            const QString format = Platform::installPath(QLatin1String(InstallFiles::LiveFormat));
            const QString data = TestEnv::instance()->path(QStringLiteral("ticks.txt"));
            QVERIFY(writeFile(data, ticks));
            broker.dynamicCall(QStringLiteral("Import(0,%1,%2)").arg(data, format).toUtf8().constData());
        };
        BrokerStandIn one;
        BrokerStandIn other;
        import(one, tick("A", "09:15:01", "1", 1));
        import(other, tick("B", "09:15:01", "2", 2));
        QCOMPARE(lines(readFile(quotesPath())), QStringList({quote("A", "09:15:01", "1", 1), quote("B", "09:15:01", "2", 2)}));

        QVERIFY(QFile::remove(quotesPath()));
        import(one, tick("C", "09:15:01", "3", 3));
        QCOMPARE(lines(readFile(quotesPath())), QStringList(quote("C", "09:15:01", "3", 3)));

        // Changed by someone else: taken up, and kept to the byte where untouched.
        QVERIFY(writeFile(quotesPath(), quote("C", "09:15:01", "3.5", 30).toUtf8() + "\nbroken line\n"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("not understood")));
        import(other, tick("D", "09:15:01", "4", 4));
        QCOMPARE(lines(readFile(quotesPath())), QStringList({quote("C", "09:15:01", "3.5", 30), quote("D", "09:15:01", "4", 4)}));

        // A program run in another root starts from that root's table.
        TestEnv::instance()->reset();
        QVERIFY(installFormatDefinitions());
        import(one, tick("E", "09:15:01", "5", 5));
        QCOMPARE(lines(readFile(quotesPath())), QStringList(quote("E", "09:15:01", "5", 5)));
    }

    // A benchmark may hold the table in memory and write it once at the end; the
    // file it then writes is the one every import would have left.
    void standInDeferredTableIsWrittenOnSave()
    {
        const QByteArrayList imports{tick("B", "09:15:02", "2", 2) + tick("A", "09:15:01", "1", 1),
                                     tick("A", "09:15:01", "1.5", 4) + tick("C", "09:15:00", "3", 3),
                                     tick("B", "09:14:59", "2.25", 5)};
        auto run = [&](BrokerStandIn &broker) {
            const QString format = Platform::installPath(QLatin1String(InstallFiles::LiveFormat));
            const QString data = TestEnv::instance()->path(QStringLiteral("ticks.txt"));
            for (const QByteArray &ticks : imports) {
                QVERIFY(writeFile(data, ticks));
                QCOMPARE(broker.dynamicCall(QStringLiteral("Import(0,%1,%2)").arg(data, format).toUtf8().constData()),
                         QVariant(true));
            }
        };
        BrokerStandIn broker;
        run(broker);
        const QByteArray written = readFile(quotesPath());
        QCOMPARE(lines(written).size(), 4);

        TestEnv::instance()->reset();
        QVERIFY(installFormatDefinitions());
        struct Undefer
        {
            ~Undefer() { BrokerStandIn::setQuoteTableDeferred(false); }
        } undefer;
        BrokerStandIn::setQuoteTableDeferred(true);
        const qint64 busyBefore = BrokerStandIn::busyNs();
        run(broker);
        QVERIFY(BrokerStandIn::busyNs() > busyBefore);
        QVERIFY(!QFile::exists(quotesPath()));
        QVERIFY(BrokerStandIn::saveQuoteTable());
        QCOMPARE(readFile(quotesPath()), written);
    }

    void liveCycleLineRules_data()
    {
        QTest::addColumn<QStringList>("mapping");
        QTest::addColumn<QByteArray>("ticks");
        QTest::addColumn<QStringList>("expected");

        const QByteArray niftyTicks = "t,NIFTY-I,20240131,09:15:01,21734.5,50,100,900\n"
                                      "t,NIFTY-II,20240131,09:15:01,21800,25,100,900\n"
                                      "t,NIFTY,20240131,09:15:01,21700,10,100,900\n";
        // The renamed ticks join NIFTY's second: one line, the sum of both, the last price.
        const QStringList renamed = {QStringLiteral("t,NIFTY,20240131,09:15:01,21700,60,100,900"),
                                     QStringLiteral("t,NIFTY-II,20240131,09:15:01,21800,25,100,900")};
        QTest::newRow("mapped") << QStringList{QStringLiteral("NIFTY-I,NIFTY")} << niftyTicks << renamed;
        QTest::newRow("mapped with blanks") << QStringList{QStringLiteral("  NIFTY-I ,  NIFTY ")} << niftyTicks
                                            << renamed;
        const QStringList untouched = {QStringLiteral("t,NIFTY-I,20240131,09:15:01,21734.5,50,100,900"),
                                       QStringLiteral("t,NIFTY-II,20240131,09:15:01,21800,25,100,900"),
                                       QStringLiteral("t,NIFTY,20240131,09:15:01,21700,10,100,900")};
        QTest::newRow("one-sided entries ignored")
            << QStringList{QStringLiteral("NIFTY-I,"), QStringLiteral(",NIFTY"), QStringLiteral("NIFTY-I")}
            << niftyTicks << untouched;

        QTest::newRow("price and quantity")
            << QStringList()
            << QByteArray("t,A,20240131,09:15:01,0,1,2,3\n"
                          "t,B,20240131,09:15:01,abc,1,2,3\n"
                          "t,C,20240131,09:15:01,-3,1,2,3\n"
                          "t,D,20240131,09:15:01,101.50,x,2,3\n"
                          "t,E,20240131,09:15:01,123456.7,2.5,2,3\n"
                          "t,F,20240131,09:15:01,1.5e3,-2.5,2,3\n")
            << QStringList{QStringLiteral("t,D,20240131,09:15:01,101.5,0,2,3"), QStringLiteral("t,E,20240131,09:15:01,123456.7,3,2,3"),
                           QStringLiteral("t,F,20240131,09:15:01,1500,-2,2,3")};
        QTest::newRow("fields")
            << QStringList()
            << QByteArray("  t , S1 , 2024-01-31 , 09:15:01.5 , 10 , 1 , o1 , v1 , extra , more \r\n"
                          "t,S2,20240131,09:15:01,10,1,2\n"
                          "t,FAILED-X,20240131,09:15:01,10,1,2,3\n"
                          "Connection failed,,,,,,,\n"
                          "\n   \n"
                          "t,S3,20240131,091501,10,1,,\n")
            << QStringList{QStringLiteral("t,S3,20240131,091501,10,1,,")};
        // Whatever reaches the queue, the import file never carries a line that could
        // end a reader's line or read early, a symbol past 64 characters, or a
        // number beyond the single-precision floats AmiBroker keeps.
        QTest::newRow("unsafe for the import file")
            << QStringList{QStringLiteral("OK,NUL\x01")}
            << (QByteArrayLiteral("t,A\x00" "B,20240131,09:15:01,10,1,2,3\n"
                          "t\x1a,C,20240131,09:15:01,10,1,2,3\n"
                          "t,D\xc2\x85X,20240131,09:15:01,10,1,2,3\n"
                          "t,E\xe2\x80\xa8X,20240131,09:15:01,10,1,2,3\n"
                          "t,F,20240131,09:15:01,10,1,2\x0b" "2,3\n"
                          "t,") + QByteArray(65, 'G') + ",20240131,09:15:01,10,1,2,3\n"
                          "t,H,20240131,09:15:01,1e308,1,2,3\n"
                          "t,I,20240131,09:15:01,10,1e16,2,3\n"
                          "t,J,20240131,09:15:01,10,1,1e3,3\n"
                          "t,K,20240131,09:15:01,10,1,2,o1\n"
                          "t,OK,20240131,09:15:01,10,1,2,3\n"
                          "t," + QByteArray(64, 'L') + ",20240131,09:15:01,1000000000000000,1,-2,3.5\n")
            << QStringList{QStringLiteral("t,") + QString(64, QLatin1Char('L')) + QStringLiteral(",20240131,09:15:01,1000000000000000,1,-2,3.5")};
        // A date or time that is no real moment would be a corrupt bar.
        QTest::newRow("moments")
            << QStringList()
            << QByteArray("t,A,20240131,31:63:00,10,1,2,3\n"
                          "t,B,2026-13-45,09:15:01,10,1,2,3\n"
                          "t,C,20240131,,10,1,2,3\n"
                          "t,D,yesterday,09:15:01,10,1,2,3\n"
                          "t,E,,09:15:01,10,1,2,3\n"
                          "t,F,31-01-2024,9:15,10,1,2,3\n")
            << QStringList{QStringLiteral("t,F,31-01-2024,9:15,10,1,2,3")};
        // Read as bytes for speed, a line past ASCII still follows the rules of its
        // characters: their white space, their case, their names in the mapping.
        QTest::newRow("text past ASCII")
            << QStringList{QStringLiteral("\u00c4KTIE,AKTIE")}
            << QByteArray("t,\xc3\x84KTIE,20240131,09:15:01,10,1,2,3\n"
                          "\xc2\xa0t,NBSP,20240131,09:15:01\xc2\xa0,+12.5,3,2,3\xc2\xa0\n"
                          "t,\xc3\x96,20240131,09:15:01,10,1,2,3,FaIlEd\n"
                          "t,P,20240131,09:15:02,+7,+2,2,3\n"
                          "t,Q,20240131,09:15:02,+-7,1,2,3\n")
            << QStringList{QStringLiteral("t,AKTIE,20240131,09:15:01,10,1,2,3"),
                           QStringLiteral("t,NBSP,20240131,09:15:01,12.5,3,2,3"),
                           QStringLiteral("t,P,20240131,09:15:02,7,2,2,3")};
    }

    void liveCycleLineRules()
    {
        QFETCH(QStringList, mapping);
        QFETCH(QByteArray, ticks);
        QFETCH(QStringList, expected);
        setMapping(mapping);
        liveDataUpdator *u = makeUpdater();
        u->tickBuffer()->publish(ticks);
        u->updateDataAmi();

        QCOMPARE(lines(readFile(u->rtImportPath)), expected);
        QCOMPARE(journal(), QStringList({QStringLiteral("Import(0,%1,%2)").arg(u->rtImportPath, u->liveFormatPath),
                                         QStringLiteral("RefreshAll()")}));
        QCOMPARE(imported(), expected);
    }

    // AmiBroker keeps one quote per symbol and second, the last line it was given:
    // that line must carry the volume of every tick of the second, whichever
    // batch and cycle the ticks came in.
    void liveCycleAddsUpEachSecond_data()
    {
        QTest::addColumn<QStringList>("mapping");
        QTest::addColumn<QByteArrayList>("batches"); // one cycle each
        QTest::addColumn<QStringList>("lastCycle");  // what the last cycle imported
        QTest::addColumn<QStringList>("quotes");     // what AmiBroker holds then

        const QByteArray a1 = tick("S", "09:15:01", "612.1", 10);
        const QByteArray a2 = tick("S", "09:15:01", "612.2", 20);
        const QByteArray a3 = tick("S", "09:15:01", "612.3", 30);
        const QByteArray b1 = tick("S", "09:15:02", "612.4", 5);
        const QStringList example = {quote("S", "09:15:01", "612.3", 60), quote("S", "09:15:02", "612.4", 5)};
        QTest::newRow("same second within a batch")
            << QStringList() << QByteArrayList{a1 + a2 + a3 + b1}
            << QStringList{line("S", "09:15:01", "612.3", 60), line("S", "09:15:02", "612.4", 5)} << example;
        QTest::newRow("same second across batches")
            << QStringList() << QByteArrayList{a1 + a2, a3 + b1}
            << QStringList{line("S", "09:15:01", "612.3", 60), line("S", "09:15:02", "612.4", 5)} << example;
        QTest::newRow("second boundary between batches")
            << QStringList() << QByteArrayList{a1, b1 + tick("S", "09:15:02", "612.5", 7)}
            << QStringList{line("S", "09:15:02", "612.5", 12)}
            << QStringList{quote("S", "09:15:01", "612.1", 10), quote("S", "09:15:02", "612.5", 12)};

        // A late tick replaces AmiBroker's quote of its second and leaves the
        // second in progress alone.
        const QByteArray late = tick("S", "09:15:01", "611.9", 3);
        QTest::newRow("late tick within a batch")
            << QStringList() << QByteArrayList{a1 + b1 + late + tick("S", "09:15:02", "612.5", 7)}
            << QStringList{line("S", "09:15:01", "612.1", 10), line("S", "09:15:02", "612.5", 12),
                           line("S", "09:15:01", "611.9", 3)}
            << QStringList{quote("S", "09:15:01", "611.9", 3), quote("S", "09:15:02", "612.5", 12)};
        QTest::newRow("late tick in a later batch")
            << QStringList() << QByteArrayList{a1 + b1, late + tick("S", "09:15:02", "612.5", 7)}
            << QStringList{line("S", "09:15:01", "611.9", 3), line("S", "09:15:02", "612.5", 12)}
            << QStringList{quote("S", "09:15:01", "611.9", 3), quote("S", "09:15:02", "612.5", 12)};

        QTest::newRow("mapped symbol sums under its new name")
            << QStringList{QStringLiteral("NIFTY-I,NIFTY")}
            << QByteArrayList{tick("NIFTY-I", "09:15:01", "21734.5", 50), tick("NIFTY", "09:15:01", "21735", 25)
                                                                             + tick("NIFTY-I", "09:15:01", "21736", 5)}
            << QStringList{line("NIFTY", "09:15:01", "21736", 80)}
            << QStringList{quote("NIFTY", "09:15:01", "21736", 80)};
        QTest::newRow("symbols kept apart")
            << QStringList() << QByteArrayList{tick("A", "09:15:01", "1", 1) + tick("B", "09:15:01", "2", 2) + tick("A", "09:15:01", "3", 3)}
            << QStringList{line("A", "09:15:01", "3", 4), line("B", "09:15:01", "2", 2)}
            << QStringList{quote("A", "09:15:01", "3", 4), quote("B", "09:15:01", "2", 2)};
        QTest::newRow("same time on the next day")
            << QStringList() << QByteArrayList{a1, tick("S", "09:15:01", "613", 4, "20240201")}
            << QStringList{line("S", "09:15:01", "613", 4, "20240201")}
            << QStringList{quote("S", "09:15:01", "612.1", 10), quote("S", "09:15:01", "613", 4, "2024-02-01")};
        QTest::newRow("same second written another way")
            << QStringList() << QByteArrayList{a1, tick("S", "091501", "612.2", 20)}
            << QStringList{line("S", "091501", "612.2", 30)} << QStringList{quote("S", "09:15:01", "612.2", 30)};
    }

    void liveCycleAddsUpEachSecond()
    {
        QFETCH(QStringList, mapping);
        QFETCH(QByteArrayList, batches);
        QFETCH(QStringList, lastCycle);
        QFETCH(QStringList, quotes);
        setMapping(mapping);
        liveDataUpdator *u = makeUpdater();
        for (const QByteArray &batch : batches) {
            u->tickBuffer()->publish(batch);
            u->updateDataAmi();
        }
        QCOMPARE(importCalls().size(), batches.size());
        QCOMPARE(lines(readFile(u->rtImportPath)), lastCycle);
        QCOMPARE(lines(readFile(quotesPath())), quotes);
        // The tick file side is untouched: the quote table shows the last tick as it came.
        QCOMPARE(u->tickBuffer()->latestBatch(), batches.last());
    }

    void liveCycleWithoutValidLinesImportsNothing()
    {
        liveDataUpdator *u = makeUpdater();
        QVERIFY(writeFile(u->rtImportPath, "stale\n"));
        u->tickBuffer()->publish("t,A,20240131,09:15:01,0,1,2,3\nFailed to fetch\nshort,line\n");
        u->updateDataAmi();
        QVERIFY(QFile::exists(u->rtImportPath));
        QCOMPARE(readFile(u->rtImportPath), QByteArray());
        QCOMPARE(journal(), QStringList());

        // Nothing pending at all: still no call.
        u->updateDataAmi();
        QCOMPARE(journal(), QStringList());
    }

    void liveCycleImportsEveryTickExactlyOnce()
    {
        liveDataUpdator *u = makeUpdater();
        // Several batches before one cycle: all of them, in order, in one import.
        u->tickBuffer()->publish("t,A,20240131,09:15:01,1,1,0,0\n");
        u->tickBuffer()->publish("t,B,20240131,09:15:01,2,1,0,0\nt,C,20240131,09:15:01,3,1,0,0\n");
        u->tickBuffer()->publish("t,D,20240131,09:15:01,4,1,0,0\n");
        u->updateDataAmi();
        u->updateDataAmi(); // a queued signal of a batch already taken
        QCOMPARE(importCalls().size(), 1);
        QCOMPARE(imported(), QStringList({QStringLiteral("t,A,20240131,09:15:01,1,1,0,0"), QStringLiteral("t,B,20240131,09:15:01,2,1,0,0"),
                                          QStringLiteral("t,C,20240131,09:15:01,3,1,0,0"), QStringLiteral("t,D,20240131,09:15:01,4,1,0,0")}));

        // A producer thread publishing while cycles run: every line once, in order.
        const int batches = 300;
        QStringList expected = imported();
        // One second per batch, so that no two ticks of a symbol share a second.
        for (int b = 0; b < batches; ++b)
            for (int r = 0; r < 3; ++r)
                expected << QStringLiteral("t,S%1,20240131,%2,%3,1,0,0").arg(r).arg(secondOfDay(b)).arg(b + 1);
        std::unique_ptr<QThread> producer(QThread::create([u] {
            for (int b = 0; b < batches; ++b) {
                QByteArray batch;
                for (int r = 0; r < 3; ++r)
                    batch += "t,S" + QByteArray::number(r) + ",20240131," + secondOfDay(b).toLatin1() + ","
                             + QByteArray::number(b + 1) + ",1,0,0\n";
                u->tickBuffer()->publish(batch);
                if (b % 50 == 0)
                    QThread::msleep(20);
            }
        }));
        producer->start();
        int cycles = 0;
        while (!producer->isFinished()) {
            u->updateDataAmi();
            ++cycles;
            QVERIFY(cycles < 2000);
        }
        u->updateDataAmi();
        QCOMPARE(imported(), expected);
    }

    // ---- AmiBroker busy, gone, started again, slow ------------------------

    // A modal dialog refuses every call for longer than the retries last: the
    // lines of the refused cycle and of those after it wait in the held file, go
    // in with one Import once AmiBroker answers, and AmiBroker's view is the stream.
    void busyAmiBrokerLosesNoTick()
    {
        liveDataUpdator *u = makeUpdater();
        quickRules(u);
        QSignalSpy said(u, &liveDataUpdator::amiBrokerMessage);
        TickStream stream(u);
        stream.batch(0);
        QTRY_COMPARE(stream.imported, qint64(1));

        BrokerStandIn::setBusyFor(1500);
        for (int n = 1; n <= 5; ++n)
            stream.batch(n);
        QTRY_COMPARE(u->amiBrokerState(), BrokerLink::State::Busy);
        QTRY_VERIFY(u->heldTicks() > 0);
        QVERIFY(QFile::exists(u->heldImportPath));
        QCOMPARE(stream.imported, qint64(1)); // held ticks do not count as imported
        stream.batch(6);

        QTRY_COMPARE_WITH_TIMEOUT(stream.imported, qint64(stream.ticks()), 5000);
        QCOMPARE(viewDifferences(streamView(stream.all), brokerView()), 0);
        QCOMPARE(imported().size(), stream.ticks()); // nothing doubled
        QVERIFY(!QFile::exists(u->heldImportPath));
        QTRY_COMPARE(u->heldTicks(), qint64(0));
        QCOMPARE(u->amiBrokerState(), BrokerLink::State::Answering);
        // The held file went in whole, then the charts were refreshed.
        const QStringList calls = journal();
        const int heldImport = calls.indexOf(QStringLiteral("Import(0,%1,%2)").arg(u->heldImportPath, u->liveFormatPath));
        QVERIFY(heldImport > 0);
        QCOMPARE(calls.value(heldImport + 1), QStringLiteral("RefreshAll()"));
        QCOMPARE(said.count(), 1);
        const auto m = EpisodeMessage.match(said.first().first().toString());
        QVERIFY2(m.hasMatch(), qPrintable(said.first().first().toString()));
        QVERIFY(m.captured(1).toInt() >= 5);
    }

    // AmiBroker crashes (said through its control file, as a person would) and a
    // new one is made for the held lines: it opens the database first.
    void crashedAmiBrokerIsStartedAgain()
    {
        liveDataUpdator *u = makeUpdater();
        quickRules(u);
        QSignalSpy said(u, &liveDataUpdator::amiBrokerMessage);
        TickStream stream(u);
        stream.batch(0);
        QTRY_COMPARE(stream.imported, qint64(1));
        const int before = journal().size();

        QVERIFY(writeFile(TestEnv::instance()->path(QLatin1String(InstallFiles::StandInControl)), "crash\n"));
        stream.batch(1);
        stream.batch(2);
        QTRY_COMPARE_WITH_TIMEOUT(stream.imported, qint64(3), 5000);
        QCOMPARE(viewDifferences(streamView(stream.all), brokerView()), 0);
        const QStringList after = journal().mid(before);
        QCOMPARE(after.value(0), QStringLiteral("LoadDatabase(QString&)\t") + u->databasePath);
        QCOMPARE(after.value(1), QStringLiteral("Import(0,%1,%2)").arg(u->heldImportPath, u->liveFormatPath));
        QCOMPARE(after.value(2), QStringLiteral("RefreshAll()"));
        QTRY_COMPARE(said.count(), 1);
        const auto m = EpisodeMessage.match(said.first().first().toString());
        QVERIFY2(m.hasMatch(), qPrintable(said.first().first().toString()));
        QCOMPARE(m.captured(1), QStringLiteral("2"));
    }

    // AmiBroker is closed and cannot be started for a while: a new object is tried
    // every few seconds, the lines wait on disk, nothing is called meanwhile.
    void closedAmiBrokerIsTriedAgainUntilItIsBack()
    {
        liveDataUpdator *u = makeUpdater();
        quickRules(u, 300, 200);
        TickStream stream(u);
        BrokerStandIn::setClosed(true);
        for (int n = 0; n < 4; ++n)
            stream.batch(n);
        QTRY_COMPARE(u->amiBrokerState(), BrokerLink::State::Gone);
        QTRY_COMPARE(u->heldTicks(), qint64(4));
        bool retrying = false;
        QMetaObject::invokeMethod(u->amiBroker, [&] {
            const QTimer *t = u->amiBroker->findChild<QTimer *>(QStringLiteral("brokerRecreate"));
            retrying = t && t->isActive() && t->interval() == 200 && !u->amiBroker->hasObject();
        }, Qt::BlockingQueuedConnection);
        QVERIFY(retrying);
        QCOMPARE(journal(), QStringList());
        QCOMPARE(stream.imported, qint64(0));

        BrokerStandIn::setClosed(false);
        QTRY_COMPARE_WITH_TIMEOUT(stream.imported, qint64(4), 5000);
        QCOMPARE(viewDifferences(streamView(stream.all), brokerView()), 0);
        QCOMPARE(journal().first(), QStringLiteral("LoadDatabase(QString&)\t") + u->databasePath);
    }

    // A slow AmiBroker: cycles take what has piled up meanwhile, one Import at a
    // time, and the window's thread is never held up by it.
    void slowAmiBrokerMergesCyclesAndLeavesTheWindowFree()
    {
        liveDataUpdator *u = makeUpdater();
        BrokerStandIn::setSlowImports(400);
        TickStream stream(u);
        QElapsedTimer clock;
        clock.start();
        qint64 longestGap = 0;
        qint64 last = 0;
        QTimer beat;
        beat.setInterval(10);
        connect(&beat, &QTimer::timeout, &beat, [&] {
            longestGap = qMax(longestGap, clock.elapsed() - last);
            last = clock.elapsed();
        });
        beat.start();
        for (int n = 0; n < 12; ++n) {
            stream.batch(n);
            QTest::qWait(50);
        }
        QTRY_COMPARE_WITH_TIMEOUT(stream.imported, qint64(12), 10000);
        QCOMPARE(viewDifferences(streamView(stream.all), brokerView()), 0);
        QVERIFY(importCalls().size() < 12); // 600 ms of batches met 400 ms imports
        QVERIFY2(longestGap < 300, qPrintable(QString::number(longestGap)));
    }

    // Lines an earlier run could not hand over wait until the database is open,
    // then go in first, with what came since.
    void linesHeldByAnEarlierRunGoInAfterTheDatabaseOpens()
    {
        const QByteArray earlier = tick("NIFTY-I", "09:14:58", "23990.5", 5) + tick("NIFTY-I", "09:14:59", "23991.5", 5);
        QVERIFY(writeFile(TestEnv::instance()->path(QLatin1String(InstallFiles::HeldImportFile)), earlier));
        liveDataUpdator *u = makeUpdater();
        quickRules(u);
        QSignalSpy said(u, &liveDataUpdator::amiBrokerMessage);
        QTRY_COMPARE(u->heldTicks(), qint64(2));
        TickStream stream(u);
        stream.batch(0);
        QTRY_COMPARE(u->heldTicks(), qint64(3));
        waitForAmiBrokersThread(u);
        QCOMPARE(importCalls(), QStringList());

        u->loadDatabase();
        QTRY_COMPARE(stream.imported, qint64(3));
        QCOMPARE(journal().value(0), QStringLiteral("LoadDatabase(QString&)\t") + u->databasePath);
        QCOMPARE(journal().value(1), QStringLiteral("Import(0,%1,%2)").arg(u->heldImportPath, u->liveFormatPath));
        QCOMPARE(viewDifferences(streamView(earlier + stream.all), brokerView()), 0);
        QTRY_COMPARE(said.count(), 1);
        QCOMPARE(said.first().first().toString(), QStringLiteral("3 ticks held for AmiBroker by the last run imported"));
    }

    void backfillWaitsForAmiBroker_data()
    {
        QTest::addColumn<bool>("closed");
        QTest::newRow("busy") << false;
        QTest::newRow("closed") << true;
    }

    // A chunk AmiBroker does not take is no failed attempt: the job waits and
    // goes on with it when AmiBroker answers; nothing is logged.
    void backfillWaitsForAmiBroker()
    {
        QFETCH(bool, closed);
        liveDataUpdator *u = makeUpdater();
        quickRules(u);
        u->backfillLimits.chunkBytes = 150;
        u->backfillLimits.pauseBeforeImportMs = 0;
        const QByteArray content = fixedLine('a') + fixedLine('b') + fixedLine('c');
        QVERIFY(writeFile(backfillFile(QStringLiteral("f.txt")), content));
        if (closed)
            BrokerStandIn::setClosed(true);
        else
            BrokerStandIn::setBusyFor(60000);
        QSignalSpy done(u, &liveDataUpdator::backfillDone);
        u->doBackFill();
        QTRY_COMPARE(u->amiBrokerState(), closed ? BrokerLink::State::Gone : BrokerLink::State::Busy);
        // The job waits for AmiBroker, looking again now and then.
        bool waiting = false;
        BackfillImporter *importer = u->backfillImporter();
        QMetaObject::invokeMethod(importer, [&] {
            const QTimer *step = importer->findChild<QTimer *>(QStringLiteral("backfillImportStep"));
            waiting = step && step->isActive() && !importer->isIdle();
        }, Qt::BlockingQueuedConnection);
        QVERIFY(waiting);
        QCOMPARE(done.count(), 0);
        QCOMPARE(imported(), QStringList());
        QCOMPARE(errorLogLines(), QStringList());

        BrokerStandIn::behaveNormally();
        QVERIFY(done.wait(5000));
        QCOMPARE(imported(), lines(content));
        QCOMPARE(errorLogLines(), QStringList());
        QCOMPARE(workFolderFiles(), QStringList(QStringLiteral("backfill_error.log")));
    }

    // Batches that keep arriving while a cycle waits must not queue a cycle each
    // (each would pause again for the newest batch): one waits, and the next batch
    // after it has run schedules the next. The cycles run on AmiBroker's thread,
    // so the window's thread goes on while AmiBroker is busy.
    void scheduledCyclesDoNotPileUpAndLeaveTheWindowFree()
    {
        liveDataUpdator *u = makeUpdater();
        QThread *importThread = nullptr;
        BrokerStandIn::setCallObserver([&importThread](const QString &function) {
            if (function.startsWith(QLatin1String("Import(")))
                importThread = QThread::currentThread();
        });
        auto noObserver = qScopeGuard([] { BrokerStandIn::setCallObserver(nullptr); });

        // AmiBroker busy with something else until released.
        QSemaphore busy;
        QMetaObject::invokeMethod(u->amiBroker, [&busy] { busy.acquire(); }, Qt::QueuedConnection);
        auto release = qScopeGuard([&busy] {
            if (busy.available() == 0)
                busy.release();
        });

        QStringList lines;
        for (int b = 0; b < 20; ++b) {
            lines << QStringLiteral("t,S,20240131,%1,%2,1,0,0").arg(secondOfDay(b)).arg(b + 1);
            u->tickBuffer()->publish(lines.last().toUtf8() + '\n');
            u->scheduleLiveImport();
        }
        // The window's own events are served meanwhile.
        bool served = false;
        QTimer::singleShot(0, [&served] { served = true; });
        QTRY_VERIFY_WITH_TIMEOUT(served, 2000);
        QCOMPARE(importCalls().size(), 0);

        release.dismiss();
        busy.release();
        QTRY_COMPARE_WITH_TIMEOUT(importCalls().size(), 1, 5000);
        waitForAmiBrokersThread(u);
        QCOMPARE(imported(), lines);
        QVERIFY(importThread);
        QCOMPARE(importThread, u->brokerThread());
        QVERIFY(importThread != QThread::currentThread());

        const QString later = QStringLiteral("t,S,20240131,%1,21,1,0,0").arg(secondOfDay(20));
        u->tickBuffer()->publish(later.toUtf8() + '\n');
        u->scheduleLiveImport();
        QTRY_COMPARE_WITH_TIMEOUT(importCalls().size(), 2, 5000);
        waitForAmiBrokersThread(u);
        QCOMPARE(imported(), lines << later);
    }

    void importFromAnotherThreadRunsOnTheOwner()
    {
        liveDataUpdator *u = makeUpdater();
        const QString data = TestEnv::instance()->path(QStringLiteral("x.txt"));
        QVERIFY(writeFile(data, "line from thread\n"));
        QVariant result;
        std::unique_ptr<QThread> caller(QThread::create([&] {
            QMetaObject::invokeMethod(u, "importIntoAmiBroker", Qt::BlockingQueuedConnection,
                                      Q_RETURN_ARG(QVariant, result), Q_ARG(QString, data),
                                      Q_ARG(QString, u->backfillFormatPath));
        }));
        caller->start();
        QTRY_VERIFY_WITH_TIMEOUT(caller->isFinished(), 5000);
        QCOMPARE(result, QVariant(true));
        QCOMPARE(imported(), QStringList(QStringLiteral("line from thread")));
    }

    // AmiBroker cannot be started at all: no call is made, nothing is lost.
    void missingAutomationObjectGivesInvalidResult()
    {
        BrokerStandIn::setClosed(true);
        liveDataUpdator *u = makeUpdater();
        QVERIFY(!u->importIntoAmiBroker(u->rtImportPath, u->liveFormatPath).isValid());
        QCOMPARE(u->brokerCall("RefreshAll()").outcome, Broker::Outcome::Gone);
        u->tickBuffer()->publish("t,A,20240131,09:15:01,1,1,0,0\n");
        u->updateDataAmi(); // must not crash without AmiBroker
        QCOMPARE(journal(), QStringList());
        QCOMPARE(readFile(u->heldImportPath), QByteArray("t,A,20240131,09:15:01,1,1,0,0\n"));
    }

    void junkCheck_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("probe");
        QTest::addColumn<bool>("junk");
        const QByteArray pad(200, 'x');
        QTest::newRow("doctype") << QByteArray("<!doctype html><p>") + pad << 100 << true;
        QTest::newRow("html") << QByteArray("\n<HTML><body>") + pad << 100 << true;
        QTest::newRow("no data found") << QByteArray("No Data Found") + QByteArray(120, ' ') << 100 << true;
        QTest::newRow("not found") << QByteArray("404 NOT FOUND ") + pad << 200 << true;
        QTest::newRow("99 bytes") << QByteArray(99, '1') << 100 << true;
        QTest::newRow("100 bytes") << QByteArray(100, '1') << 100 << false;
        QTest::newRow("marker past the probe") << QByteArray(150, '1') + "<html>" << 100 << false;
        QTest::newRow("marker within eod probe") << QByteArray(150, '1') + "<html>" << 200 << true;
        QTest::newRow("marker after a zero byte") << QByteArray("2024") + '\0' + "<html>" + pad << 100 << false;
        QTest::newRow("data") << barLines("NIFTY", 3) << 100 << false;
    }

    void junkCheck()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, probe);
        QFETCH(bool, junk);
        const QString path = TestEnv::instance()->path(QStringLiteral("probe.txt"));
        QVERIFY(writeFile(path, content));
        QCOMPARE(isJunkBackfillFile(path, probe), junk);
        QVERIFY(isJunkBackfillFile(path + QStringLiteral(".missing"), probe));
    }

    void backfillDropsJunkAndImportsData()
    {
        liveDataUpdator *u = makeUpdater();
        QVERIFY(writeFile(backfillFile(QStringLiteral("page.txt")), "<!DOCTYPE html>" + QByteArray(200, ' ')));
        QVERIFY(writeFile(backfillFile(QStringLiteral("nodata.txt")), "No Data Found" + QByteArray(100, ' ')));
        QVERIFY(writeFile(backfillFile(QStringLiteral("short.txt")), "2024-01-31,A," + QByteArray(85, '1') + '\n'));
        const QByteArray hundred = "2024-01-31,B," + QByteArray(86, '2') + '\n';
        QCOMPARE(hundred.size(), 100);
        QVERIFY(writeFile(backfillFile(QStringLiteral("hundred.txt")), hundred));

        QVERIFY(runBackfill(u));
        QCOMPARE(imported(), lines(hundred));
        QCOMPARE(importCalls().size(), 1);
        QVERIFY(importCalls().first().contains(QLatin1String("cvav_debugvminst_openglw_part001.log")));
        QVERIFY(importCalls().first().endsWith(u->backfillFormatPath + QLatin1Char(')')));
        QCOMPARE(QDir(u->backfillFolder).entryList(QDir::Files), QStringList());
        QCOMPARE(errorLogLines(), QStringList());
        QCOMPARE(workFolderFiles(), QStringList(QStringLiteral("backfill_error.log")));
    }

    void backfillWithoutFilesStillCompletes()
    {
        liveDataUpdator *u = makeUpdater();
        QVERIFY(runBackfill(u)); // no folder
        QDir().mkpath(u->backfillFolder);
        QVERIFY(runBackfill(u)); // empty folder
        QCOMPARE(journal(), QStringList());
    }

    void largeFileIsImportedInThreeChunks()
    {
        liveDataUpdator *u = makeUpdater();
        setMapping({QStringLiteral("OLD,NEW")});
        // 40 MiB of lines, a few of them server error lines.
        QByteArray content;
        content.reserve(40 * 1024 * 1024 + 4096);
        const QByteArray line = "2024-01-31,OLD,09:15:00,100.5,101,99.5,100.25,1250,1234500\n";
        const QByteArray mapped = "2024-01-31,NEW,09:15:00,100.5,101,99.5,100.25,1250,1234500\n";
        int dataLines = 0;
        while (content.size() < 40 * 1024 * 1024) {
            if (dataLines % 100000 == 7)
                content += "Failed to fetch OLD\n";
            content += line;
            ++dataLines;
        }
        QVERIFY(writeFile(backfillFile(QStringLiteral("OLD.txt")), content));

        QVERIFY(runBackfill(u));
        const QStringList calls = importCalls();
        QCOMPARE(calls.size(), 3);
        for (int i = 0; i < 3; ++i)
            QVERIFY2(calls.at(i).contains(QStringLiteral("cvav_debugvminst_openglw_part00%1.log").arg(i + 1)),
                     qPrintable(calls.at(i)));
        const QByteArray all = readFile(TestEnv::instance()->path(QLatin1String(InstallFiles::ImportedJournal)));
        QCOMPARE(all.size(), mapped.size() * dataLines);
        QCOMPARE(all.count("Failed"), 0);
        QCOMPARE(all.count(mapped), dataLines);
        QCOMPARE(workFolderFiles(), QStringList(QStringLiteral("backfill_error.log")));
        QCOMPARE(QDir(u->backfillFolder).entryList(QDir::Files), QStringList());
    }

    void chunkBoundaries()
    {
        liveDataUpdator *u = makeUpdater();
        u->backfillLimits.chunkBytes = 250;
        u->backfillLimits.pauseBeforeImportMs = 0;
        // 100-byte lines: two to a chunk; a 300-byte line first gets a chunk of its
        // own, and no empty chunk is imported before it.
        const QByteArray longLine = "2024-01-31,L," + QByteArray(286, 'x') + '\n';
        const QByteArray shortLine = "2024-01-31,S," + QByteArray(86, 'y') + '\n';
        QVERIFY(writeFile(backfillFile(QStringLiteral("a.txt")), longLine + shortLine + shortLine + shortLine));
        QVERIFY(runBackfill(u));
        QCOMPARE(importCalls().size(), 3);
        QCOMPARE(imported(), lines(longLine + shortLine + shortLine + shortLine));
        QCOMPARE(errorLogLines(), QStringList());
    }

    void chunkCapStopsTheFile()
    {
        liveDataUpdator *u = makeUpdater();
        u->backfillLimits.chunkBytes = 100;
        u->backfillLimits.maxChunks = 2;
        u->backfillLimits.pauseBeforeImportMs = 0;
        QByteArray content;
        for (int i = 0; i < 10; ++i)
            content += "2024-01-31,S," + QByteArray::number(i) + QByteArray(84, 'z') + '\n';
        QVERIFY(writeFile(backfillFile(QStringLiteral("cap.txt")), content));
        QVERIFY(runBackfill(u));
        QCOMPARE(importCalls().size(), 3); // maxChunks + 1
        QCOMPARE(imported(), lines(content).mid(0, 3));
        const QStringList log = errorLogLines();
        QCOMPARE(log.size(), 1);
        const QRegularExpression form(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d - exceeded max chunks for (.+)$"));
        const auto m = form.match(log.first());
        QVERIFY2(m.hasMatch(), qPrintable(log.first()));
        QCOMPARE(m.captured(1), QDir::toNativeSeparators(backfillFile(QStringLiteral("cap.txt"))));
        QCOMPARE(workFolderFiles(), QStringList(QStringLiteral("backfill_error.log")));
    }

    // AmiBroker answers every import with an error: each chunk is tried five times,
    // logged and removed, and the job goes on.
    void failedImportsAreLoggedAndCleanedUp()
    {
        liveDataUpdator *u = makeUpdater();
        BrokerStandIn::setFailing(true);
        u->backfillLimits.chunkBytes = 150;
        u->backfillLimits.retryPauseMs = 0;
        QVERIFY(writeFile(backfillFile(QStringLiteral("f.txt")), fixedLine('a') + fixedLine('b')));
        QVERIFY(runBackfill(u));
        QCOMPARE(importCalls().size(), 2 * u->backfillLimits.attempts);
        QCOMPARE(imported(), QStringList());
        const QStringList log = errorLogLines();
        QCOMPARE(log.size(), 2);
        const QString chunk1 = QDir::toNativeSeparators(u->workFolder + QStringLiteral("/cvav_debugvminst_openglw_part001.log"));
        const QString chunk2 = QDir::toNativeSeparators(u->workFolder + QStringLiteral("/cvav_debugvminst_openglw_part002.log"));
        QVERIFY2(log.at(0).endsWith(QStringLiteral(" - failed to import ") + chunk1), qPrintable(log.at(0)));
        QVERIFY2(log.at(1).endsWith(QStringLiteral(" - failed to import final ") + chunk2), qPrintable(log.at(1)));
        QCOMPARE(workFolderFiles(), QStringList(QStringLiteral("backfill_error.log")));
        QVERIFY(!QFile::exists(backfillFile(QStringLiteral("f.txt"))));

        // The log is appended to, never truncated.
        QVERIFY(writeFile(backfillFile(QStringLiteral("g.txt")), fixedLine('c')));
        QVERIFY(runBackfill(u));
        QCOMPARE(errorLogLines().size(), 3);
    }

    // The disk fills up during a backfill: the job is not dropped and nothing is
    // logged as failed; it says so once, waits, and goes on once there is room,
    // with the chunk that did not fit written again from its first line.
    void backfillOnAFullDiskWaitsForRoom()
    {
        liveDataUpdator *u = makeUpdater();
        SmallDisk disk(u->workFolder, 256 * 1024);
        if (!disk.isMounted())
            QSKIP("needs a tmpfs of its own (root)");
        u->backfillLimits.chunkBytes = 5000;
        u->backfillLimits.pauseBeforeImportMs = 0;
        // A short line (one page as a chunk), then a long one (three pages): the
        // mapped copy (three pages) and the first chunk fit, the second does not.
        const QByteArray shortLine = "2024-01-31,S," + QByteArray(86, 's') + '\n';
        const QByteArray longLine = "2024-01-31,L," + QByteArray(9000, 'l') + '\n';
        QVERIFY(writeFile(backfillFile(QStringLiteral("f.txt")), shortLine + longLine));
        QVERIFY(disk.fill(5));

        BackfillImporter *importer = u->backfillImporter();
        QMetaObject::invokeMethod(importer, [importer] { importer->setRetryIntervals(50, 50); },
                                  Qt::BlockingQueuedConnection);
        QSignalSpy said(u, &liveDataUpdator::backfillMessage);
        QSignalSpy done(u, &liveDataUpdator::backfillDone);
        u->doBackFill();
        QVERIFY(said.wait(5000));
        QCOMPARE(said.first().first().toString(),
                 QStringLiteral("Backfill paused: the disk holding %1 is full")
                     .arg(QDir::toNativeSeparators(TestEnv::instance()->root())));
        // It waits, looking again now and then, without saying it again.
        bool waiting = false;
        QMetaObject::invokeMethod(importer, [&] {
            const QTimer *step = importer->findChild<QTimer *>(QStringLiteral("backfillImportStep"));
            waiting = step && step->isActive() && step->interval() == 50 && !importer->isIdle();
        }, Qt::BlockingQueuedConnection);
        QVERIFY(waiting);
        QCOMPARE(done.count(), 0);
        QCOMPARE(said.count(), 1);
        QCOMPARE(imported(), lines(shortLine));

        QVERIFY(disk.makeRoom());
        QVERIFY(done.wait(5000));
        QCOMPARE(imported(), lines(shortLine + longLine));
        QCOMPARE(importCalls().size(), 2);
        QCOMPARE(errorLogLines(), QStringList());
        QCOMPARE(said.count(), 2); // paused, then going on
        QCOMPARE(said.last().first().toString(), QStringLiteral("Backfill goes on: there is room on the disk again"));
        QCOMPARE(workFolderFiles(), QStringList(QStringLiteral("backfill_error.log")));
    }

    void symbolMapping_data()
    {
        QTest::addColumn<QStringList>("mapping");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QByteArray>("expected");
        const QStringList oldNew{QStringLiteral("OLD,NEW")};
        QTest::newRow("second field") << oldNew << QByteArray("2024-01-01,OLD,100\n") << QByteArray("2024-01-01,NEW,100\n");
        QTest::newRow("second field with blanks") << QStringList{QStringLiteral(" OLD , NEW ")}
                                                  << QByteArray("  2024-01-01, OLD ,100\r\n")
                                                  << QByteArray("2024-01-01,NEW,100\n");
        QTest::newRow("whole words elsewhere") << oldNew << QByteArray("OLD sold OLDER OLD_X (OLD)\n")
                                               << QByteArray("NEW sold OLDER OLD_X (NEW)\n");
        QTest::newRow("longer name first") << QStringList{QStringLiteral("NIFTY,N"), QStringLiteral("NIFTY-I,NI")}
                                           << QByteArray("x NIFTY-I NIFTY NIFTY-II\n")
                                           << QByteArray("x NI N N-II\n");
        QTest::newRow("no chained renames") << QStringList{QStringLiteral("A,B"), QStringLiteral("B,C")}
                                            << QByteArray("A B\n2024,A,1\n") << QByteArray("B C\n2024,B,1\n");
        QTest::newRow("failed lines untouched") << oldNew << QByteArray("  OLD FAILED OLD \n")
                                                << QByteArray("  OLD FAILED OLD \n");
        QTest::newRow("empty lines kept") << oldNew << QByteArray("OLD\n\n  \nOLD") << QByteArray("NEW\n\n\nNEW\n");
        QTest::newRow("no mapping") << QStringList() << QByteArray("a,OLD,1\n") << QByteArray("a,OLD,1\n");
        QTest::newRow("one-sided ignored") << QStringList{QStringLiteral("OLD,"), QStringLiteral(",OLD")}
                                           << QByteArray("a,OLD,1\n") << QByteArray("a,OLD,1\n");
        QTest::newRow("utf-8 names") << QStringList{QStringLiteral("ÄB,CD")} << QByteArray("x,\xc3\x84" "B,1\n")
                                     << QByteArray("x,CD,1\n");
    }

    void symbolMapping()
    {
        QFETCH(QStringList, mapping);
        QFETCH(QByteArray, source);
        QFETCH(QByteArray, expected);
        setMapping(mapping);
        liveDataUpdator *u = makeUpdater();
        const QString from = TestEnv::instance()->path(QStringLiteral("in.txt"));
        const QString to = TestEnv::instance()->path(QStringLiteral("out/deeper/processed_in.txt"));
        QVERIFY(writeFile(from, source));
        QVERIFY(u->applySymbolMapping(from, to));
        QCOMPARE(readFile(to), expected);

        QVERIFY(!u->applySymbolMapping(QString(), to));
        QVERIFY(!u->applySymbolMapping(from, QString()));
        QVERIFY(!u->applySymbolMapping(from + QStringLiteral(".missing"), to + QStringLiteral("2")));
    }

    // The hand-written whole-word matcher against the regular expression it stands for.
    void renamerMatchesWordBoundaryRegex()
    {
        const QStringList names{QStringLiteral("AB"), QStringLiteral("A-B"), QStringLiteral("B_"), QStringLiteral("-A"),
                                QStringLiteral("1A")};
        const char alphabet[] = "AB-_ ,1.";
        QRandomGenerator rng(20240131);
        for (const QString &name : names) {
            const SymbolRenamer renamer({{name, QStringLiteral("Z")}});
            const QRegularExpression word(QStringLiteral("\\b") + QRegularExpression::escape(name) + QStringLiteral("\\b"));
            for (int i = 0; i < 3000; ++i) {
                QByteArray line;
                const int len = rng.bounded(1, 14);
                for (int k = 0; k < len; ++k)
                    line += alphabet[rng.bounded(int(sizeof alphabet) - 1)];
                const QString trimmed = QString::fromLatin1(line).trimmed();
                QString expected;
                const QStringList fields = trimmed.split(QLatin1Char(','));
                if (trimmed.isEmpty()) {
                    expected = QString();
                } else if (fields.size() >= 2 && fields.at(1).trimmed() == name) {
                    QStringList replaced = fields;
                    replaced[1] = QStringLiteral("Z");
                    expected = replaced.join(QLatin1Char(','));
                } else {
                    expected = trimmed;
                    expected.replace(word, QStringLiteral("Z"));
                }
                QByteArray got;
                renamer.appendMapped(line.constData(), line.constData() + line.size(), got);
                QVERIFY2(QString::fromLatin1(got) == expected,
                         qPrintable(QStringLiteral("%1 in [%2]: [%3] vs [%4]").arg(name, QString::fromLatin1(line),
                                                                                   QString::fromLatin1(got), expected)));
            }
        }
    }

    void endOfDay_data()
    {
        QTest::addColumn<bool>("selectedOnly");
        QTest::addColumn<bool>("pending");
        QTest::addColumn<QStringList>("importedSymbols");
        QTest::newRow("selected only") << true << false << QStringList{QStringLiteral("ABC")};
        QTest::newRow("selected only, automatic run") << true << true
                                                      << QStringList{QStringLiteral("ABC"), QStringLiteral("XYZ")};
        QTest::newRow("all symbols") << false << false << QStringList{QStringLiteral("ABC"), QStringLiteral("XYZ")};
    }

    void endOfDay()
    {
        QFETCH(bool, selectedOnly);
        QFETCH(bool, pending);
        QFETCH(QStringList, importedSymbols);
        QSettings().setValue(QLatin1String(Keys::Eod1yBackfillPending), pending);
        liveDataUpdator *u = makeUpdater();
        SymbolSelection selection;
        selection.set({QStringLiteral("ABC"), QStringLiteral("xyz")}, {});
        u->setSelection(&selection);
        u->eodSelectedOnly = selectedOnly;
        QVERIFY(writeFile(backfillFile(QStringLiteral("ABC.TXT")), barLines("ABC", 3)));
        QVERIFY(writeFile(backfillFile(QStringLiteral("XYZ.txt")), barLines("XYZ", 3)));
        QVERIFY(writeFile(backfillFile(QStringLiteral("junk.txt")), "<html>" + QByteArray(300, ' ')));
        QVERIFY(writeFile(backfillFile(QStringLiteral("sub/left.txt")), barLines("SUB", 3)));

        QVERIFY(runEodBackfill(u));
        QStringList got;
        for (const QString &l : imported())
            got << l.section(QLatin1Char(','), 1, 1);
        got.removeDuplicates();
        got.sort();
        QCOMPARE(got, importedSymbols);
        for (const QString &call : importCalls())
            QVERIFY(call.endsWith(u->eodFormatPath + QLatin1Char(')')));
        QVERIFY(QDir(u->backfillFolder).exists());
        QCOMPARE(QDir(u->backfillFolder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    }

    void runAsksForTheEndOfDayImportOnTheMainThread()
    {
        liveDataUpdator *u = makeUpdater();
        QVERIFY(writeFile(backfillFile(QStringLiteral("ABC.txt")), barLines("ABC", 3)));
        QSignalSpy done(u, &liveDataUpdator::eodBackfillDone);
        u->runMode = 0;
        u->start();
        QVERIFY(u->wait(5000));
        QCoreApplication::processEvents();
        QCOMPARE(done.count(), 0);

        u->runMode = 1;
        u->start();
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 5000);
        QVERIFY(u->wait(5000));
        QCOMPARE(imported().size(), 3);
    }
};

QM_TEST_MAIN(tst_amibroker)
#include "tst_amibroker.moc"
