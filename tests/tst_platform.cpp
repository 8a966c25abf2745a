#include <QtTest>
#include <QApplication>
#include <QProcess>
#include <QStandardPaths>

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
