#include <QtTest>
#include <QApplication>
#include <QProcess>
#include <QStandardPaths>

#include "platform/dispatchcall.h"
#include "platform/installroot.h"
#include "platform/serverhost.h"
#include "platform/processes.h"
#include "testenv.h"

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
