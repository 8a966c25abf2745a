#include <QtTest>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QFontInfo>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include "common/installfiles.h"
#include "common/settingskeys.h"
#include "feedsim.h"
#include "feedsimupdate.h"
#include "modalhelper.h"
#include "procstatus.h"
#include "releasesigner.h"
#include "platform/installroot.h"
#include "platform/restartscript.h"
#include "testenv.h"
#include "platform/programfile.h"
#include "updater/releasemanifest.h"
#include "updater/releaseverifier.h"
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
    QStringList refused; // "version|reason" of each releaseRefused
    qint64 peakRssGrowthKiB = 0; // this process, while the call ran
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
    worker->setAnnouncedVersion(QLatin1String(FeedSimUpdate::OfferedVersion));
    worker->moveToThread(&thread);
    QObject::connect(worker, &UpdatorWorker::downloadFinished, &receiver, [&run](bool ok, const QString &text) {
        ++run.finishedCount;
        run.ok = ok;
        run.text = text;
    });
    QObject::connect(worker, &UpdatorWorker::logMessage, &receiver, [&run](const QString &msg) { run.logs << msg; });
    QObject::connect(worker, &UpdatorWorker::releaseRefused, &receiver,
                     [&run](const QString &version, const QString &reason) { run.refused << version + '|' + reason; });
    QObject::connect(worker, &UpdatorWorker::downloadProgress, &receiver,
                     [&run](qlonglong received, qlonglong) { run.lastReceived = received; });
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
    QMetaObject::invokeMethod(worker, "startDownload", Qt::QueuedConnection, Q_ARG(QString, url));

    const qint64 rssBefore = processStatusKiB("VmRSS:");
    QDeadlineTimer deadline(waitMs);
    while (run.finishedCount == 0 && !deadline.hasExpired()) {
        QTest::qWait(10);
        run.peakRssGrowthKiB = qMax(run.peakRssGrowthKiB, processStatusKiB("VmRSS:") - rssBefore);
    }
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
        QCOMPARE(updator::shouldUpdate(running, latest), due); // nothing refused yet
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

        // The signed list travels with the release and lists every other file of it.
        ReleaseManifest manifest;
        QString why;
        QVERIFY2(ReleaseManifest::fromJson(readFile(staged(InstallFiles::ReleaseManifest)), &manifest, &why),
                 qPrintable(why));
        QCOMPARE(manifest.version, QLatin1String(FeedSimUpdate::OfferedVersion));
        QStringList listed;
        for (const ReleaseFile &file : manifest.files)
            listed << file.path;
        QCOMPARE(listed, (QStringList{QLatin1String(FeedSimUpdate::LaunchScriptName), QLatin1String(FeedSimUpdate::MarkerName)}));
        QVERIFY(QFile::exists(staged(InstallFiles::ReleaseSignature)));
        QVERIFY(run.refused.isEmpty());

        const QStringList expected = {
            QStringLiteral("UpdatorWorker: startDownload called with URL: ") + url,
            QStringLiteral("Using fixed update path: ") + archivePath(),
            QStringLiteral("UpdatorWorker: download finished OK."),
            QStringLiteral("Saved ZIP to ") + archivePath(),
            QStringLiteral("Extracting to fixed path: ") + rootFolder(),
            QStringLiteral("Extraction finished."),
            QStringLiteral("Release 7.27 verified.")};
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
        // Nothing of a failed download stays behind, an error page included.
        QVERIFY(!QFile::exists(archivePath()));
        QCOMPARE(run.logs.first(), QStringLiteral("UpdatorWorker: startDownload called with URL: ") + url);
        if (kind == QLatin1String("empty") || kind == QLatin1String("blank")) {
            QCOMPARE(run.logs.size(), 2);
            QCOMPARE(run.logs.last(), QStringLiteral("UpdatorWorker: LatestVersionPath empty!"));
            QCOMPARE(m_sim->update()->requestCount(), 0);
        } else {
            QCOMPARE(run.logs.size(), 3);
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
        // It unpacks as 7-Zip does, then ends as the row says.
        const QString fake = writeScript(
            dir, "for a in \"$@\"; do echo \"$a\"; done > '" + calls.toUtf8() + "'\npwd -P >> '" + calls.toUtf8()
                     + "'\n7za \"$@\" >/dev/null\n" + ending);
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
            QVERIFY(run.logs.contains(QStringLiteral("Extraction finished.")));
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
            QVERIFY(!QFileInfo(archivePath()).isSymLink()); // the cut archive is gone
        } else {
            QCOMPARE(run.text, QStringLiteral("Cannot open file for write: ") + archivePath());
            QCOMPARE(run.logs.last(), run.text);
            // Nowhere to put it: not even asked for.
            QCOMPARE(m_sim->update()->requestCount(), 0);
        }
        QVERIFY(!run.logs.contains(QStringLiteral("Extracting to fixed path: ") + rootFolder()));
    }

    // Everything a release can be besides the one we signed: each is refused alike,
    // the installed program stays whole, nothing of the release is left, and the log
    // names the reason.
    void refusedReleases_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        const QString program = Platform::programFileName();
        QTest::newRow("byte changed in a data file") << "marker" << "file update_marker.txt differs";
        QTest::newRow("byte changed in the restart script") << "script" << "file QuillLaunch.sh differs";
        QTest::newRow("byte changed in the program") << "program" << QStringLiteral("file %1 differs").arg(program);
        QTest::newRow("byte changed in release.json") << "manifest" << "bad signature";
        QTest::newRow("release.sig from another release") << "signature" << "bad signature";
        QTest::newRow("file added") << "added" << "file plugins/extra.dll not listed";
        QTest::newRow("file removed") << "removed" << "file update_marker.txt missing";
        QTest::newRow("file added and one removed") << "swapped" << "file Update_marker.txt not listed; file update_marker.txt missing";
        QTest::newRow("unsigned") << "unsigned" << "unsigned release (no release.json)";
        QTest::newRow("signature removed") << "nosig" << "unsigned release (no release.sig)";
        QTest::newRow("signed by another key") << "otherkey" << "bad signature";
        QTest::newRow("older release offered as the announced one") << "older" << "version 7.25 offered as 7.27";
    }

    void refusedReleases()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        const QString program = Platform::programFileName();
        FeedSimUpdate *update = m_sim->update();
        QVERIFY2(!update->signingKey().isEmpty(), "no signing key for the reference server's release");
        update->setExtraFiles({{program, QByteArrayLiteral("#!/bin/sh\necho new program\n")}});
        using Files = FeedSimUpdate::Files;
        auto flipLastByte = [](QByteArray &data) { data[data.size() - 1] = char(data.at(data.size() - 1) ^ 0x01); };
        QTemporaryDir keys;
        QVERIFY(keys.isValid());
        if (kind == QLatin1String("marker") || kind == QLatin1String("script") || kind == QLatin1String("program")
            || kind == QLatin1String("manifest")) {
            const QString name = kind == QLatin1String("marker")   ? QLatin1String(FeedSimUpdate::MarkerName)
                                 : kind == QLatin1String("script") ? QLatin1String(FeedSimUpdate::LaunchScriptName)
                                 : kind == QLatin1String("program") ? program
                                                                    : QLatin1String(InstallFiles::ReleaseManifest);
            update->setTamper([name, flipLastByte](Files &files) { flipLastByte(files[name]); });
        } else if (kind == QLatin1String("signature")) {
            // A genuine signature, of another genuine release.
            const QByteArray other = ReleaseSigner::signatureLine("{}", update->signingKey());
            update->setTamper([other](Files &files) { files[QLatin1String(InstallFiles::ReleaseSignature)] = other; });
        } else if (kind == QLatin1String("added")) {
            update->setTamper([](Files &files) { files[QStringLiteral("plugins/extra.dll")] = "MZ"; });
        } else if (kind == QLatin1String("removed")) {
            update->setTamper([](Files &files) { files.remove(QLatin1String(FeedSimUpdate::MarkerName)); });
        } else if (kind == QLatin1String("swapped")) {
            update->setTamper([](Files &files) {
                files[QStringLiteral("Update_marker.txt")] = files.take(QLatin1String(FeedSimUpdate::MarkerName));
            });
        } else if (kind == QLatin1String("unsigned")) {
            update->setSigningKey(QByteArray());
        } else if (kind == QLatin1String("nosig")) {
            update->setTamper([](Files &files) { files.remove(QLatin1String(InstallFiles::ReleaseSignature)); });
        } else if (kind == QLatin1String("otherkey")) {
            QCOMPARE(QProcess::execute(QStringLiteral(QM_SOURCE_DIR "/scripts/release-key"), {keys.path()}), 0);
            QString error;
            const QByteArray other = ReleaseSigner::readSecretKey(keys.filePath(QStringLiteral("release.key")), &error);
            QVERIFY2(!other.isEmpty(), qPrintable(error));
            update->setSigningKey(other);
        } else if (kind == QLatin1String("older")) {
            update->setReleaseVersion(QStringLiteral("7.25"));
        }

        auto installed = [](const QString &name) { return Platform::installPathFwd(name); };
        const QMap<QString, QByteArray> before = {
            {program, "old program\n"},
            {QLatin1String(FeedSimUpdate::MarkerName), "old release\n"},
            {QLatin1String(FeedSimUpdate::LaunchScriptName), "old script\n"}};
        for (auto it = before.cbegin(); it != before.cend(); ++it)
            QVERIFY(writeFile(installed(it.key()), it.value()));

        const WorkerRun run = runWorker(archiveUrl());
        QVERIFY(run.ended);
        QCOMPARE(run.finishedCount, 1);
        QVERIFY(!run.ok);
        QCOMPARE(run.text, QStringLiteral("The update to 7.27 could not be verified and was not installed; "
                                          "Quillmark 7.26 keeps running."));
        QCOMPARE(run.logs.last(), QStringLiteral("Update refused: ") + reason);
        QCOMPARE(run.refused, QStringList{QStringLiteral("7.27|") + reason});
        for (auto it = before.cbegin(); it != before.cend(); ++it)
            QCOMPARE(readFile(installed(it.key())), it.value());
        QVERIFY(!QFileInfo::exists(installed(QStringLiteral("plugins"))));
        QVERIFY(!QFileInfo::exists(installed(QLatin1String(InstallFiles::ReleaseManifest))));
        QVERIFY(!QFileInfo::exists(stagingFolder()));
        QVERIFY(!QFileInfo::exists(archivePath()));
    }

    // The restart script moves whatever is staged: a program file that would not
    // start must never get there.
    void programFileMustBeWhole_data()
    {
        QTest::addColumn<QString>("path"); // where the release holds the program
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("defect"); // empty: installs
        const QString name = Platform::programFileName();
        const QByteArray elf = readFile(QCoreApplication::applicationFilePath());
        QTest::newRow("empty") << name << QByteArray() << "empty";
        QTest::newRow("garbage") << name << QByteArray("<html>502 Bad Gateway</html>\n")
                                 << "neither an ELF program nor a script";
        QTest::newRow("program cut short") << name << elf.left(elf.size() / 2) << "cut short";
        QTest::newRow("program cut short in a folder") << "bin/" + name << elf.left(elf.size() - 1) << "cut short";
        QTest::newRow("whole program") << name << elf << QString();
        QTest::newRow("script") << name << QByteArray("#!/bin/sh\nexec true\n") << QString();
    }

    void programFileMustBeWhole()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, content);
        QFETCH(QString, defect);
        QVERIFY(content.size() != 1); // the test binary could not be read
        m_sim->update()->setExtraFiles({{path, content}});
        const QString installedProgram = Platform::installPathFwd(path);
        QVERIFY(writeFile(installedProgram, "old program\n"));

        const WorkerRun run = runWorker(archiveUrl());
        QCOMPARE(run.finishedCount, 1);
        if (defect.isEmpty()) {
            QVERIFY2(run.ok, qPrintable(run.text));
            QVERIFY(readFile(stagingFolder() + QLatin1Char('/') + path) == content);
        } else {
            QVERIFY(!run.ok);
            QCOMPARE(run.text, QStringLiteral("The update to 7.27 is damaged and was not installed; "
                                              "Quillmark 7.26 keeps running."));
            const QString reason = QStringLiteral("program file %1: %2").arg(path, defect);
            QCOMPARE(run.logs.last(), QStringLiteral("Update refused: ") + reason);
            QCOMPARE(run.refused, QStringList{QStringLiteral("7.27|") + reason});
            QVERIFY(!QFileInfo::exists(stagingFolder()));
        }
        QCOMPARE(readFile(installedProgram), QByteArray("old program\n"));
    }

    // A server that sends more than any release of ours is cut off, whether it says
    // so up front or not, and the download never sits in memory.
    void oversizedDownload_data()
    {
        QTest::addColumn<bool>("endless");
        QTest::addColumn<qint64>("limit");
        QTest::newRow("declared length past the limit") << false << qint64(1024 * 1024);
        QTest::newRow("endless answer") << true << qint64(64 * 1024 * 1024);
    }

    void oversizedDownload()
    {
        QFETCH(bool, endless);
        QFETCH(qint64, limit);
        if (endless) {
            m_sim->update()->setAnswer(UpdateAnswer::Endless);
        } else {
            QByteArray large(int(limit) + 4096, '\0');
            for (int i = 0; i < large.size(); ++i)
                large[i] = char(i * 7 + i / 251);
            m_sim->update()->setExtraFiles({{QStringLiteral("large.dat"), large}});
        }
        UpdatorWorker::Limits limits;
        limits.maxArchiveBytes = limit;
        const WorkerRun run = runWorker(archiveUrl(), limits, 60000);
        QVERIFY(run.ended);
        QCOMPARE(run.finishedCount, 1);
        QVERIFY(!run.ok);
        const QString text = QStringLiteral("The update archive is larger than %1 MiB").arg(limit / (1024 * 1024));
        QCOMPARE(run.text, text);
        QCOMPARE(run.logs.last(), QStringLiteral("Download failed: ") + text);
        QVERIFY(!QFileInfo::exists(archivePath()));
        QVERIFY(!QFileInfo::exists(stagingFolder()));
        if (endless) {
            // It did arrive up to the limit, and memory did not grow with it.
            QVERIFY2(run.lastReceived >= limit / 2, qPrintable(QString::number(run.lastReceived)));
#ifndef __SANITIZE_ADDRESS__
            // AddressSanitizer holds freed blocks back (its quarantine), so the resident
            // size says nothing about our buffers there; the plain build checks it.
            QVERIFY2(run.peakRssGrowthKiB < limit / 1024 / 2, qPrintable(QString::number(run.peakRssGrowthKiB)));
#endif
        }
    }

    // The key pair script makes keys libsodium signs with; it never replaces a key.
    void releaseKeyScript()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString keys = dir.filePath(QStringLiteral("keys"));
        const QString script = QStringLiteral(QM_SOURCE_DIR "/scripts/release-key");
        QCOMPARE(QProcess::execute(script, {keys}), 0);
        const QByteArray secretText = readFile(keys + QStringLiteral("/release.key"));
        const QByteArray publicKey = ReleaseVerifier::decodeKeyText(readFile(keys + QStringLiteral("/release.pub")), 32);
        QCOMPARE(publicKey.size(), 32);
        QVERIFY(secretText.endsWith('\n') && secretText.count('\n') == 1);
        QCOMPARE(QFile::permissions(keys + QStringLiteral("/release.key"))
                     & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
                 QFile::Permissions());

        QString error;
        const QByteArray secret = ReleaseSigner::readSecretKey(keys + QStringLiteral("/release.key"), &error);
        QVERIFY2(!secret.isEmpty(), qPrintable(error));
        QCOMPARE(ReleaseSigner::publicKeyOf(secret), publicKey);
        const QByteArray message("{\"version\": \"7.27\"}\n");
        const QByteArray signature = ReleaseVerifier::decodeKeyText(ReleaseSigner::signatureLine(message, secret), 64);
        QVERIFY(ReleaseVerifier::signatureMatches(message, signature, publicKey));
        QByteArray altered = message;
        altered[3] = char(altered.at(3) ^ 0x01);
        QVERIFY(!ReleaseVerifier::signatureMatches(altered, signature, publicKey));
        QVERIFY(!ReleaseVerifier::signatureMatches(message, signature, ReleaseSigner::publicKeyOf(ReleaseSigner::newSecretKey())));

        QVERIFY(QProcess::execute(script, {keys}) != 0);
        QCOMPARE(readFile(keys + QStringLiteral("/release.key")), secretText);

        // A key file whose public half is not the seed's would sign nothing that verifies.
        QByteArray mixed = QByteArray::fromBase64(secretText);
        mixed.replace(32, 32, ReleaseSigner::publicKeyOf(ReleaseSigner::newSecretKey()));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("mixed.key")), mixed.toBase64()));
        QVERIFY(ReleaseSigner::readSecretKey(dir.filePath(QStringLiteral("mixed.key")), &error).isEmpty());
        QVERIFY(ReleaseSigner::readSecretKey(dir.filePath(QStringLiteral("nothing.key")), &error).isEmpty());
    }

    // The program the package script signs with, on a folder laid out as a release.
    void releaseSignProgram()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString keys = dir.filePath(QStringLiteral("keys"));
        QCOMPARE(QProcess::execute(QStringLiteral(QM_SOURCE_DIR "/scripts/release-key"), {keys}), 0);
        const QByteArray publicKey = ReleaseVerifier::decodeKeyText(readFile(keys + QStringLiteral("/release.pub")), 32);
        const QString release = dir.filePath(QStringLiteral("release"));
        QVERIFY(writeFile(release + QStringLiteral("/Quillmark.exe"), "MZ program"));
        QVERIFY(writeFile(release + QStringLiteral("/platforms/qwindows.dll"), "MZ plugin"));
        QVERIFY(writeFile(release + QStringLiteral("/.hidden"), "hidden files count too"));
        QVERIFY(QDir().mkpath(release + QStringLiteral("/empty/folder")));

        const QString tool = QStringLiteral(QM_TEST_BIN_DIR "/release-sign");
        auto sign = [&](const QStringList &args, const QString &keyInEnvironment = QString()) {
            QProcess process;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove(QStringLiteral("QUILLMARK_RELEASE_KEY"));
            if (!keyInEnvironment.isEmpty())
                env.insert(QStringLiteral("QUILLMARK_RELEASE_KEY"), keyInEnvironment);
            process.setProcessEnvironment(env);
            process.start(tool, args);
            return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        };
        QCOMPARE(sign({QStringLiteral("--key"), keys + QStringLiteral("/release.key"), QStringLiteral("7.27"), release}), 0);
        QCOMPARE(ReleaseVerifier::verify(release, QStringLiteral("7.27"), publicKey), QString());
        QCOMPARE(ReleaseVerifier::verify(release, QStringLiteral("7.28"), publicKey),
                 QStringLiteral("version 7.27 offered as 7.28"));

        // Signing again replaces the manifest and signature, and never lists them.
        QVERIFY(writeFile(release + QStringLiteral("/Quillmark.exe"), "MZ rebuilt program"));
        QCOMPARE(ReleaseVerifier::verify(release, QStringLiteral("7.27"), publicKey), QStringLiteral("file Quillmark.exe differs"));
        QCOMPARE(sign({QStringLiteral("7.27"), release}, keys + QStringLiteral("/release.key")), 0);
        QCOMPARE(ReleaseVerifier::verify(release, QStringLiteral("7.27"), publicKey), QString());
        ReleaseManifest manifest;
        QString why;
        QVERIFY(ReleaseManifest::fromJson(readFile(release + QStringLiteral("/release.json")), &manifest, &why));
        QStringList listed;
        for (const ReleaseFile &file : manifest.files)
            listed << file.path;
        QCOMPARE(listed, (QStringList{QStringLiteral(".hidden"), QStringLiteral("Quillmark.exe"),
                                      QStringLiteral("platforms/qwindows.dll")}));

        QCOMPARE(sign({QStringLiteral("7.27"), release}), 2); // no key anywhere
        QVERIFY(writeFile(dir.filePath(QStringLiteral("bad.key")), "not a key\n"));
        QCOMPARE(sign({QStringLiteral("--key"), dir.filePath(QStringLiteral("bad.key")), QStringLiteral("7.27"), release}), 1);
        // Many faults at once: the log line names a few and counts the rest.
        for (int i = 0; i < 7; ++i)
            QVERIFY(writeFile(release + QStringLiteral("/added%1.dll").arg(i), "MZ"));
        const QString faults = ReleaseVerifier::verify(release, QStringLiteral("7.27"), publicKey);
        QCOMPARE(faults.count(QStringLiteral("not listed")), 5);
        QVERIFY2(faults.endsWith(QStringLiteral("; 2 more")), qPrintable(faults));
    }

    // The program trusts the key this build was configured with, and the reference
    // server signs with its secret half (without which every test above means nothing).
    void trustedKeyIsTheBuildsKey()
    {
        const QByteArray trusted = ReleaseVerifier::trustedKey();
        QCOMPARE(trusted.size(), 32);
        QCOMPARE(ReleaseSigner::publicKeyOf(m_sim->update()->signingKey()), trusted);
        if (QByteArray(QM_RELEASE_TEST_KEY_DIR).isEmpty())
            return; // a real key: its secret half comes from $QUILLMARK_RELEASE_KEY
        QCOMPARE(ReleaseVerifier::decodeKeyText(readFile(QStringLiteral(QM_RELEASE_TEST_KEY_DIR "/release.pub")), 32),
                 trusted);
    }

    void manifestRefusals_data()
    {
        QTest::addColumn<QByteArray>("json");
        auto entry = [](const QByteArray &path, const QByteArray &size = "1",
                        const QByteArray &sha = QByteArray(64, 'a')) {
            return "{\"version\": \"7.27\", \"files\": [{\"path\": \"" + path + "\", \"size\": " + size
                   + ", \"sha256\": \"" + sha + "\"}]}";
        };
        QTest::newRow("not JSON") << QByteArray("release 7.27");
        QTest::newRow("no version") << QByteArray("{\"files\": []}");
        QTest::newRow("version a number") << QByteArray("{\"version\": 7.27, \"files\": []}");
        QTest::newRow("parent step") << entry("../Quillmark.exe");
        QTest::newRow("inner parent step") << entry("plugins/../../x.dll");
        QTest::newRow("absolute") << entry("/etc/passwd");
        QTest::newRow("backslash") << entry("plugins\\\\x.dll");
        QTest::newRow("drive") << entry("C:/Windows/x.dll");
        QTest::newRow("empty step") << entry("plugins//x.dll");
        QTest::newRow("dot step") << entry("./x.dll");
        QTest::newRow("negative size") << entry("x.dll", "-1");
        QTest::newRow("fractional size") << entry("x.dll", "1.5");
        QTest::newRow("size as text") << entry("x.dll", "\"1\"");
        QTest::newRow("short digest") << entry("x.dll", "1", QByteArray(63, 'a'));
        QTest::newRow("upper-case digest") << entry("x.dll", "1", QByteArray(64, 'A'));
        QTest::newRow("listed twice")
            << QByteArray("{\"version\": \"7.27\", \"files\": [{\"path\": \"x\", \"size\": 1, \"sha256\": \"" + QByteArray(64, 'a')
                          + "\"}, {\"path\": \"x\", \"size\": 1, \"sha256\": \"" + QByteArray(64, 'a') + "\"}]}");
    }

    // What the signed list may say is narrow even though only we can sign it.
    void manifestRefusals()
    {
        QFETCH(QByteArray, json);
        ReleaseManifest manifest;
        QString error;
        QVERIFY(!ReleaseManifest::fromJson(json, &manifest, &error));
        QVERIFY(!error.isEmpty());
    }

    void manifestOfAFolder()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(writeFile(dir.filePath(QStringLiteral("b/c.txt")), "c"));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("a.txt")), "abc"));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("release.json")), "old manifest"));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("b/release.json")), "not at the root: listed"));
        ReleaseManifest manifest;
        QString error;
        QVERIFY(ReleaseManifest::describeFolder(dir.path(), QStringLiteral("7.27"), &manifest, &error));
        QCOMPARE(manifest.files.size(), 3);
        QCOMPARE(manifest.files.at(0).path, QStringLiteral("a.txt"));
        QCOMPARE(manifest.files.at(0).size, qint64(3));
        QCOMPARE(manifest.files.at(0).sha256, QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
        QCOMPARE(manifest.files.at(1).path, QStringLiteral("b/c.txt"));
        QCOMPARE(manifest.files.at(2).path, QStringLiteral("b/release.json"));
        ReleaseManifest back;
        QVERIFY(ReleaseManifest::fromJson(manifest.toJson(), &back, &error));
        QCOMPARE(back.version, manifest.version);
        QCOMPARE(back.files, manifest.files);

        // A link in a release could point the installed program anywhere.
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("a.txt")), dir.filePath(QStringLiteral("b/link.txt"))));
        QVERIFY(!ReleaseManifest::describeFolder(dir.path(), QStringLiteral("7.27"), &manifest, &error));
        QCOMPARE(error, QStringLiteral("file b/link.txt is not a plain file"));
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

        u.start(QLatin1String(FeedSimUpdate::OfferedVersion), archiveUrl(), &controller);
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
        u.start(QLatin1String(FeedSimUpdate::OfferedVersion), archiveUrl(), &controller);
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

    void failedUpdateIsShownAndAbandoned_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::newRow("archive cut short") << false;
        QTest::newRow("release not ours") << true;
    }

    void failedUpdateIsShownAndAbandoned()
    {
        QFETCH(bool, refused);
        const QString text = refused ? QStringLiteral("The update to 7.27 could not be verified and was not installed; "
                                                      "Quillmark 7.26 keeps running.")
                                     : QStringLiteral("Unzip timed out or failed");
        if (refused) {
            m_sim->update()->setTamper([](FeedSimUpdate::Files &files) {
                files[QLatin1String(FeedSimUpdate::MarkerName)].append("injected\n");
            });
        } else {
            m_sim->options().brokenUpdate = true;
        }
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
        u.start(QLatin1String(FeedSimUpdate::OfferedVersion), archiveUrl(), &controller);

        QString failureBox;
        acceptNextModal(&failureBox);
        QTRY_COMPARE_WITH_TIMEOUT(abandoned.count(), 1, 20000);
        QCOMPARE(abandoned.first().first().toString(), text);
        QCOMPARE(failureBox, QStringLiteral("Update failed|") + text);
        QCOMPARE(ready.count(), 0);
        QVERIFY(!u.countdownBox());
        QCOMPARE(quits, 0);
        QTRY_VERIFY(!u.workerThread());
        QTest::qWait(50);
        QVERIFY(!QFile::exists(restartMarker()));
        // A download that went wrong may go right next time; a release that is not
        // ours would be the same bytes again.
        QCOMPARE(updator::shouldUpdate(QStringLiteral("7.26"), QLatin1String(FeedSimUpdate::OfferedVersion)), !refused);
    }

    // A refused release is not fetched again for a day; another release is at once.
    void refusedReleaseWaitsADay()
    {
        const QString running = QStringLiteral("7.26");
        const QString latest = QStringLiteral("7.27");
        updator::rememberRefusedRelease(latest);
        QVERIFY(!updator::shouldUpdate(running, latest));
        QVERIFY(updator::shouldUpdate(running, QStringLiteral("7.28")));
        QVERIFY(!updator::shouldUpdate(latest, latest)); // not due at all
        QSettings settings;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        auto refusedAgo = [&settings, now](qint64 secs) {
            settings.setValue(QLatin1String(Keys::RefusedUpdateTime), now.addSecs(-secs).toString(Qt::ISODate));
        };
        refusedAgo(updator::RefusedRetrySecs - 600);
        QVERIFY(!updator::shouldUpdate(running, latest));
        refusedAgo(updator::RefusedRetrySecs + 60);
        QVERIFY(updator::shouldUpdate(running, latest));
        refusedAgo(-3600); // a clock set back since
        QVERIFY(updator::shouldUpdate(running, latest));
        settings.setValue(QLatin1String(Keys::RefusedUpdateTime), QStringLiteral("garbage"));
        QVERIFY(updator::shouldUpdate(running, latest));
    }
};

QM_TEST_MAIN(tst_updater)
#include "tst_updater.moc"
