#include "updatorworker.h"

#include "app/installfiles.h"
#include "backfill/ziplisting.h"
#include "platform/archiver.h"
#include "platform/installroot.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTimer>
#include <QUrl>

Q_LOGGING_CATEGORY(lcUpdater, "quillmark.updater", QtInfoMsg)

namespace {
// An archiver still running at its limit is killed; this is how long we wait for it to go.
constexpr int ArchiverKillWaitMs = 2000;
} // namespace

UpdatorWorker::UpdatorWorker(QObject *parent)
    : QObject(parent)
{
}

UpdatorWorker::~UpdatorWorker() = default;

bool UpdatorWorker::archiverSucceeded(int exitCode, bool crashed)
{
    return !crashed && (exitCode == 0 || exitCode == 1);
}

bool UpdatorWorker::clearStaging(const QString &staging)
{
    const QFileInfo info(staging);
    if (info.isDir() && !info.isSymLink())
        QDir(staging).removeRecursively();
    else if (info.exists() || info.isSymLink())
        QFile::remove(staging);
    return !QFileInfo::exists(staging) && !QFileInfo(staging).isSymLink();
}

void UpdatorWorker::cancel()
{
}

void UpdatorWorker::log(const QString &msg)
{
    qCDebug(lcUpdater).noquote() << msg;
    emit logMessage(msg);
}

void UpdatorWorker::fail(const QString &logText, const QString &error)
{
    log(logText);
    emit downloadFinished(false, error);
}

void UpdatorWorker::startDownload(QString zipUrl)
{
    log(QStringLiteral("UpdatorWorker: startDownload called with URL: %1").arg(zipUrl));
    const QString url = zipUrl.trimmed();
    if (url.isEmpty()) {
        fail(QStringLiteral("UpdatorWorker: LatestVersionPath empty!"), QStringLiteral("LatestVersionPath empty"));
        return;
    }

    QByteArray body;
    {
        // The manager owns the reply, so leaving this block releases both.
        QNetworkAccessManager manager;
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(url)));
        connect(reply, &QNetworkReply::downloadProgress, this, &UpdatorWorker::downloadProgress);
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(m_limits.downloadMs);
        loop.exec();

        // A loop ended by anything but the reply's end (the time-out, or a quit of
        // this thread) must not pass a partial body off as the release.
        const bool timedOut = !timer.isActive();
        timer.stop();
        if (timedOut || !reply->isFinished() || reply->error() != QNetworkReply::NoError) {
            QString error = reply->error() != QNetworkReply::NoError ? reply->errorString() : QString();
            if (error.isEmpty())
                error = QStringLiteral("Timeout or unknown network error");
            fail(QStringLiteral("Download failed: %1").arg(error), error);
            return;
        }
        log(QStringLiteral("UpdatorWorker: download finished OK."));
        body = reply->readAll();
    }

    const QString folder = Platform::installPathFwd();
    QDir().mkpath(folder);
    const QString archivePath = Platform::installPathFwd(QLatin1String(InstallFiles::UpdateArchive));
    log(QStringLiteral("Using fixed update path: %1").arg(archivePath));

    {
        QFile file(archivePath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            const QString error = QStringLiteral("Cannot open file for write: %1").arg(archivePath);
            fail(error, error);
            return;
        }
        // A short write (full disk) leaves a cut archive that would unpack only in part.
        const qint64 written = file.write(body);
        const bool flushed = file.flush();
        file.close();
        if (written <= 0 || written != body.size() || !flushed) {
            fail(QStringLiteral("Write failed for %1").arg(archivePath), QStringLiteral("Write failed"));
            return;
        }
    }
    log(QStringLiteral("Saved ZIP to %1").arg(archivePath));

    // 7-Zip unpacks over the installed program file by file: a release cut short
    // would leave it half replaced, and an entry naming "../x" would land outside
    // the install folder. Judge the whole archive before anything is unpacked.
    QString why;
    if (!ZipListing::fromFile(archivePath).isSafeToExtract(&why)) {
        qCWarning(lcUpdater).noquote() << "refusing to unpack" << archivePath << ":" << why;
        fail(QStringLiteral("Update archive refused: %1").arg(why), QStringLiteral("Unzip timed out or failed"));
        return;
    }

    QDir().mkpath(folder);
    log(QStringLiteral("Extracting to fixed path: %1").arg(folder));

    // The running program's files cannot be replaced while it runs (Windows refuses,
    // and 7-Zip would leave a mix of old and new): the release goes to a staging
    // folder, and the restart script moves it into place after the program has ended.
    const QString staging = Platform::installPathFwd(QLatin1String(InstallFiles::UpdateStaging));
    if (!clearStaging(staging)) {
        const QString error = QStringLiteral("Cannot clear %1").arg(staging);
        fail(error, QStringLiteral("Unzip timed out or failed"));
        return;
    }

    QProcess archiver;
    archiver.setWorkingDirectory(folder);
    archiver.setProcessChannelMode(QProcess::MergedChannels);
    archiver.start(Platform::sevenZipProgram(),
                   {QStringLiteral("x"), QStringLiteral("-y"), archivePath, QStringLiteral("-o%1").arg(staging)});
    if (!archiver.waitForStarted(m_limits.archiverStartMs)) {
        clearStaging(staging);
        qCWarning(lcUpdater) << "archiver" << Platform::sevenZipProgram() << "did not start:" << archiver.errorString();
        fail(QStringLiteral("Failed to start 7za.exe. Falling back to built-in extraction not implemented."),
             QStringLiteral("7za.exe not found or failed to start"));
        return;
    }
    if (!archiver.waitForFinished(m_limits.archiverRunMs)) {
        archiver.kill();
        archiver.waitForFinished(ArchiverKillWaitMs);
        clearStaging(staging);
        fail(QStringLiteral("7za timeout/failed."), QStringLiteral("Unzip timed out or failed"));
        return;
    }
    // An archive 7-Zip could not unpack (exit code 2 and up) is no update: keep it and say so.
    const bool crashed = archiver.exitStatus() == QProcess::CrashExit;
    if (!archiverSucceeded(archiver.exitCode(), crashed)) {
        qCWarning(lcUpdater).noquote() << "archiver failed, exit code" << archiver.exitCode()
                                       << (crashed ? "(crashed)" : "") << archiver.readAll().right(2000);
        log(crashed ? QStringLiteral("7za crashed.")
                    : QStringLiteral("7za exited with code %1.").arg(archiver.exitCode()));
        clearStaging(staging);
        fail(QStringLiteral("7za timeout/failed."), QStringLiteral("Unzip timed out or failed"));
        return;
    }

    log(QStringLiteral("Extraction finished."));
    QFile::remove(archivePath);
    emit downloadFinished(true, folder);
}
