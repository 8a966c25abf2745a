#include <QtTest>
#include <QApplication>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>

#include "amibroker/livedataupdator.h"
#include "amibroker/symbolrenamer.h"
#include "app/installfiles.h"
#include "app/settingskeys.h"
#include "live/tickbuffer.h"
#include "platform/brokerautomation.h"
#include "platform/brokerstandin.h"
#include "platform/installroot.h"
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
        takePendingTicks();
        // AmiBroker reads the format definitions we ship; the stand-in needs them readable.
        for (const char *name : {InstallFiles::LiveFormat, InstallFiles::BackfillFormat, InstallFiles::EodFormat}) {
            const QByteArray def = readFile(QStringLiteral(QM_SOURCE_DIR "/resources/") + QLatin1String(name));
            QVERIFY(def.contains("$FORMAT"));
            QVERIFY(writeFile(TestEnv::instance()->path(QLatin1String(name)), def));
        }
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
        std::unique_ptr<BrokerObject> broker(createBrokerObject());
        QVERIFY(broker);
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

    void liveCycleLineRules_data()
    {
        QTest::addColumn<QStringList>("mapping");
        QTest::addColumn<QByteArray>("ticks");
        QTest::addColumn<QStringList>("expected");

        const QByteArray niftyTicks = "t,NIFTY-I,20240131,09:15:01,21734.5,50,100,900\n"
                                      "t,NIFTY-II,20240131,09:15:01,21800,25,100,900\n"
                                      "t,NIFTY,20240131,09:15:01,21700,10,100,900\n";
        const QStringList renamed = {QStringLiteral("t,NIFTY,20240131,09:15:01,21734.5,50,100,900"),
                                     QStringLiteral("t,NIFTY-II,20240131,09:15:01,21800,25,100,900"),
                                     QStringLiteral("t,NIFTY,20240131,09:15:01,21700,10,100,900")};
        QTest::newRow("mapped") << QStringList{QStringLiteral("NIFTY-I,NIFTY")} << niftyTicks << renamed;
        QTest::newRow("mapped with blanks") << QStringList{QStringLiteral("  NIFTY-I ,  NIFTY ")} << niftyTicks
                                            << renamed;
        QStringList untouched = renamed;
        untouched[0] = QStringLiteral("t,NIFTY-I,20240131,09:15:01,21734.5,50,100,900");
        QTest::newRow("one-sided entries ignored")
            << QStringList{QStringLiteral("NIFTY-I,"), QStringLiteral(",NIFTY"), QStringLiteral("NIFTY-I")}
            << niftyTicks << untouched;

        QTest::newRow("price and quantity")
            << QStringList()
            << QByteArray("t,A,d,tm,0,1,2,3\n"
                          "t,B,d,tm,abc,1,2,3\n"
                          "t,C,d,tm,-3,1,2,3\n"
                          "t,D,d,tm,101.50,x,2,3\n"
                          "t,E,d,tm,123456.7,2.5,2,3\n"
                          "t,F,d,tm,1.5e3,-2.5,2,3\n")
            << QStringList{QStringLiteral("t,D,d,tm,101.5,0,2,3"), QStringLiteral("t,E,d,tm,123456.7,3,2,3"),
                           QStringLiteral("t,F,d,tm,1500,-2,2,3")};
        QTest::newRow("fields")
            << QStringList()
            << QByteArray("  t , S1 , d1 , t1 , 10 , 1 , o1 , v1 , extra , more \r\n"
                          "t,S2,d,tm,10,1,2\n"
                          "t,FAILED-X,d,tm,10,1,2,3\n"
                          "Connection failed,,,,,,,\n"
                          "\n   \n"
                          "t,S3,,,10,1,,\n")
            << QStringList{QStringLiteral("t,S1,d1,t1,10,1,o1,v1"), QStringLiteral("t,S3,,,10,1,,")};
    }

    void liveCycleLineRules()
    {
        QFETCH(QStringList, mapping);
        QFETCH(QByteArray, ticks);
        QFETCH(QStringList, expected);
        setMapping(mapping);
        liveDataUpdator *u = makeUpdater();
        publishBatch(ticks);
        u->updateDataAmi();

        QCOMPARE(lines(readFile(u->rtImportPath)), expected);
        QCOMPARE(journal(), QStringList({QStringLiteral("Import(0,%1,%2)").arg(u->rtImportPath, u->liveFormatPath),
                                         QStringLiteral("RefreshAll()")}));
        QCOMPARE(imported(), expected);
    }

    void liveCycleWithoutValidLinesImportsNothing()
    {
        liveDataUpdator *u = makeUpdater();
        QVERIFY(writeFile(u->rtImportPath, "stale\n"));
        publishBatch("t,A,d,tm,0,1,2,3\nFailed to fetch\nshort,line\n");
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
        publishBatch("t,A,d,tm,1,1,0,0\n");
        publishBatch("t,B,d,tm,2,1,0,0\nt,C,d,tm,3,1,0,0\n");
        publishBatch("t,D,d,tm,4,1,0,0\n");
        u->updateDataAmi();
        u->updateDataAmi(); // a queued signal of a batch already taken
        QCOMPARE(importCalls().size(), 1);
        QCOMPARE(imported(), QStringList({QStringLiteral("t,A,d,tm,1,1,0,0"), QStringLiteral("t,B,d,tm,2,1,0,0"),
                                          QStringLiteral("t,C,d,tm,3,1,0,0"), QStringLiteral("t,D,d,tm,4,1,0,0")}));

        // A producer thread publishing while cycles run: every line once, in order.
        const int batches = 300;
        QStringList expected = imported();
        for (int b = 0; b < batches; ++b)
            for (int r = 0; r < 3; ++r)
                expected << QStringLiteral("t,S%1,d,tm,%2,1,0,0").arg(r).arg(b + 1);
        std::unique_ptr<QThread> producer(QThread::create([] {
            for (int b = 0; b < batches; ++b) {
                QByteArray batch;
                for (int r = 0; r < 3; ++r)
                    batch += "t,S" + QByteArray::number(r) + ",d,tm," + QByteArray::number(b + 1) + ",1,0,0\n";
                publishBatch(batch);
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

    // Batches that keep arriving while cycles wait must not queue a cycle each
    // (each would find the newest batch and pause the main thread again): one
    // waits, and the next batch after it has run schedules the next.
    void scheduledCyclesDoNotPileUp()
    {
        liveDataUpdator *u = makeUpdater();
        QStringList lines;
        for (int b = 0; b < 20; ++b)
            lines << QStringLiteral("t,S,d,tm,%1,1,0,0").arg(b + 1);
        publishBatch(lines.first().toUtf8() + '\n');
        u->scheduleLiveImport();
        for (int b = 1; b < lines.size(); ++b) {
            // Each later batch lands in the event queue between the signals.
            const QByteArray line = lines.at(b).toUtf8() + '\n';
            QMetaObject::invokeMethod(u, [line] { publishBatch(line); }, Qt::QueuedConnection);
            u->scheduleLiveImport();
        }
        QCOMPARE(importCalls().size(), 0); // never inside the batch's own signal
        QCoreApplication::sendPostedEvents(u, QEvent::MetaCall);
        QCOMPARE(importCalls().size(), 1);
        QCOMPARE(imported(), lines.mid(0, 1));

        u->scheduleLiveImport();
        QCoreApplication::sendPostedEvents(u, QEvent::MetaCall);
        QCOMPARE(importCalls().size(), 2);
        QCOMPARE(imported(), lines);
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

    void missingAutomationObjectGivesInvalidResult()
    {
        liveDataUpdator *u = makeUpdater();
        delete u->amiBroker;
        u->amiBroker = nullptr;
        QVERIFY(!u->importIntoAmiBroker(u->rtImportPath, u->liveFormatPath).isValid());
        publishBatch("t,A,d,tm,1,1,0,0\n");
        u->updateDataAmi(); // must not crash without AmiBroker
        QCOMPARE(journal(), QStringList());
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

        QSignalSpy done(u, &liveDataUpdator::backfillDone);
        u->doBackFill();
        QCOMPARE(done.count(), 1);
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
        QSignalSpy done(u, &liveDataUpdator::backfillDone);
        u->doBackFill(); // no folder
        QDir().mkpath(u->backfillFolder);
        u->doBackFill(); // empty folder
        QCOMPARE(done.count(), 2);
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

        u->doBackFill();
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
        u->doBackFill();
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
        u->doBackFill();
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

    void failedImportsAreLoggedAndCleanedUp()
    {
        liveDataUpdator *u = makeUpdater();
        delete u->amiBroker;
        u->amiBroker = nullptr;
        u->backfillLimits.chunkBytes = 150;
        QVERIFY(writeFile(backfillFile(QStringLiteral("f.txt")), fixedLine('a') + fixedLine('b')));
        QSignalSpy done(u, &liveDataUpdator::backfillDone);
        QElapsedTimer clock;
        clock.start();
        u->doBackFill();
        QCOMPARE(done.count(), 1);
        // Nothing to wait for without AmiBroker: no pauses (they would add over 1.5 s here).
        QVERIFY(clock.elapsed() < 1000);
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
        u->doBackFill();
        QCOMPARE(errorLogLines().size(), 3);
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
        u->selectedSymbols = QStringList{QStringLiteral("ABC"), QStringLiteral("xyz")};
        u->eodSelectedOnly = selectedOnly;
        QVERIFY(writeFile(backfillFile(QStringLiteral("ABC.TXT")), barLines("ABC", 3)));
        QVERIFY(writeFile(backfillFile(QStringLiteral("XYZ.txt")), barLines("XYZ", 3)));
        QVERIFY(writeFile(backfillFile(QStringLiteral("junk.txt")), "<html>" + QByteArray(300, ' ')));
        QVERIFY(writeFile(backfillFile(QStringLiteral("sub/left.txt")), barLines("SUB", 3)));

        QSignalSpy done(u, &liveDataUpdator::eodBackfillDone);
        u->doEodBackfill();
        QCOMPARE(done.count(), 1);
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
