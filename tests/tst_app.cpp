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
#include "app/logfile.h"
#include "app/provisioning.h"
#include "app/quillmark2.h"
#include "common/settingskeys.h"
#include "platform/processes.h"
#include "modalhelper.h"
#include "testenv.h"

namespace {

struct ProbeResult
{
    bool connected = false;
    qint64 ms = 0;
    // How late a 10 ms timer of the probing thread ran at worst meanwhile.
    qint64 worstLateMs = 0;
};

// Watches this thread's event loop with a 10 ms timer: the worst lateness seen.
struct LatenessWatch
{
    QElapsedTimer sinceTick;
    QTimer ticker;
    qint64 worstLateMs = 0;

    LatenessWatch()
    {
        ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker, &QTimer::timeout, &ticker,
                         [this] { worstLateMs = qMax(worstLateMs, sinceTick.restart() - 10); });
        sinceTick.start();
        ticker.start(10);
    }
};

// One probe run to its end on this thread's event loop.
ProbeResult probeOnce(const QString &host, quint16 port, int budgetMs = authDialog::ProbeTimeoutMs)
{
    ProbeResult result;
    ConnectivityProbe probe;
    QSignalSpy finished(&probe, &ConnectivityProbe::finished);
    LatenessWatch watch;
    QElapsedTimer clock;
    clock.start();
    probe.start(host, port, budgetMs);
    if (!finished.wait(budgetMs + 3000))
        return result;
    result.ms = clock.elapsed();
    result.connected = finished.first().first().toBool();
    result.worstLateMs = watch.worstLateMs;
    return result;
}

// The probing half of probeInNamespace, run inside the namespace.
void probeInsideNamespace(const QString &kind)
{
    if (kind == QLatin1String("nameservers")) {
        QUdpSocket sink; // takes the queries and never answers
        QVERIFY(sink.bind(QHostAddress::LocalHost, 53));
        // The next probe, while the lookup still hangs, is bounded by its own budget.
        for (const int budget : {authDialog::ProbeTimeoutMs, 500}) {
            const ProbeResult r = probeOnce(QStringLiteral("quotes.example.test"), authDialog::ProbePort, budget);
            QVERIFY(!r.connected);
            // It waited its whole budget (the lookup really hangs here), and no longer.
            QVERIFY2(r.ms >= budget - 100 && r.ms < budget + 500, qPrintable(QString::number(r.ms)));
            QVERIFY2(r.worstLateMs < 200, qPrintable(QString::number(r.worstLateMs)));
        }
        return;
    }
    // The controller's own probe, as its timer runs it, to the host whose packets vanish.
    qputenv("QUILLMARK_PROBE_HOST", "192.0.2.7");
    authDialog controller;
    QSignalSpy done(&controller, &authDialog::connectionCheckDone);
    LatenessWatch watch;
    QElapsedTimer clock;
    clock.start();
    controller.checkConnection();
    QVERIFY(done.wait(authDialog::ProbeTimeoutMs + 3000));
    const qint64 took = clock.elapsed();
    QCOMPARE(done.first().first().toBool(), false);
    QVERIFY2(took >= authDialog::ProbeTimeoutMs - 100 && took < authDialog::ProbeTimeoutMs + 500,
             qPrintable(QString::number(took)));
    // A probe that waits on the window's thread holds it for the whole budget.
    QVERIFY2(watch.worstLateMs < 200, qPrintable(QString::number(watch.worstLateMs)));
}

// Runs the current test function again in a network namespace of its own,
// prepared for `kind`: "nameservers" (the only name server swallows every
// query) or "dropped" (a documentation-range host behind a link whose far end is
// down, so every packet to it vanishes; nothing leaves the namespace).
void probeInNamespace(const char *kind)
{
    const QString inside = qEnvironmentVariable("QM_PROBE_NAMESPACE");
    if (!inside.isEmpty()) {
        probeInsideNamespace(inside);
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
    env.insert(QStringLiteral("QM_PROBE_NAMESPACE"), QLatin1String(kind));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    const QString script = QStringLiteral(
        "mount --bind \"$1\" /etc/resolv.conf && \"$2\" link set lo up || exit 77; "
        "if [ \"$4\" = dropped ]; then \"$2\" link add qmd0 type veth peer name qmd1 && \"$2\" link set qmd0 up && "
        "\"$2\" addr add 192.0.2.1/24 dev qmd0 && "
        "\"$2\" neigh add 192.0.2.7 lladdr 02:00:00:00:00:07 dev qmd0 nud permanent || exit 77; fi; "
        "exec \"$3\" \"$5\"");
    child.start(unshare, {QStringLiteral("-m"), QStringLiteral("-n"), QStringLiteral("--"), QStringLiteral("sh"),
                          QStringLiteral("-c"), script, QStringLiteral("sh"), resolvConf, ip,
                          QCoreApplication::applicationFilePath(), QLatin1String(kind),
                          QString::fromLatin1(QTest::currentTestFunction())});
    QVERIFY(child.waitForFinished(60000));
    const QByteArray output = child.readAll();
    if (child.exitCode() == 77 || output.contains("unshare failed"))
        QSKIP("no network namespace here");
    QVERIFY2(child.exitCode() == 0, output.constData());
}

} // namespace

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
        QVERIFY(window.profile().eodEnabled);

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

    // The log for support: the program's own categories at info and above, one
    // line each with its time and category, while every message still reaches the
    // handler that was there before.
    void logFileTakesTheProgramsMessages()
    {
        static QStringList before;
        before.clear();
        const QtMessageHandler original = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &text) { before << text; });
        const QString folder = TestEnv::instance()->path(QStringLiteral("logs"));
        {
            LogFile log(folder);
            QLoggingCategory live("quillmark.live");
            QLoggingCategory other("feedsim.stream");
            QLoggingCategory lookalike("quillmarkish");
            qCInfo(live) << "reconnected after" << 3 << "s";
            qCWarning(live).noquote() << "two\nlines";
            qCDebug(live) << "debug is left out";
            qCWarning(other).noquote() << "not the program's";
            qCWarning(lookalike).noquote() << "not the program's either";
            qWarning().noquote() << "no category";
        }
        qInstallMessageHandler(original);
        for (const char *text : {"two\nlines", "not the program's", "not the program's either", "no category"})
            QVERIFY2(before.contains(QLatin1String(text)), text);
        const QString path = folder + QLatin1Char('/') + LogFile::fileNameFor(QDate::currentDate());
        const QList<QByteArray> lines = readFile(path).split('\n');
        QCOMPARE(lines.size(), 3); // two lines and the empty rest after the last line feed
        const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} "));
        QVERIFY2(stamp.match(QString::fromUtf8(lines[0])).hasMatch(), lines[0].constData());
        QVERIFY(lines[0].endsWith(" info quillmark.live: reconnected after 3 s"));
        QVERIFY(lines[1].endsWith(" warning quillmark.live: two lines"));
    }

    // Fourteen days are kept, 50 MB at most in all: the oldest days go first, and
    // when today's file alone fills the limit, further lines are left out.
    void logFileKeepsItsLimits()
    {
        const QString folder = TestEnv::instance()->path(QStringLiteral("logs"));
        QVERIFY(QDir().mkpath(folder));
        const QDate today = QDate::currentDate();
        auto fileOf = [&](int daysAgo) { return folder + QLatin1Char('/') + LogFile::fileNameFor(today.addDays(-daysAgo)); };
        for (int daysAgo : {20, 14, 13, 2, 1})
            QVERIFY(writeFile(fileOf(daysAgo), QByteArray(400, 'x')));
        QVERIFY(writeFile(folder + QStringLiteral("/notes.txt"), "kept"));
        QLoggingCategory app("quillmark.app");
        {
            LogFile log(folder, 1000);
            qCInfo(app) << "first";
        }
        // 20 and 14 days ago are past the fourteen days; 13, 2 and 1 with today's
        // line make more than 1000 bytes, so the oldest of them went too.
        QVERIFY(!QFile::exists(fileOf(20)));
        QVERIFY(!QFile::exists(fileOf(14)));
        QVERIFY(!QFile::exists(fileOf(13)));
        QVERIFY(QFile::exists(fileOf(2)));
        QVERIFY(QFile::exists(fileOf(1)));
        QVERIFY(readFile(fileOf(0)).endsWith(" info quillmark.app: first\n"));
        QVERIFY(QFile::exists(folder + QStringLiteral("/notes.txt")));
        {
            LogFile log(folder, 1000);
            for (int i = 0; i < 100; ++i)
                qCInfo(app) << "line" << i;
        }
        qint64 total = 0;
        for (const QFileInfo &file : QDir(folder).entryInfoList({QStringLiteral("quillmark-*.log")}, QDir::Files))
            total += file.size();
        QVERIFY2(total <= 1000, qPrintable(QString::number(total)));
        QVERIFY(!QFile::exists(fileOf(2)));
        QVERIFY(!QFile::exists(fileOf(1)));
        const QByteArray kept = readFile(fileOf(0));
        QVERIFY(kept.contains("quillmark.app: line 0\n"));
        QVERIFY(!kept.contains("quillmark.app: line 99\n"));
    }

    void probeOpensAConnection()
    {
        QTcpServer listening;
        QVERIFY(listening.listen(QHostAddress::LocalHost));
        QCOMPARE(probeOnce(QStringLiteral("127.0.0.1"), listening.serverPort()).connected, true);
        // A name from the hosts file, no name server needed.
        QCOMPARE(probeOnce(QStringLiteral("localhost"), listening.serverPort()).connected, true);
        const quint16 port = listening.serverPort();
        listening.close();
        const ProbeResult refused = probeOnce(QStringLiteral("127.0.0.1"), port);
        QCOMPARE(refused.connected, false);
        QVERIFY2(refused.ms < 2000, qPrintable(QString::number(refused.ms)));

        // A second start while one runs is ignored: one answer per probe.
        ConnectivityProbe probe;
        QSignalSpy finished(&probe, &ConnectivityProbe::finished);
        QTcpServer again;
        QVERIFY(again.listen(QHostAddress::LocalHost));
        probe.start(QStringLiteral("127.0.0.1"), again.serverPort(), authDialog::ProbeTimeoutMs);
        probe.start(QStringLiteral("127.0.0.1"), port, authDialog::ProbeTimeoutMs);
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.takeFirst().first().toBool(), true);
        QTest::qWait(100);
        QCOMPARE(finished.count(), 0);
    }

    // Probes that cannot succeed, each in a network namespace of its own: the name
    // servers swallow every query (a lookup takes about 10 s), or the probe host's
    // packets are dropped (a trader's internet gone, the name still cached). Each
    // probe ends within its budget, and the window's thread keeps running meanwhile.
    void probeIsBoundedWhenNameServersHang() { probeInNamespace("nameservers"); }
    void probeNeverBlocksTheWindow() { probeInNamespace("dropped"); }

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
