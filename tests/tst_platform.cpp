#include <QtTest>
#include <QApplication>
#include <QProcess>
#include <QStandardPaths>

#include "app/installfiles.h"
#include "platform/brokerautomation.h"
#include "platform/brokercall.h"
#include "platform/brokerstandin.h"
#include "platform/dispatchcall.h"
#include "platform/installroot.h"
#include "platform/serverhost.h"
#include "platform/processes.h"
#include "testenv.h"

#include <memory>

class tst_platform : public QObject
{
    Q_OBJECT
private slots:
    void installPathsFollowTheRoot()
    {
        const QString root = TestEnv::instance()->root();
        QCOMPARE(Platform::installPathFwd(), root);
        QCOMPARE(Platform::installPathFwd(QStringLiteral("Amibroker/AF1000")), root + QStringLiteral("/Amibroker/AF1000"));
        QCOMPARE(Platform::installPathFwd(QStringLiteral("sqldrivers\\x86")), root + QStringLiteral("/sqldrivers/x86"));
    }
    void serverOverride()
    {
        qputenv("QUILLMARK_SERVER", "127.0.0.1:4567");
        QCOMPARE(Platform::apiBaseUrl(), QStringLiteral("http://127.0.0.1:4567/Datafeed_quillmark"));
        qunsetenv("QUILLMARK_SERVER");
        QVERIFY(Platform::apiBaseUrl().startsWith(QStringLiteral("http://")));
        QVERIFY(Platform::apiBaseUrl().endsWith(QStringLiteral("/Datafeed_quillmark")));
    }
    // How the Windows automation layer reads the call texts the program issues.
    void dispatchCallTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVariant>("separate");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QVariantList>("arguments");
        QTest::newRow("import: number then two paths")
            << QStringLiteral("Import(0,C:\\Quillmark\\rtimport.txt,C:\\Quillmark\\dataFormatRT.dll)") << QVariant()
            << QStringLiteral("Import")
            << QVariantList{0, QStringLiteral("C:\\Quillmark\\rtimport.txt"), QStringLiteral("C:\\Quillmark\\dataFormatRT.dll")};
        QTest::newRow("no arguments") << QStringLiteral("RefreshAll()") << QVariant() << QStringLiteral("RefreshAll")
                                      << QVariantList{};
        QTest::newRow("types in brackets, value apart")
            << QStringLiteral("LoadDatabase(QString&)") << QVariant(QStringLiteral("C:\\Quillmark\\Amibroker\\AF1000"))
            << QStringLiteral("LoadDatabase") << QVariantList{QStringLiteral("C:\\Quillmark\\Amibroker\\AF1000")};
        QTest::newRow("integer value apart stays an integer")
            << QStringLiteral("ExecuteCommand(int)") << QVariant(33029) << QStringLiteral("ExecuteCommand")
            << QVariantList{33029};
        QTest::newRow("blanks around values, negative number, too big for 32 bits")
            << QStringLiteral(" Foo ( -7 , 4294967296 , a b )") << QVariant() << QStringLiteral("Foo")
            << QVariantList{-7, QStringLiteral("4294967296"), QStringLiteral("a b")};
        QTest::newRow("commas inside quotes and nested brackets do not split")
            << QStringLiteral("Run(\"a,b\",f(1,2),3)") << QVariant() << QStringLiteral("Run")
            << QVariantList{QStringLiteral("\"a,b\""), QStringLiteral("f(1,2)"), 3};
        QTest::newRow("empty value between commas") << QStringLiteral("F(1,,2)") << QVariant() << QStringLiteral("F")
                                                    << QVariantList{1, QString(), 2};
        QTest::newRow("bare name") << QStringLiteral("SaveDatabase") << QVariant() << QStringLiteral("SaveDatabase")
                                   << QVariantList{};
    }
    // A failed COM call's HRESULT decides what becomes of what it carried.
    void brokerCallOutcomes_data()
    {
        QTest::addColumn<quint32>("hresult");
        QTest::addColumn<int>("outcome");
        const int busy = int(Broker::Outcome::Busy);
        const int gone = int(Broker::Outcome::Gone);
        const int failed = int(Broker::Outcome::Failed);
        QTest::newRow("RPC_E_SERVERCALL_RETRYLATER") << quint32(0x8001010A) << busy;
        QTest::newRow("RPC_E_CALL_REJECTED") << quint32(0x80010001) << busy;
        QTest::newRow("RPC_S_SERVER_UNAVAILABLE") << quint32(0x800706BA) << gone;
        QTest::newRow("RPC_S_CALL_FAILED") << quint32(0x800706BE) << gone;
        QTest::newRow("RPC_E_DISCONNECTED") << quint32(0x80010108) << gone;
        QTest::newRow("RPC_E_SERVER_DIED") << quint32(0x80010007) << gone;
        QTest::newRow("RPC_E_SERVER_DIED_DNE") << quint32(0x80010012) << gone;
        QTest::newRow("CO_E_OBJNOTCONNECTED") << quint32(0x800401FD) << gone;
        QTest::newRow("DISP_E_EXCEPTION") << quint32(0x80020009) << failed;
        QTest::newRow("DISP_E_UNKNOWNNAME") << quint32(0x80020006) << failed;
        QTest::newRow("E_FAIL") << quint32(0x80004005) << failed;
    }

    void brokerCallOutcomes()
    {
        QFETCH(quint32, hresult);
        QFETCH(int, outcome);
        QCOMPARE(int(Broker::outcomeOfFailure(hresult)), outcome);
    }

    void standInControlWords_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("understood");
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<int>("value");
        using B = BrokerStandIn::Behaviour;
        QTest::newRow("normal") << QByteArray("normal\n") << true << int(B::Normal) << 0;
        QTest::newRow("busy") << QByteArray("busy 5") << true << int(B::Busy) << 5;
        QTest::newRow("slow, case and blanks") << QByteArray("  SLOW   1500 \r\n") << true << int(B::Slow) << 1500;
        QTest::newRow("crash") << QByteArray("crash") << true << int(B::Crash) << 0;
        QTest::newRow("closed") << QByteArray("closed") << true << int(B::Closed) << 0;
        QTest::newRow("failing") << QByteArray("failing") << true << int(B::Failing) << 0;
        QTest::newRow("busy without seconds") << QByteArray("busy") << false << 0 << 0;
        QTest::newRow("busy with words") << QByteArray("busy five") << false << 0 << 0;
        QTest::newRow("negative") << QByteArray("slow -3") << false << 0 << 0;
        QTest::newRow("crash with a value") << QByteArray("crash 3") << false << 0 << 0;
        QTest::newRow("unknown") << QByteArray("sleepy") << false << 0 << 0;
        QTest::newRow("empty") << QByteArray() << false << 0 << 0;
    }

    void standInControlWords()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, understood);
        QFETCH(int, behaviour);
        QFETCH(int, value);
        BrokerStandIn::Command command;
        QCOMPARE(BrokerStandIn::parseCommand(text, &command), understood);
        if (understood) {
            QCOMPARE(int(command.behaviour), behaviour);
            QCOMPARE(command.value, value);
        }
    }

    // The stand-in as AmiBroker's process: a crash kills the objects made before it
    // (a new one works), a close keeps new ones from being made until normal.
    void standInCrashAndClose()
    {
        TestEnv::instance()->reset();
        BrokerStandIn before;
        QCOMPARE(before.call(QStringLiteral("RefreshAll()")).outcome, Broker::Outcome::Done);
        BrokerStandIn::crash();
        QCOMPARE(before.call(QStringLiteral("RefreshAll()")).outcome, Broker::Outcome::Gone);
        BrokerStandIn after;
        QCOMPARE(after.call(QStringLiteral("RefreshAll()")).outcome, Broker::Outcome::Done);

        BrokerStandIn::setClosed(true);
        QCOMPARE(after.call(QStringLiteral("RefreshAll()")).outcome, Broker::Outcome::Gone);
        QVERIFY(!createBrokerObject());
        BrokerStandIn::setBusyFor(60000);
        BrokerStandIn::setClosed(false);
        std::unique_ptr<BrokerObject> again(createBrokerObject());
        QVERIFY(again);
        QCOMPARE(again->call(QStringLiteral("RefreshAll()")).outcome, Broker::Outcome::Busy);
        BrokerStandIn::behaveNormally();
        QCOMPARE(again->call(QStringLiteral("RefreshAll()")).outcome, Broker::Outcome::Done);
        // Refused and lost calls never reached AmiBroker's journal.
        QCOMPARE(readFile(TestEnv::instance()->path(QLatin1String(InstallFiles::AutomationJournal))),
                 QByteArray("RefreshAll()\nRefreshAll()\nRefreshAll()\n"));
    }

    void dispatchCallTexts()
    {
        QFETCH(QString, text);
        QFETCH(QVariant, separate);
        QFETCH(QString, name);
        QFETCH(QVariantList, arguments);
        const Platform::DispatchCall call = Platform::parseDispatchCall(text, separate);
        QVERIFY(call.valid);
        QCOMPARE(call.name, name);
        QCOMPARE(call.arguments.size(), arguments.size());
        for (int i = 0; i < arguments.size(); ++i) {
            QCOMPARE(call.arguments.at(i).userType(), arguments.at(i).userType());
            QCOMPARE(call.arguments.at(i), arguments.at(i));
        }
    }
    void dispatchCallTextsThatCannotBeRead()
    {
        for (const char *text : {"", "(1,2)", "Import(0,a", "Import(0,a))", "F(\"open)", "F(g(1)"})
            QVERIFY2(!Platform::parseDispatchCall(QString::fromLatin1(text)).valid, text);
    }
    void processListSeesThisTest()
    {
        QVERIFY(Platform::runningProcessNames().contains(QStringLiteral("tst_platform")));
    }

    void instanceScopeNarrowsTheCheck()
    {
        const QString sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
        QVERIFY(!sleep.isEmpty());
        QProcessEnvironment outside = QProcessEnvironment::systemEnvironment();
        outside.remove(QLatin1String(Platform::InstanceScopeVariable));
        QProcess ours;
        QProcess theirs;
        theirs.setProcessEnvironment(outside);
        for (QProcess *p : {&ours, &theirs}) {
            p->start(sleep, {QStringLiteral("30")});
            QVERIFY(p->waitForStarted());
        }
        auto sleeps = [](const QString &list) { return list.split(QLatin1Char('\n')).count(QStringLiteral("sleep")); };
        // Only the process started in this test's scope counts; the whole list has both.
        QCOMPARE(sleeps(Platform::instanceCheckProcessList()), 1);
        QVERIFY(sleeps(Platform::processListText()) >= 2);
        for (QProcess *p : {&ours, &theirs}) {
            p->kill();
            p->waitForFinished();
        }
        QCOMPARE(sleeps(Platform::instanceCheckProcessList()), 0);
    }
};

QM_TEST_MAIN(tst_platform)
#include "tst_platform.moc"
