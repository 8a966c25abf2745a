#include <QtTest>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QUdpSocket>

#include "app/authdialog.h"
#include "app/connectivityprobe.h"
#include "app/provisioning.h"
#include "app/quillmark2.h"
#include "app/settingskeys.h"
#include "platform/processes.h"
#include "modalhelper.h"
#include "testenv.h"

class tst_app : public QObject
{
    Q_OBJECT

private:
    static QString programPath() { return QStringLiteral(QM_TEST_BIN_DIR "/quillmark"); }

    // The program in this test's root and settings store.
    static QProcessEnvironment programEnvironment()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QUILLMARK_ROOT"), TestEnv::instance()->root());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), TestEnv::instance()->settingsDir());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.debug=true"));
        // Nothing answers here: the start-up ends quickly instead of waiting on the network.
        env.insert(QStringLiteral("QUILLMARK_SERVER"), QStringLiteral("127.0.0.1:1"));
        env.insert(QStringLiteral("QUILLMARK_PROBE_HOST"), QStringLiteral("127.0.0.1"));
        return env;
    }

    static void seed(const QString &name) { QVERIFY(writeFile(TestEnv::instance()->path(name), name.toUtf8())); }

private slots:
    void init() { TestEnv::instance()->reset(); }

    void provisioningSeedsAFreshDatabase()
    {
        seed(QStringLiteral("dbfiles/broker.master"));
        seed(QStringLiteral("dbfiles/broker.watch"));
        seed(QStringLiteral("dbfiles/broker.workspace"));
        QVERIFY(QDir().mkpath(TestEnv::instance()->path(QStringLiteral("sqldrivers"))));

        provisionInstallFolder();

        const QString db = TestEnv::instance()->path(QStringLiteral("Amibroker/AF1000/"));
        QCOMPARE(readFile(db + QStringLiteral("broker.master")), QByteArray("dbfiles/broker.master"));
        QCOMPARE(readFile(db + QStringLiteral("broker.watch")), QByteArray("dbfiles/broker.watch"));
        QCOMPARE(readFile(db + QStringLiteral("broker.workspace")), QByteArray("dbfiles/broker.workspace"));
        QVERIFY(QFileInfo(TestEnv::instance()->path(QStringLiteral("sqldrivers/x86"))).isDir());
    }

    void provisioningLeavesAnExistingDatabaseAlone()
    {
        seed(QStringLiteral("dbfiles/broker.master"));
        const QString db = TestEnv::instance()->path(QStringLiteral("Amibroker/AF1000"));
        QVERIFY(QDir().mkpath(db));
        provisionInstallFolder();
        QVERIFY(QDir(db).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

        // A file standing where the database folder belongs counts as existing too.
        TestEnv::instance()->reset();
        seed(QStringLiteral("dbfiles/broker.master"));
        QVERIFY(writeFile(db, "not a folder"));
        provisionInstallFolder();
        QVERIFY(QFileInfo(db).isFile());
        QCOMPARE(readFile(db), QByteArray("not a folder"));
    }

    void provisioningWithoutParentsCreatesNoWorkFolder()
    {
        // No "sqldrivers" and no seeds: the work folder is not made, the database is
        // made empty, and nothing fails loudly.
        provisionInstallFolder();
        QVERIFY(!QFileInfo::exists(TestEnv::instance()->path(QStringLiteral("sqldrivers"))));
        const QString db = TestEnv::instance()->path(QStringLiteral("Amibroker/AF1000"));
        QVERIFY(QFileInfo(db).isDir());
        QVERIFY(QDir(db).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    }

    void provisioningNeverOverwritesACopy()
    {
        seed(QStringLiteral("dbfiles/broker.master"));
        provisionInstallFolder();
        QVERIFY(writeFile(TestEnv::instance()->path(QStringLiteral("dbfiles/broker.master")), "newer seed"));
        provisionInstallFolder();
        QCOMPARE(readFile(TestEnv::instance()->path(QStringLiteral("Amibroker/AF1000/broker.master"))),
                 QByteArray("dbfiles/broker.master"));
    }

    void uptimeText_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("start") << qint64(0) << QStringLiteral("Running: 0:00:00");
        QTest::newRow("3723 s") << qint64(3723000) << QStringLiteral("Running: 1:02:03");
        QTest::newRow("just under a minute") << qint64(59999) << QStringLiteral("Running: 0:00:59");
        QTest::newRow("100 h") << qint64(100) * 3600000 << QStringLiteral("Running: 100:00:00");
    }
    void uptimeText()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, text);
        QCOMPARE(quillmark2::uptimeText(ms), text);
    }

    void instanceCountIgnoresCaseAndCountsEveryImage()
    {
        QCOMPARE(quillmark2::countProductInstances(QStringLiteral("bash\nquillmark\nfeedsim")), 1);
        QCOMPARE(quillmark2::countProductInstances(QStringLiteral("Quillmark.exe  1234 Console\nQUILLMARK.EXE 99")), 2);
        QCOMPARE(quillmark2::countProductInstances(QString()), 0);
    }

    void windowFrame()
    {
        quillmark2 window;
        QVERIFY(window.windowTitle().endsWith(QStringLiteral(" (Quillmark 7.26)")));
        QVERIFY(window.windowFlags() & Qt::WindowMinimizeButtonHint);

        const QList<QPair<const char *, const char *>> buttons = {
            {"contactSupportButton", "Support"}, {"amibrokerPathButton", "Settings"}, {"restartButton", "Restart"},
            {"backfillButton", "Backfill"},      {"backfillButton_2", "Backfill"},     {"connectButton", "Connect"},
            {"pushButton", "EOD"},               {"selectAll", "Select All"},          {"selectNone", "None"},
            {"addSelected", "Add Symbol"},       {"DeleteAll", "Delete All"},          {"save_list", "Save"},
            {"load_list_2", "Load"},             {"MappingButton", "Mapping"}};
        for (const auto &b : buttons) {
            auto *button = window.findChild<QPushButton *>(QLatin1String(b.first));
            QVERIFY2(button, b.first);
            QCOMPARE(button->text(), QLatin1String(b.second));
        }
        const QStringList feeds = {"cashBox", "futureBox", "optionBox", "commBox", "currBox",
                                   "spotBox", "SXOPTBox",  "SXOPTBox2", "ForexBox"};
        const QStringList labels = {"CASH", "FUTURE", "OPTION", "COMM", "CURR", "SPOT", "SXOPT", "CMOPT", "FOREX"};
        for (int i = 0; i < feeds.size(); ++i) {
            auto *radio = window.findChild<QRadioButton *>(feeds[i]);
            QVERIFY(radio);
            QCOMPARE(radio->text(), labels[i]);
        }
        QCOMPARE(window.findChild<QGroupBox *>(QStringLiteral("realTimeDataGroupBox"))->title(), QStringLiteral("Feeds"));
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("statusLabel"))->text(), QStringLiteral("Connected / Disconnected"));
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("SymbolsSelected"))->text(), QStringLiteral("S"));
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("uptimeLabel"))->text(), QStringLiteral("Uptime: 0:00:00"));

        auto *days = window.findChild<QComboBox *>(QStringLiteral("daysBox"));
        QCOMPARE(days->count(), 10);
        QCOMPARE(days->itemText(9), QStringLiteral("120"));
        QCOMPARE(days->maxVisibleItems(), 20);
        auto *autoDays = window.findChild<QComboBox *>(QStringLiteral("autoFilldaysBox"));
        QCOMPARE(autoDays->itemText(8), QStringLiteral("60"));
        QCOMPARE(autoDays->maxVisibleItems(), 10);
    }

    void firstRunStoresDefaults()
    {
        {
            quillmark2 window;
            QVERIFY(window.findChild<QRadioButton *>(QStringLiteral("spotBox"))->isChecked());
            QCOMPARE(window.findChild<QComboBox *>(QStringLiteral("autoFilldaysBox"))->currentText(), QStringLiteral("5"));
        }
        QSettings settings;
        QCOMPARE(settings.value(QLatin1String(Keys::FirstRun)).toBool(), false);
        QCOMPARE(settings.value(QLatin1String(Keys::AutoBackfillChecked)).toBool(), true);
        QCOMPARE(settings.value(QLatin1String(Keys::AutoFilldays)).toString(), QStringLiteral("5"));

        // The second start is no first run: nothing is pre-selected.
        quillmark2 again;
        QVERIFY(!again.findChild<QRadioButton *>(QStringLiteral("spotBox"))->isChecked());
    }

    void uptimeLabelCountsAndSticksToTheCorner()
    {
        quillmark2 window;
        window.resize(1000, 652);
        auto *label = window.findChild<QLabel *>(QStringLiteral("uptimeLabel"));
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Running: 0:00:01"), 2500);
        window.resize(1200, 700);
        QTRY_COMPARE_WITH_TIMEOUT(label->geometry().bottomRight(), QPoint(1200 - 3, 700 - 3), 1500);
    }

    void enableInterfaceRestoresDaysAndFeeds()
    {
        QSettings().setValue(QLatin1String(Keys::BackfillDays), QStringLiteral("10"));
        quillmark2 window;
        ModalAcceptor boxes;
        window.enableInterface(QStringLiteral("ABC123"), QStringLiteral("CASH,SXOPTION"),
                               {QStringLiteral("5"), QStringLiteral("10"), QStringLiteral("30")},
                               QStringLiteral("Hello <b>traders</b>"), true);
        auto *days = window.findChild<QComboBox *>(QStringLiteral("daysBox"));
        QCOMPARE(days->count(), 3);
        QCOMPARE(days->currentText(), QStringLiteral("10"));
        QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("machineIDLabel"))->text(), QStringLiteral("ABC123"));
        // Substring test: SXOPTION enables OPTION and SXOPT as well.
        QVERIFY(window.findChild<QRadioButton *>(QStringLiteral("cashBox"))->isEnabled());
        QVERIFY(window.findChild<QRadioButton *>(QStringLiteral("optionBox"))->isEnabled());
        QVERIFY(window.findChild<QRadioButton *>(QStringLiteral("SXOPTBox"))->isEnabled());
        QVERIFY(!window.findChild<QRadioButton *>(QStringLiteral("futureBox"))->isEnabled());
        QVERIFY(!window.findChild<QRadioButton *>(QStringLiteral("SXOPTBox2"))->isEnabled());
        QVERIFY(window.enableEOD);

        // A saved day count the server no longer offers leaves the first item.
        QSettings().setValue(QLatin1String(Keys::BackfillDays), QStringLiteral("7"));
        quillmark2 other;
        other.enableInterface(QString(), QString(), {QStringLiteral("1"), QStringLiteral("3")}, QString(), false);
        QCOMPARE(other.findChild<QComboBox *>(QStringLiteral("daysBox"))->currentText(), QStringLiteral("1"));
    }

    void escapeDoesNotCloseTheWindow()
    {
        quillmark2 window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QSignalSpy finished(&window, &QDialog::finished);
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(window.isVisible());
        QCOMPARE(finished.count(), 0);
    }

    void probeOpensAConnection()
    {
        QTcpServer listening;
        QVERIFY(listening.listen(QHostAddress::LocalHost));
        QVERIFY(probeConnection(QStringLiteral("127.0.0.1"), listening.serverPort(), authDialog::ProbeTimeoutMs));
        // A name from the hosts file, no name server needed.
        QVERIFY(probeConnection(QStringLiteral("localhost"), listening.serverPort(), authDialog::ProbeTimeoutMs));
        const quint16 port = listening.serverPort();
        listening.close();
        QVERIFY(!probeConnection(QStringLiteral("127.0.0.1"), port, authDialog::ProbeTimeoutMs));
    }

    // With the name servers out of reach a lookup takes about 10 s; the probe
    // holds the window for its 5 s at most, the lookup included. Run in a
    // network namespace of its own whose only name server swallows every query.
    void probeIsBoundedWhenNameServersHang()
    {
        if (qEnvironmentVariableIsSet("QM_SILENT_NAME_SERVER")) {
            QUdpSocket sink; // takes the queries and never answers
            QVERIFY(sink.bind(QHostAddress::LocalHost, 53));
            // The next probe, while the lookup still hangs, is bounded by its own budget.
            for (const int budget : {authDialog::ProbeTimeoutMs, 500}) {
                QElapsedTimer clock;
                clock.start();
                QVERIFY(!probeConnection(QStringLiteral("quotes.example.test"), authDialog::ProbePort, budget));
                const qint64 took = clock.elapsed();
                // It waited its whole budget (the lookup really hangs here), and no longer.
                QVERIFY2(took >= budget - 100 && took < budget + 500, qPrintable(QString::number(took)));
            }
            return;
        }
        const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
        const QString ip = QStandardPaths::findExecutable(QStringLiteral("ip"), {"/usr/sbin", "/sbin", "/usr/bin"});
        if (unshare.isEmpty() || ip.isEmpty())
            QSKIP("needs unshare and ip");
        const QString resolvConf = TestEnv::instance()->path(QStringLiteral("resolv.conf"));
        QVERIFY(writeFile(resolvConf, "nameserver 127.0.0.1\noptions timeout:5 attempts:2\n"));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QM_SILENT_NAME_SERVER"), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        const QString script = QStringLiteral("mount --bind \"$1\" /etc/resolv.conf && \"$2\" link set lo up || exit 77; "
                                              "exec \"$3\" probeIsBoundedWhenNameServersHang");
        child.start(unshare, {QStringLiteral("-m"), QStringLiteral("-n"), QStringLiteral("--"), QStringLiteral("sh"),
                              QStringLiteral("-c"), script, QStringLiteral("sh"), resolvConf, ip,
                              QCoreApplication::applicationFilePath()});
        QVERIFY(child.waitForFinished(60000));
        const QByteArray output = child.readAll();
        if (child.exitCode() == 77 || output.contains("unshare failed"))
            QSKIP("no network namespace here");
        QVERIFY2(child.exitCode() == 0, output.constData());
    }

    // A person's copy and another checkout's test copy running on the machine:
    // neither counts for a window built by the tests.
    void copiesBesideTheTestsDoNotCount()
    {
        QList<QProcess *> copies;
        auto cleanup = qScopeGuard([&] {
            for (QProcess *copy : copies) {
                copy->kill();
                copy->waitForFinished();
            }
            qDeleteAll(copies);
        });
        for (const char *scope : {"", "another-checkout"}) {
            QProcessEnvironment env = programEnvironment();
            env.insert(QLatin1String(Platform::InstanceScopeVariable), QLatin1String(scope));
            auto *copy = new QProcess;
            copies << copy;
            copy->setProcessEnvironment(env);
            copy->start(programPath(), QStringList());
            QVERIFY(copy->waitForStarted());
        }
        QTRY_VERIFY_WITH_TIMEOUT(quillmark2::countProductInstances(Platform::processListText()) >= 2, 10000);
        QCOMPARE(quillmark2::countProductInstances(Platform::instanceCheckProcessList()), 0);

        ModalAcceptor acceptor;
        quillmark2 window;
        QCOMPARE(acceptor.count(), 0);
        for (QProcess *copy : copies)
            QCOMPARE(copy->state(), QProcess::Running);
    }

    void secondInstanceIsRefused()
    {
        const QProcessEnvironment env = programEnvironment();

        QProcess first;
        first.setProcessEnvironment(env);
        first.setProcessChannelMode(QProcess::MergedChannels);
        first.start(programPath(), QStringList());
        QVERIFY(first.waitForStarted());
        // The first instance is up once its window exists (it stores the first-run defaults).
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(TestEnv::instance()->settingsDir() +
                                               QStringLiteral("/Quillmark Company/Quillmark.conf")),
                                 10000);

        QProcess second;
        second.setProcessEnvironment(env);
        second.setProcessChannelMode(QProcess::MergedChannels);
        second.start(programPath(), QStringList());
        QVERIFY(second.waitForStarted());
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += second.readAll()).contains("\"Already Running\""), 10000);
        QVERIFY(output.contains("Close it to use here. Quiting!"));

        second.kill();
        second.waitForFinished();
        first.terminate(); // SIGTERM closes the window the normal way
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
    }
};

QM_TEST_MAIN(tst_app)
#include "tst_app.moc"
