#include <QtTest>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QFontInfo>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include "app/installfiles.h"
#include "feedsim.h"
#include "feedsimupdate.h"
#include "modalhelper.h"
#include "platform/installroot.h"
#include "platform/restartscript.h"
#include "testenv.h"
#include "updater/updator.h"
#include "updater/updatorworker.h"

namespace {

// What one startDownload call reported, collected on the test's thread.
struct WorkerRun
{
    int finishedCount = 0;
    bool ok = false;
    QString text;
    QStringList logs;
    qlonglong lastReceived = -1;
    bool ended = false; // the call returned within the wait
};

// Runs one startDownload on a thread of its own, as the update sequence does, and
// waits (bounded) until it has reported and its thread has ended.
WorkerRun runWorker(const QString &url, const UpdatorWorker::Limits &limits = UpdatorWorker::Limits(),
                    int waitMs = 20000)
{
    WorkerRun run;
    QObject receiver;
    QThread thread;
    auto *worker = new UpdatorWorker;
    worker->setLimits(limits);
    worker->moveToThread(&thread);
    QObject::connect(worker, &UpdatorWorker::downloadFinished, &receiver, [&run](bool ok, const QString &text) {
        ++run.finishedCount;
        run.ok = ok;
        run.text = text;
    });
    QObject::connect(worker, &UpdatorWorker::logMessage, &receiver, [&run](const QString &msg) { run.logs << msg; });
    QObject::connect(worker, &UpdatorWorker::downloadProgress, &receiver,
                     [&run](qlonglong received, qlonglong) { run.lastReceived = received; });
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
    QMetaObject::invokeMethod(worker, "startDownload", Qt::QueuedConnection, Q_ARG(QString, url));

    QDeadlineTimer deadline(waitMs);
    while (run.finishedCount == 0 && !deadline.hasExpired())
        QTest::qWait(10);
    thread.quit();
    run.ended = thread.wait(qMax<qint64>(1000, deadline.remainingTime()));
    // Whatever the worker emitted before its thread ended is queued by now.
    QCoreApplication::sendPostedEvents(&receiver);
    return run;
}

QString archivePath()
{
    return Platform::installPathFwd(QLatin1String(InstallFiles::UpdateArchive));
}

QString rootFolder()
{
    return Platform::installPathFwd();
}

QString stagingFolder()
{
    return Platform::installPathFwd(QLatin1String(InstallFiles::UpdateStaging));
}

QString staged(const char *name)
{
    return stagingFolder() + QLatin1Char('/') + QLatin1String(name);
}

// An executable shell script in its own folder, used as a stand-in archiver.
QString writeScript(QTemporaryDir &dir, const QByteArray &body)
{
    const QString path = dir.path() + QStringLiteral("/fake7za");
    if (!writeFile(path, QByteArray("#!/bin/sh\n") + body + '\n'))
        return QString();
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

// A restart script that only leaves a note in the folder it runs in.
QByteArray markerScript()
{
    return QByteArrayLiteral("#!/bin/sh\necho \"args=$# dir=$(pwd -P)\" > restart_marker.txt\n");
}

QString restartMarker()
{
    return Platform::installPathFwd(QStringLiteral("restart_marker.txt"));
}

} // namespace

class tst_updater : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<FeedSim> m_sim;

    QString archiveUrl() const
    {
        return m_sim->httpBaseUrl() + QLatin1String(FeedSimUpdate::ArchivePath);
    }

    // Closes the announcement by its own timer, made short, and records the box.
    void shortenAnnouncement(QStringList *seen, int *closeInterval)
    {
        auto *poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [poll, seen, closeInterval] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            poll->stop();
            poll->deleteLater();
            *seen << box->windowTitle() << box->text();
            const auto timers = box->findChildren<QTimer *>();
            if (timers.size() != 1 || !timers.first()->isActive() || !timers.first()->isSingleShot()) {
                box->accept(); // the test fails on the recorded interval
                return;
            }
            *closeInterval = timers.first()->interval();
            timers.first()->setInterval(10);
        });
        poll->start(5);
    }

private slots:
    void init()
    {
        TestEnv::instance()->reset();
        qunsetenv("QUILLMARK_7ZA");
        m_sim.reset(new FeedSim);
        QVERIFY(m_sim->start());
    }

    void cleanup()
    {
        m_sim.reset();
        qunsetenv("QUILLMARK_7ZA");
    }

    void isUpdateDue_data()
    {
        QTest::addColumn<QString>("running");
        QTest::addColumn<QString>("latest");
        QTest::addColumn<bool>("due");
        const QString running = QStringLiteral("7.26");
        QTest::newRow("7.3 sorts after 7.26") << running << QStringLiteral("7.3") << true;
        QTest::newRow("longer with the same start") << running << QStringLiteral("7.26.1") << true;
        QTest::newRow("8") << running << QStringLiteral("8") << true;
        QTest::newRow("same version") << running << QStringLiteral("7.26") << false;
        QTest::newRow("10.0 sorts before 7") << running << QStringLiteral("10.0") << false;
        QTest::newRow("older") << running << QStringLiteral("7.25") << false;
        QTest::newRow("missing") << running << QString() << false;
        // Code units, not a locale's order: "B" (66) sorts before "b" (98).
        QTest::newRow("upper after lower") << QStringLiteral("7.26b") << QStringLiteral("7.26B") << false;
        QTest::newRow("lower after upper") << QStringLiteral("7.26B") << QStringLiteral("7.26b") << true;
    }

    void isUpdateDue()
    {
        QFETCH(QString, running);
        QFETCH(QString, latest);
        QFETCH(bool, due);
        QCOMPARE(updator::isUpdateDue(running, latest), due);
    }

    void feedsimOffersTheUpdateUntilDelivered()
    {
        QCOMPARE(m_sim->startupSettings().latestVersion, QStringLiteral("7.26"));
        m_sim->options().offerUpdate = true;
        QCOMPARE(m_sim->startupSettings().latestVersion, QLatin1String(FeedSimUpdate::OfferedVersion));
        QCOMPARE(m_sim->startupSettings().latestVersionPath, archiveUrl());
        QVERIFY(updator::isUpdateDue(QStringLiteral("7.26"), m_sim->startupSettings().latestVersion));

        const WorkerRun run = runWorker(archiveUrl());
        QVERIFY(run.ok);
        QCOMPARE(m_sim->update()->deliveredCount(), 1);
        QCOMPARE(m_sim->startupSettings().latestVersion, QStringLiteral("7.26"));
    }

    void workerStagesTheReleaseAndDeletesTheArchive()
    {
        // The installed files stay as they are until the restart script moves the
        // release in; what an earlier update left in the staging folder goes.
        QVERIFY(writeFile(Platform::installPathFwd(QLatin1String(FeedSimUpdate::MarkerName)), "old release\n"));
        QVERIFY(writeFile(staged("left/over.txt"), "from an earlier update\n"));

        const QString url = archiveUrl();
        const WorkerRun run = runWorker(url);
        QVERIFY(run.ended);
        QCOMPARE(run.finishedCount, 1);
        QVERIFY2(run.ok, qPrintable(run.text));
        QCOMPARE(run.text, rootFolder());
        QCOMPARE(run.text, TestEnv::instance()->root());
        QCOMPARE(readFile(Platform::installPathFwd(QLatin1String(FeedSimUpdate::MarkerName))), "old release\n");
        QVERIFY(!QFile::exists(Platform::installPathFwd(QLatin1String(FeedSimUpdate::LaunchScriptName))));
        QCOMPARE(readFile(staged(FeedSimUpdate::MarkerName)), FeedSimUpdate::markerContent());
        QCOMPARE(readFile(staged(FeedSimUpdate::LaunchScriptName)), m_sim->update()->launchScript());
        QVERIFY(!QFileInfo::exists(staged("left")));
        QVERIFY(!QFile::exists(archivePath()));
        QCOMPARE(run.lastReceived, qlonglong(m_sim->update()->archive().size()));

        const QStringList expected = {
            QStringLiteral("UpdatorWorker: startDownload called with URL: ") + url,
            QStringLiteral("UpdatorWorker: download finished OK."),
            QStringLiteral("Using fixed update path: ") + archivePath(),
            QStringLiteral("Saved ZIP to ") + archivePath(),
            QStringLiteral("Extracting to fixed path: ") + rootFolder(),
            QStringLiteral("Extraction finished.")};
        QCOMPARE(run.logs, expected);
    }

    void addressWithBlanksIsTrimmed()
    {
        const QString padded = QStringLiteral("  ") + archiveUrl() + QStringLiteral(" \t");
        const WorkerRun run = runWorker(padded);
        QCOMPARE(run.finishedCount, 1);
        QVERIFY2(run.ok, qPrintable(run.text));
        QVERIFY(!run.logs.isEmpty());
        QCOMPARE(run.logs.first(), QStringLiteral("UpdatorWorker: startDownload called with URL: ") + padded);
        QCOMPARE(m_sim->http()->lastRequest(QLatin1String(FeedSimUpdate::Route)).path,
                 QLatin1String(FeedSimUpdate::ArchivePath));
    }

    void downloadFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expectedText"); // empty: any text but the time-out's
        QTest::newRow("empty address") << QStringLiteral("empty") << QStringLiteral("LatestVersionPath empty");
        QTest::newRow("blank address") << QStringLiteral("blank") << QStringLiteral("LatestVersionPath empty");
        QTest::newRow("HTTP 404") << QStringLiteral("404") << QString();
        QTest::newRow("nobody listening") << QStringLiteral("refused") << QString();
        QTest::newRow("server never answers") << QStringLiteral("stall")
                                              << QStringLiteral("Timeout or unknown network error");
    }

    void downloadFailures()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expectedText);

        QString url = archiveUrl();
        UpdatorWorker::Limits limits;
        if (kind == QLatin1String("empty")) {
            url.clear();
        } else if (kind == QLatin1String("blank")) {
            url = QStringLiteral(" \t ");
        } else if (kind == QLatin1String("404")) {
            m_sim->update()->setAnswer(UpdateAnswer::NotFound);
        } else if (kind == QLatin1String("refused")) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            url = QStringLiteral("http://127.0.0.1:%1/update/Quillmark_update.zip").arg(probe.serverPort());
            probe.close();
        } else if (kind == QLatin1String("stall")) {
            m_sim->update()->setAnswer(UpdateAnswer::Stall);
            limits.downloadMs = 300;
        }

        QElapsedTimer clock;
        clock.start();
        const WorkerRun run = runWorker(url, limits);
        QVERIFY(run.ended);
        QCOMPARE(run.finishedCount, 1);
        QVERIFY(!run.ok);
        QVERIFY(!run.text.isEmpty());
        QVERIFY(!QFile::exists(archivePath()));
        QCOMPARE(run.logs.first(), QStringLiteral("UpdatorWorker: startDownload called with URL: ") + url);
        QCOMPARE(run.logs.size(), 2);
        if (kind == QLatin1String("empty") || kind == QLatin1String("blank")) {
            QCOMPARE(run.logs.last(), QStringLiteral("UpdatorWorker: LatestVersionPath empty!"));
            QCOMPARE(m_sim->update()->requestCount(), 0);
        } else {
            QCOMPARE(run.logs.last(), QStringLiteral("Download failed: ") + run.text);
        }
        if (expectedText.isEmpty())
            QVERIFY2(run.text != QLatin1String("Timeout or unknown network error"), qPrintable(run.text));
        else
            QCOMPARE(run.text, expectedText);
        if (kind == QLatin1String("stall"))
            QVERIFY2(clock.elapsed() < 5000, "the whole-download limit did not cut the transfer off");
    }

    void missingArchiver()
    {
        qputenv("QUILLMARK_7ZA", "/nonexistent/7za");
        const WorkerRun run = runWorker(archiveUrl());
        QCOMPARE(run.finishedCount, 1);
        QVERIFY(!run.ok);
        QCOMPARE(run.text, QStringLiteral("7za.exe not found or failed to start"));
        QCOMPARE(run.logs.last(),
                 QStringLiteral("Failed to start 7za.exe. Falling back to built-in extraction not implemented."));
        // The download itself was fine; the archive stays for another try.
        QCOMPARE(readFile(archivePath()), m_sim->update()->archive());
        QVERIFY(!QFile::exists(Platform::installPathFwd(QLatin1String(FeedSimUpdate::MarkerName))));
    }

    void refusedArchiveLeavesTheInstallAlone_data()
    {
        QTest::addColumn<bool>("truncated");
        QTest::newRow("cut short") << true;
        QTest::newRow("entry outside the folder") << false;
    }

    // Nothing of a damaged or escaping release may be unpacked: not the entries
    // before the damage, not the ones inside the folder.
    void refusedArchiveLeavesTheInstallAlone()
    {
        QFETCH(bool, truncated);
        if (truncated)
            m_sim->options().brokenUpdate = true;
        else
            m_sim->update()->setAnswer(UpdateAnswer::Escaping);
        const QString installed = Platform::installPathFwd(QLatin1String(FeedSimUpdate::LaunchScriptName));
        QVERIFY(writeFile(installed, "installed script\n"));
        const QString outside = QDir(rootFolder()).absoluteFilePath(QLatin1String(FeedSimUpdate::EscapingName));

        const WorkerRun run = runWorker(archiveUrl());
        QCOMPARE(run.finishedCount, 1);
        QVERIFY(!run.ok);
        QCOMPARE(run.text, QStringLiteral("Unzip timed out or failed"));
        QVERIFY(run.logs.last().startsWith(QStringLiteral("Update archive refused: ")));
        QVERIFY(!run.logs.contains(QStringLiteral("Extraction finished.")));
        QVERIFY(!QFile::exists(Platform::installPathFwd(QLatin1String(FeedSimUpdate::MarkerName))));
        QCOMPARE(readFile(installed), QByteArray("installed script\n"));
        QVERIFY(!QFile::exists(QDir::cleanPath(outside)));
        QVERIFY(QFile::exists(archivePath()));
        if (truncated)
            QVERIFY(readFile(archivePath()).size() < m_sim->update()->archive().size());
        QCOMPARE(m_sim->update()->deliveredCount(), 0);
    }

    void archiverExitCodes_data()
    {
        QTest::addColumn<QByteArray>("ending");
        QTest::addColumn<bool>("ok");
        QTest::newRow("0: success") << QByteArray("exit 0") << true;
        QTest::newRow("1: warnings only") << QByteArray("exit 1") << true;
        QTest::newRow("2: fatal error") << QByteArray("exit 2") << false;
        QTest::newRow("7: command line error") << QByteArray("exit 7") << false;
        QTest::newRow("255: stopped by the user") << QByteArray("exit 255") << false;
        QTest::newRow("crash") << QByteArray("kill -SEGV $$") << false;
    }

    void archiverExitCodes()
    {
        QFETCH(QByteArray, ending);
        QFETCH(bool, ok);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString calls = dir.path() + QStringLiteral("/calls.txt");
        const QString fake = writeScript(
            dir, "for a in \"$@\"; do echo \"$a\"; done > '" + calls.toUtf8() + "'\npwd -P >> '" + calls.toUtf8() + "'\n" + ending);
        QVERIFY(!fake.isEmpty());
        qputenv("QUILLMARK_7ZA", fake.toUtf8());

        const WorkerRun run = runWorker(archiveUrl());
        QCOMPARE(run.finishedCount, 1);
        QCOMPARE(run.ok, ok);
        const QString root = QFileInfo(rootFolder()).canonicalFilePath();
        const QString expectedCall = QStringList{QStringLiteral("x"), QStringLiteral("-y"), archivePath(),
                                                 QStringLiteral("-o") + stagingFolder(), root}
                                         .join(QLatin1Char('\n'))
                                     + QLatin1Char('\n');
        QCOMPARE(QString::fromUtf8(readFile(calls)), expectedCall);
        if (ok) {
            QCOMPARE(run.text, rootFolder());
            QCOMPARE(run.logs.last(), QStringLiteral("Extraction finished."));
            QVERIFY(!QFile::exists(archivePath()));
        } else {
            QCOMPARE(run.text, QStringLiteral("Unzip timed out or failed"));
            QCOMPARE(run.logs.last(), QStringLiteral("7za timeout/failed."));
            QVERIFY(QFile::exists(archivePath()));
            // Whatever a failed archiver left half unpacked is not offered as a release.
            QVERIFY(!QFileInfo::exists(stagingFolder()));
        }
    }

    void archiverRunLimit()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString fake = writeScript(dir, "exec sleep 30");
        QVERIFY(!fake.isEmpty());
        qputenv("QUILLMARK_7ZA", fake.toUtf8());
        UpdatorWorker::Limits limits;
        limits.archiverRunMs = 300;

        QElapsedTimer clock;
        clock.start();
        const WorkerRun run = runWorker(archiveUrl(), limits);
        QCOMPARE(run.finishedCount, 1);
        QVERIFY(!run.ok);
        QCOMPARE(run.text, QStringLiteral("Unzip timed out or failed"));
        QCOMPARE(run.logs.last(), QStringLiteral("7za timeout/failed."));
        QVERIFY(QFile::exists(archivePath()));
        QVERIFY2(clock.elapsed() < 10000, "the archiver's run limit was not kept");
    }

    void archiveThatCannotBeWritten_data()
    {
        QTest::addColumn<bool>("fullDisk");
        QTest::newRow("cannot open") << false;
        QTest::newRow("disk full") << true;
    }

    void archiveThatCannotBeWritten()
    {
        QFETCH(bool, fullDisk);
        if (fullDisk) {
            if (!QFileInfo::exists(QStringLiteral("/dev/full")))
                QSKIP("no /dev/full here");
            // Opening works, writing does not: the archive must not be taken as saved.
            QVERIFY(QFile::link(QStringLiteral("/dev/full"), archivePath()));
        } else {
            QVERIFY(QDir().mkpath(archivePath())); // a folder in the archive's place
        }
        const WorkerRun run = runWorker(archiveUrl());
        QCOMPARE(run.finishedCount, 1);
        QVERIFY(!run.ok);
        if (fullDisk) {
            QCOMPARE(run.text, QStringLiteral("Write failed"));
            QCOMPARE(run.logs.last(), QStringLiteral("Write failed for ") + archivePath());
        } else {
            QCOMPARE(run.text, QStringLiteral("Cannot open file for write: ") + archivePath());
            QCOMPARE(run.logs.last(), run.text);
        }
        QVERIFY(!run.logs.contains(QStringLiteral("Extracting to fixed path: ") + rootFolder()));
    }

    void restartScriptSeam()
    {
        QCOMPARE(Platform::restartScriptPath(), Platform::installPathFwd(QStringLiteral("QuillLaunch.sh")));
        QVERIFY(!Platform::scriptExists());
        QVERIFY(!Platform::startRestartScript());
        QVERIFY(QDir().mkpath(Platform::restartScriptPath())); // a folder is no script
        QVERIFY(!Platform::scriptExists());
        QVERIFY(QDir().rmdir(Platform::restartScriptPath()));

        // Not executable on purpose: the seam runs it through the shell.
        QVERIFY(writeFile(Platform::restartScriptPath(), markerScript()));
        QVERIFY(Platform::scriptExists());
        QVERIFY(Platform::startRestartScript());
        QTRY_VERIFY_WITH_TIMEOUT(readFile(restartMarker()).endsWith('\n'), 5000);
        const QString root = QFileInfo(rootFolder()).canonicalFilePath();
        QCOMPARE(QString::fromUtf8(readFile(restartMarker())).trimmed(), QStringLiteral("args=0 dir=") + root);
    }

    void launchScriptsStartTheProgramAgain_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::newRow("installed") << readFile(QStringLiteral(QM_SOURCE_DIR "/resources/QuillLaunch.sh"));
        QTest::newRow("from the update archive") << FeedSimUpdate::defaultLaunchScript();
    }

    void launchScriptsStartTheProgramAgain()
    {
        QFETCH(QByteArray, script);
        QVERIFY(script.startsWith("#!/bin/sh"));
        QVERIFY(writeFile(Platform::restartScriptPath(), script));
        // A stand-in for the program: notes the root it was given and where it runs.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString started = dir.path() + QStringLiteral("/started.txt");
        const QString program = writeScript(dir, "echo \"root=$QUILLMARK_ROOT dir=$(pwd -P) args=$#\" > '" + started.toUtf8() + "'");
        QVERIFY(!program.isEmpty());
        qputenv("QUILLMARK_BIN", program.toUtf8());
        const bool launched = Platform::startRestartScript();
        qunsetenv("QUILLMARK_BIN");
        QVERIFY(launched);
        QTRY_VERIFY_WITH_TIMEOUT(readFile(started).endsWith('\n'), 10000);
        const QString root = QFileInfo(rootFolder()).canonicalFilePath();
        QCOMPARE(QString::fromUtf8(readFile(started)).trimmed(),
                 QStringLiteral("root=%1 dir=%1 args=0").arg(root));
    }

    // After the program has ended, the restart script moves the staged release into
    // place; a release that cannot be moved whole leaves the installed one as it was.
    void launchScriptInstallsTheStagedRelease_data()
    {
        QTest::addColumn<bool>("blocked");
        QTest::newRow("every file moves") << false;
        QTest::newRow("a file cannot be moved") << true;
    }

    void launchScriptInstallsTheStagedRelease()
    {
        QFETCH(bool, blocked);
        auto installed = [](const char *name) { return Platform::installPathFwd(QLatin1String(name)); };
        QVERIFY(writeFile(Platform::restartScriptPath(), readFile(QStringLiteral(QM_SOURCE_DIR "/resources/QuillLaunch.sh"))));
        QVERIFY(writeFile(installed("program.txt"), "old program\n"));
        QVERIFY(writeFile(installed("formats/live.txt"), "old format\n"));
        QVERIFY(writeFile(installed("untouched.txt"), "kept\n"));
        QVERIFY(writeFile(staged("program.txt"), "new program\n"));
        QVERIFY(writeFile(staged("formats/live.txt"), "new format\n"));
        QVERIFY(writeFile(staged("added.txt"), "new file\n"));
        if (blocked) {
            // The release wants a folder where the installation has a file: nothing can go there.
            QVERIFY(writeFile(staged("plugins/style.dll"), "new plugin\n"));
            QVERIFY(writeFile(installed("plugins"), "a file\n"));
        }

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString started = dir.path() + QStringLiteral("/started.txt");
        const QString program = writeScript(dir, "cat '" + installed("program.txt").toUtf8() + "' > '" + started.toUtf8() + "'");
        qputenv("QUILLMARK_BIN", program.toUtf8());
        const bool launched = Platform::startRestartScript();
        qunsetenv("QUILLMARK_BIN");
        QVERIFY(launched);
        QTRY_VERIFY_WITH_TIMEOUT(readFile(started).endsWith('\n'), 10000);

        QVERIFY(!QFileInfo::exists(stagingFolder()));
        QVERIFY(!QFileInfo::exists(installed("UpdateBackup")));
        QCOMPARE(readFile(installed("untouched.txt")), "kept\n");
        const QString note = updator::takeFailedUpdateNote();
        if (!blocked) {
            QCOMPARE(readFile(started), "new program\n");
            QCOMPARE(readFile(installed("formats/live.txt")), "new format\n");
            QCOMPARE(readFile(installed("added.txt")), "new file\n");
            QVERIFY(note.isNull());
        } else {
            // The installed release runs, whole, and the next start is told once.
            QCOMPARE(readFile(started), "old program\n");
            QCOMPARE(readFile(installed("formats/live.txt")), "old format\n");
            QVERIFY(!QFileInfo::exists(installed("added.txt")));
            QCOMPARE(readFile(installed("plugins")), "a file\n");
            QVERIFY2(note.contains(QStringLiteral("plugins/style.dll")), qPrintable(note));
            QVERIFY(!QFileInfo::exists(installed(InstallFiles::UpdateFailedNote)));
            QVERIFY(updator::takeFailedUpdateNote().isNull());
            QVERIFY(updator::failedUpdateText(note).endsWith(note));
        }
    }

    void updateSequenceCountsDownAndRestarts()
    {
        m_sim->update()->setLaunchScript(markerScript());
        QDialog controller;
        QFont controllerFont(QStringLiteral("Verdana"));
        controllerFont.setPixelSize(13);
        controller.setFont(controllerFont);

        updator u;
        int quits = 0;
        u.setQuitFunction([&quits] { ++quits; });
        QSignalSpy ready(&u, &updator::updateReady);
        QSignalSpy restarting(&u, &updator::restarting);
        QSignalSpy abandoned(&u, &updator::updateAbandoned);

        QStringList announcement;
        int closeInterval = -1;
        QPointer<QMessageBox> announcementBox;
        qreal announcementPoints = 0;
        QString announcementStyle;
        QMessageBox::Icon announcementIcon = QMessageBox::NoIcon;
        auto *inspect = new QTimer(this);
        connect(inspect, &QTimer::timeout, this, [&, inspect] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                announcementBox = box;
                announcementPoints = box->font().pointSizeF();
                announcementStyle = box->styleSheet();
                announcementIcon = box->icon();
                inspect->deleteLater();
                inspect->stop();
            }
        });
        inspect->start(1);
        shortenAnnouncement(&announcement, &closeInterval);

        u.start(archiveUrl(), &controller);
        QCOMPARE(announcement, (QStringList{QStringLiteral("New Update"),
                                            QStringLiteral("A Latest Update is Available\nApplication Will Restart after Update.")}));
        QCOMPARE(closeInterval, updator::AnnouncementCloseMs);
        QCOMPARE(closeInterval, 5000);
        QCOMPARE(announcementIcon, QMessageBox::Information);
        QCOMPARE(announcementStyle, QStringLiteral("QLabel { font-size: 13pt; color: #102030; } "
                                                   "QPushButton { font-size: 11pt; min-width: 80px; }"));
        QVERIFY2(announcementPoints >= QFontInfo(controllerFont).pointSizeF() + 2.9,
                 qPrintable(QString::number(announcementPoints)));
        QVERIFY(!announcementBox); // gone once it closed

        QVERIFY(u.workerThread());
        QCOMPARE(u.workerThread()->parent(), &controller);
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 20000);
        QCOMPARE(abandoned.count(), 0);
        QCOMPARE(readFile(staged(FeedSimUpdate::MarkerName)), FeedSimUpdate::markerContent());

        QPointer<QMessageBox> box = u.countdownBox();
        QVERIFY(box);
        QCOMPARE(box->windowTitle(), QStringLiteral("Update ready"));
        QCOMPARE(box->text(), QStringLiteral("Update is ready. Restarting in 5 sec..."));
        QCOMPARE(box->icon(), QMessageBox::Information);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box->defaultButton(), box->button(QMessageBox::Ok));
        QVERIFY(box->isVisible());
        QVERIFY(!box->isModal());
        QCOMPARE(box->parentWidget(), &controller);

        QTimer *tick = u.countdownTimer();
        QVERIFY(tick);
        QCOMPARE(tick->parent(), box.data());
        QCOMPARE(tick->interval(), 1000);
        QVERIFY(tick->isActive());
        QVERIFY(!tick->isSingleShot());

        QStringList texts{box->text()};
        connect(tick, &QTimer::timeout, this, [&texts, box] {
            if (box && box->isVisible())
                texts << box->text();
        });
        tick->setInterval(10);
        QTRY_COMPARE_WITH_TIMEOUT(restarting.count(), 1, 5000);
        QStringList expected;
        for (int s = 5; s >= 1; --s)
            expected << QStringLiteral("Update is ready. Restarting in %1 sec...").arg(s);
        QCOMPARE(texts, expected);
        QCOMPARE(quits, 1);
        QCOMPARE(abandoned.count(), 0);
        // No script was installed: the one that came with the update ran, in the install folder.
        const QString root = QFileInfo(rootFolder()).canonicalFilePath();
        QTRY_VERIFY_WITH_TIMEOUT(readFile(restartMarker()).endsWith('\n'), 5000);
        QCOMPARE(QString::fromUtf8(readFile(restartMarker())).trimmed(), QStringLiteral("args=0 dir=") + root);
        QTRY_VERIFY(!box);               // deleted once closed
        QTRY_VERIFY(!u.workerThread()); // thread ended and released
    }

    void countdownEndedEarly_data()
    {
        QTest::addColumn<bool>("scriptPresent");
        QTest::newRow("script present") << true;
        QTest::newRow("script missing") << false;
    }

    void countdownEndedEarly()
    {
        QFETCH(bool, scriptPresent);
        m_sim->update()->setLaunchScript(markerScript());
        QDialog controller;
        updator u;
        int quits = 0;
        u.setQuitFunction([&quits] { ++quits; });
        QSignalSpy ready(&u, &updator::updateReady);
        QSignalSpy restarting(&u, &updator::restarting);
        QSignalSpy abandoned(&u, &updator::updateAbandoned);
        QStringList announcement;
        int closeInterval = -1;
        shortenAnnouncement(&announcement, &closeInterval);
        u.start(archiveUrl(), &controller);
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 20000);
        // Nothing is installed: the release's own script is the only one there is.
        QVERIFY(!Platform::scriptExists());
        if (!scriptPresent)
            QVERIFY(QFile::remove(staged(FeedSimUpdate::LaunchScriptName)));

        QString failureBox;
        if (!scriptPresent)
            acceptNextModal(&failureBox);
        QPointer<QMessageBox> box = u.countdownBox();
        QVERIFY(box);
        // Ok ends the countdown at once, at 5.
        box->button(QMessageBox::Ok)->click();
        QCOMPARE(u.countdown(), 0);
        QVERIFY(!u.countdownTimer() || !u.countdownTimer()->isActive());
        if (scriptPresent) {
            QCOMPARE(restarting.count(), 1);
            QCOMPARE(quits, 1);
            QCOMPARE(abandoned.count(), 0);
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(restartMarker()), 5000);
        } else {
            QCOMPARE(failureBox, QStringLiteral("Update failed|Restart script missing"));
            QCOMPARE(restarting.count(), 0);
            QCOMPARE(quits, 0);
            QCOMPARE(abandoned.count(), 1);
            QCOMPARE(abandoned.first().first().toString(), QStringLiteral("Restart script missing"));
            QTest::qWait(50);
            QVERIFY(!QFile::exists(restartMarker()));
        }
        QTRY_VERIFY(!box);
    }

    void failedUpdateIsShownAndAbandoned()
    {
        m_sim->options().brokenUpdate = true;
        QVERIFY(writeFile(Platform::restartScriptPath(), markerScript()));
        QDialog controller;
        updator u;
        int quits = 0;
        u.setQuitFunction([&quits] { ++quits; });
        QSignalSpy ready(&u, &updator::updateReady);
        QSignalSpy abandoned(&u, &updator::updateAbandoned);
        QStringList announcement;
        int closeInterval = -1;
        shortenAnnouncement(&announcement, &closeInterval);
        u.start(archiveUrl(), &controller);

        QString failureBox;
        acceptNextModal(&failureBox);
        QTRY_COMPARE_WITH_TIMEOUT(abandoned.count(), 1, 20000);
        QCOMPARE(abandoned.first().first().toString(), QStringLiteral("Unzip timed out or failed"));
        QCOMPARE(failureBox, QStringLiteral("Update failed|Unzip timed out or failed"));
        QCOMPARE(ready.count(), 0);
        QVERIFY(!u.countdownBox());
        QCOMPARE(quits, 0);
        QTRY_VERIFY(!u.workerThread());
        QTest::qWait(50);
        QVERIFY(!QFile::exists(restartMarker()));
    }
};

QM_TEST_MAIN(tst_updater)
#include "tst_updater.moc"
