#include "updatorworker.h"

#include "common/installfiles.h"
#include "backfill/ziplisting.h"
#include "platform/archiver.h"
#include "platform/installroot.h"
#include "platform/programfile.h"
#include "updater/releaseverifier.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
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
// The download is taken from the network in pieces of at most this size.
constexpr qint64 ReadPieceBytes = 1024 * 1024;
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

bool UpdatorWorker::download(const QString &url, const QString &archivePath)
{
    QFile file(archivePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const QString error = QStringLiteral("Cannot open file for write: %1").arg(archivePath);
        fail(error, error);
        return false;
    }
    const qint64 limit = m_limits.maxArchiveBytes;
    QString failure;
    bool writeFailed = false;
    qint64 written = 0;
    {
        // The manager owns the reply, so leaving this block releases both.
        QNetworkAccessManager manager;
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(url)));
        // The archive goes to disk as it arrives: held whole, a server that never
        // stops would cost all the memory there is.
        reply->setReadBufferSize(ReadPieceBytes);
        const QString tooLarge =
            QStringLiteral("The update archive is larger than %1 MiB").arg(limit / (1024 * 1024));
        auto stop = [&failure, reply](const QString &why) {
            if (failure.isEmpty())
                failure = why;
            reply->abort();
        };
        auto take = [&] {
            while (failure.isEmpty() && reply->bytesAvailable() > 0) {
                const QByteArray piece = reply->read(qMin<qint64>(reply->bytesAvailable(), ReadPieceBytes));
                if (written + piece.size() > limit) {
                    stop(tooLarge);
                } else if (file.write(piece) != piece.size()) {
                    writeFailed = true;
                    stop(QStringLiteral("Write failed"));
                }
                written += piece.size();
            }
        };
        connect(reply, &QNetworkReply::metaDataChanged, this, [&] {
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            if (length.isValid() && length.toLongLong() > limit)
                stop(tooLarge);
        });
        connect(reply, &QNetworkReply::readyRead, this, take);
        connect(reply, &QNetworkReply::downloadProgress, this, &UpdatorWorker::downloadProgress);
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(m_limits.downloadMs);
        loop.exec();

        // A loop ended by anything but the reply's end (the time-out, or a quit of
        // this thread) must not pass a partial body off as the release.
        const bool timedOut = !timer.isActive();
        timer.stop();
        if (failure.isEmpty() && reply->isFinished() && reply->error() == QNetworkReply::NoError)
            take();
        if (failure.isEmpty() && (timedOut || !reply->isFinished() || reply->error() != QNetworkReply::NoError)) {
            failure = reply->error() != QNetworkReply::NoError ? reply->errorString() : QString();
            if (failure.isEmpty())
                failure = QStringLiteral("Timeout or unknown network error");
        }
        disconnect(reply, nullptr, this, nullptr);
    }
    // A short write (full disk) leaves a cut archive that would unpack only in part.
    if (failure.isEmpty() && (!file.flush() || written == 0))
        writeFailed = true;
    file.close();
    if (writeFailed) {
        file.remove();
        fail(QStringLiteral("Write failed for %1").arg(archivePath), QStringLiteral("Write failed"));
        return false;
    }
    if (!failure.isEmpty()) {
        // What came of a failed download is no release; nothing else reads it.
        file.remove();
        fail(QStringLiteral("Download failed: %1").arg(failure), failure);
        return false;
    }
    log(QStringLiteral("UpdatorWorker: download finished OK."));
    log(QStringLiteral("Saved ZIP to %1").arg(archivePath));
    return true;
}

void UpdatorWorker::startDownload(QString zipUrl)
{
    log(QStringLiteral("UpdatorWorker: startDownload called with URL: %1").arg(zipUrl));
    const QString url = zipUrl.trimmed();
    if (url.isEmpty()) {
        fail(QStringLiteral("UpdatorWorker: LatestVersionPath empty!"), QStringLiteral("LatestVersionPath empty"));
        return;
    }

    const QString folder = Platform::installPathFwd();
    QDir().mkpath(folder);
    const QString archivePath = Platform::installPathFwd(QLatin1String(InstallFiles::UpdateArchive));
    log(QStringLiteral("Using fixed update path: %1").arg(archivePath));
    if (!download(url, archivePath))
        return;

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

    // Nothing of the release may reach the installed program before we know that we
    // made it, that it is the version announced, and that it came whole.
    const QString refusal = ReleaseVerifier::verify(staging, m_announcedVersion, ReleaseVerifier::trustedKey());
    if (!refusal.isEmpty()) {
        refuse(staging, archivePath, refusal, unverifiedText(m_announcedVersion));
        return;
    }
    // A program file that would not start leaves the trader with no program at all.
    const QString defect = programFilesDefect(staging);
    if (!defect.isEmpty()) {
        refuse(staging, archivePath, defect, damagedText(m_announcedVersion));
        return;
    }
    log(QStringLiteral("Release %1 verified.").arg(m_announcedVersion));
    QFile::remove(archivePath);
    emit downloadFinished(true, folder);
}

void UpdatorWorker::refuse(const QString &staging, const QString &archivePath, const QString &reason,
                           const QString &text)
{
    qCWarning(lcUpdater).noquote() << "update to" << m_announcedVersion << "refused:" << reason;
    log(QStringLiteral("Update refused: %1").arg(reason));
    if (!clearStaging(staging))
        qCCritical(lcUpdater).noquote() << "cannot remove the refused release in" << staging;
    QFile::remove(archivePath);
    emit releaseRefused(m_announcedVersion, reason);
    emit downloadFinished(false, text);
}

QString UpdatorWorker::unverifiedText(const QString &announced)
{
    return QStringLiteral("The update to %1 could not be verified and was not installed; Quillmark %2 keeps running.")
        .arg(announced, QCoreApplication::applicationVersion());
}

QString UpdatorWorker::damagedText(const QString &announced)
{
    return QStringLiteral("The update to %1 is damaged and was not installed; Quillmark %2 keeps running.")
        .arg(announced, QCoreApplication::applicationVersion());
}

QString UpdatorWorker::programFilesDefect(const QString &staging)
{
    const QString name = Platform::programFileName();
    QDirIterator it(staging, {name}, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString defect = Platform::programFileDefect(path);
        if (!defect.isEmpty())
            return QStringLiteral("program file %1: %2").arg(QDir(staging).relativeFilePath(path), defect);
    }
    return QString();
}
