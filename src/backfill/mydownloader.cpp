#include "mydownloader.h"

#include "backfill/ziplisting.h"
#include "platform/archiver.h"
#include "platform/diskspace.h"
#include "platform/installroot.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

Q_LOGGING_CATEGORY(lcDownloader, "quillmark.backfill.download", QtInfoMsg)

namespace {
constexpr int FirstRequestDelayMs = 1;
constexpr int UnpackerKillWaitMs = 2000;
// How often the disk is looked at while an archive unpacks.
constexpr int UnpackWatchMs = 100;

// The bytes of the files under a folder.
qint64 folderBytes(const QString &folder)
{
    qint64 bytes = 0;
    QDirIterator files(QDir::fromNativeSeparators(folder), QDir::Files | QDir::Hidden | QDir::System,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        files.next();
        bytes += files.fileInfo().size();
    }
    return bytes;
}

QString megabytes(qint64 bytes)
{
    return QStringLiteral("%1 MB").arg(QLocale(QLocale::English).toString(qMax<qint64>(0, bytes) / 1000000));
}
} // namespace

MyDownloader::MyDownloader(const QString &fileName, const QString &url, const QString &destinationExtr,
                           int method, QObject *parent)
    : QThread(parent)
    , network(new QNetworkAccessManager(this))
    , url(url)
    , retryTimer(new QTimer(this))
    , timeoutTimer(new QTimer(this))
    , archiveFile(new QFile(Platform::installPathFwd(fileName), this))
    , sevenZipProcess(new QProcess(this))
    , psProcess(new QProcess(this))
    , fileName(fileName)
    , destination(destinationExtr)
    , method(method)
{
    retryTimer->setSingleShot(true);
    timeoutTimer->setSingleShot(true);
    timeoutTimer->setInterval(TransferTimeoutMs);

    // Only the error-occurred notification is connected: the deprecated error()
    // signal fires for the same event, and handling both would start the fallback
    // twice or report one failure twice (and make the queue skip a job).
    connect(sevenZipProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &MyDownloader::process7zipFinished);
    connect(psProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &MyDownloader::processPSFinished);
    connect(sevenZipProcess, &QProcess::errorOccurred, this, &MyDownloader::process7zipError);
    connect(psProcess, &QProcess::errorOccurred, this, &MyDownloader::processPSError);

    m_diskTimer = new QTimer(this);
    m_diskTimer->setObjectName(QStringLiteral("diskRetry"));
    m_diskTimer->setSingleShot(true);
    m_diskTimer->setInterval(DiskRetryMs);
    m_unpackWatch = new QTimer(this);
    m_unpackWatch->setInterval(UnpackWatchMs);
    connect(m_unpackWatch, &QTimer::timeout, this, &MyDownloader::watchUnpacking);
}

void MyDownloader::setDiskRetryInterval(int ms)
{
    m_diskTimer->setInterval(ms);
}

MyDownloader::~MyDownloader()
{
    releaseReply(true);
    stopUnpackers();
}

QString MyDownloader::progressText(qint64 bytesReceived, qint64 bytesTotal)
{
    if (bytesTotal <= 0)
        return QStringLiteral("--%");
    const double percent = double(bytesReceived) * 100.0 / double(bytesTotal);
    return QString::number(percent, 'f', 1) + QLatin1Char('%');
}

QString MyDownloader::speedText(qint64 bytesReceived, qint64 elapsedMs)
{
    double seconds = double(elapsedMs) / 1000.0;
    if (!(seconds > 0.001))
        seconds = 0.001;
    double speed = double(bytesReceived) / seconds;
    QString unit = QStringLiteral("B/s");
    if (speed > 1024) {
        speed /= 1024;
        unit = QStringLiteral("KB/s");
        if (speed > 1024) {
            speed /= 1024;
            unit = QStringLiteral("MB/s");
        }
    }
    return QStringLiteral("%1 %2").arg(QString::number(speed, 'f', 1), unit);
}

QString MyDownloader::archivePath() const
{
    return archiveFile->fileName();
}

void MyDownloader::initialize(QString fileName, QString url, QString destinationExtr, int method)
{
    this->fileName = fileName;
    destination = destinationExtr;
    this->method = method;
    releaseReply(true);
    // An unpacker of the superseded job must not announce its outcome as this job's.
    stopUnpackers();
    m_diskTimer->stop();
    m_pendingBody.clear();
    this->url = QUrl(url);
    retryDelay = InitialRetryDelayMs;
    retryCount = 0;
    retryTimer->stop();
    timeoutTimer->stop();
    scheduleRetry(FirstRequestDelayMs);
}

void MyDownloader::initialize(QString fileName, QString url, QString destinationExtr)
{
    initialize(fileName, url, destinationExtr, 0);
}

void MyDownloader::requestData()
{
    retryTimer->stop();
    releaseReply(true);

    const QString fullText = url.toString(QUrl::FullyEncoded);
    const int question = fullText.indexOf(QLatin1Char('?'));
    const QString baseText = question >= 0 ? fullText.left(question) : fullText;
    const QByteArray body = question >= 0 ? fullText.mid(question + 1).toUtf8() : QByteArray();

    if (method != 0) {
        QNetworkRequest request{QUrl(baseText)};
        request.setRawHeader("Connection", "keep-alive");
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
        reply = network->post(request, body);
    } else {
        QNetworkRequest request{url};
        request.setRawHeader("Connection", "keep-alive");
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
        reply = network->get(request);
    }
    qCDebug(lcDownloader) << (method != 0 ? "POST" : "GET") << fullText;
    speedTimer.start();

    connect(reply, &QNetworkReply::downloadProgress, this, &MyDownloader::downloadProgress, Qt::UniqueConnection);
    connect(reply, &QNetworkReply::finished, this, &MyDownloader::downloadCompleted, Qt::UniqueConnection);

    // The time-out bounds the whole transfer; progress does not restart it.
    timeoutTimer->start(TransferTimeoutMs);
    connect(timeoutTimer, &QTimer::timeout, this, &MyDownloader::abort, Qt::UniqueConnection);
}

void MyDownloader::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // Without an announced length the network stack still reports the final
    // step as received-of-received; the size was never known, so say so.
    if (reply && !reply->header(QNetworkRequest::ContentLengthHeader).isValid())
        bytesTotal = -1;
    const QString progress = progressText(bytesReceived, bytesTotal);
    const QString speed = bytesTotal > 0 ? speedText(bytesReceived, speedTimer.elapsed()) : QString();
    emit updateProgress(progress, speed);
    emit updateProgress2(progress, speed);
}

void MyDownloader::downloadCompleted()
{
    timeoutTimer->stop();
    disconnect(timeoutTimer, &QTimer::timeout, this, &MyDownloader::abort);

    if (!reply) {
        scheduleRetry(retryDelay);
        return;
    }

    bool failed = reply->error() != QNetworkReply::NoError;
    QByteArray body;
    if (!failed) {
        body = reply->readAll();
        // A body shorter than announced is a cut transfer, even if the
        // connection closed without the stack calling it an error.
        const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
        const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
        if (announced.isValid() && (encoding.isEmpty() || encoding == "identity")
            && announced.toLongLong() != body.size()) {
            qCWarning(lcDownloader) << "transfer cut short:" << body.size() << "of" << announced.toLongLong();
            failed = true;
        }
    } else {
        qCWarning(lcDownloader) << "transfer failed:" << reply->errorString();
    }

    if (failed) {
        releaseReply(false);
        ++retryCount;
        retryDelay = qMin(int(retryDelay * RetryGrowth), maxRetryDelay);
        emit responseError();
        scheduleRetry(retryDelay);
        return;
    }

    retryCount = 0;
    retryDelay = InitialRetryDelayMs;
    releaseReply(false);
    m_pendingBody = body;
    storePendingArchive();
}

void MyDownloader::storePendingArchive()
{
    bool outOfSpace = false;
    if (!storeArchive(m_pendingBody, &outOfSpace)) {
        if (outOfSpace) {
            // Kept in memory until there is room: the job is not dropped for it.
            waitForDisk(&MyDownloader::storePendingArchive);
            return;
        }
        m_pendingBody.clear();
        emit responseError();
        scheduleRetry(retryDelay);
        return;
    }
    m_pendingBody.clear();
    roomAgain();
    emit updateProgress(QStringLiteral("100%"), QString());

    if (QFileInfo(archiveFile->fileName()).suffix().toLower() == QLatin1String("zip"))
        startSevenZip();
    else
        moveIntoDestination();
}

bool MyDownloader::storeArchive(const QByteArray &body, bool *outOfSpace)
{
    *outOfSpace = false;
    const QString folder = QFileInfo(archiveFile->fileName()).absolutePath();
    if (!archiveFile->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qCWarning(lcDownloader) << "cannot write" << archiveFile->fileName() << archiveFile->errorString();
        *outOfSpace = Platform::failedForSpace(*archiveFile, folder);
        archiveFile->unsetError();
        return false;
    }
    // A buffered write can report every byte taken and still fail when the
    // buffer reaches the disk (a full disk): check the flush and the close too,
    // and never leave a cut archive behind to be unpacked as if whole.
    const qint64 written = archiveFile->write(body);
    const bool flushed = archiveFile->flush();
    const bool ok = written == body.size() && flushed && archiveFile->error() == QFileDevice::NoError;
    if (!ok)
        *outOfSpace = Platform::failedForSpace(*archiveFile, folder);
    archiveFile->close();
    if (!ok) {
        qCWarning(lcDownloader) << "short write of" << archiveFile->fileName() << archiveFile->errorString();
        archiveFile->remove();
    }
    archiveFile->unsetError();
    return ok;
}

void MyDownloader::waitForDisk(void (MyDownloader::*retry)())
{
    if (!m_waitingForDisk) {
        m_waitingForDisk = true;
        qCWarning(lcDownloader) << "the disk is full; the backfill job waits for room";
        emit waitingForDisk();
    }
    m_diskTimer->disconnect(this);
    connect(m_diskTimer, &QTimer::timeout, this, retry);
    m_diskTimer->start();
}

void MyDownloader::roomAgain()
{
    if (!m_waitingForDisk)
        return;
    m_waitingForDisk = false;
    emit diskRoomAgain();
}

void MyDownloader::refuse(const QString &reason)
{
    m_unpackStage = UnpackStage::None;
    m_unpackWatch->stop();
    qCWarning(lcDownloader) << "refusing" << archiveFile->fileName() << ":" << reason;
    archiveFile->remove();
    removeUnpacked();
    emit refused(reason);
    emit responseError();
}

void MyDownloader::removeUnpacked()
{
    // Whatever a refused or failed unpacking left must not fill the disk, nor be
    // imported later as if whole.
    const QString dest = QDir::fromNativeSeparators(destination);
    if (dest.isEmpty())
        return;
    QDir dir(dest);
    const QStringList entries = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : entries) {
        const QFileInfo info(dir.filePath(name));
        if (info.isDir() && !info.isSymLink())
            QDir(info.absoluteFilePath()).removeRecursively();
        else
            dir.remove(name);
    }
}

void MyDownloader::watchUnpacking()
{
    if (m_unpackStage == UnpackStage::None) {
        m_unpackWatch->stop();
        return;
    }
    const qint64 free = Platform::freeDiskBytes(destination);
    if (free < 0 || m_freeAtUnpack < 0)
        return;
    m_lowestFree = qMin(m_lowestFree, free);
    const qint64 taken = m_freeAtUnpack - free;
    if (taken <= m_unpackBudget)
        return;
    // More than the archive said, or than the disk can spare: stopped at the limit.
    stopUnpackers();
    refuse(QStringLiteral("the archive unpacked to more than it declared; stopped at %1").arg(megabytes(taken)));
}

bool MyDownloader::unpackedWithinLimits()
{
    // An unpacker that ran between two looks, or filled the disk and failed.
    const qint64 free = Platform::freeDiskBytes(destination);
    if (free >= 0 && m_freeAtUnpack >= 0) {
        m_lowestFree = qMin(m_lowestFree, free);
        const qint64 taken = m_freeAtUnpack - m_lowestFree;
        if (taken > m_unpackBudget) {
            refuse(QStringLiteral("the archive unpacked to more than it declared; stopped at %1").arg(megabytes(taken)));
            return false;
        }
    }
    const qint64 unpacked = folderBytes(destination) - m_bytesBefore;
    if (unpacked > m_declared) {
        refuse(QStringLiteral("the archive unpacked to %1, more than the %2 it declared")
                   .arg(megabytes(unpacked), megabytes(m_declared)));
        return false;
    }
    return true;
}

void MyDownloader::startSevenZip()
{
    // Both unpackers would follow an entry named "../x" or "/x" out of the
    // destination; judge the archive ourselves first and refuse it outright.
    const ZipListing listing = ZipListing::fromFile(archiveFile->fileName());
    QString why;
    if (!listing.isSafeToExtract(&why)) {
        qCWarning(lcDownloader) << "unsafe archive" << archiveFile->fileName() << ":" << why;
        const QString folder = QDir::toNativeSeparators(QDir::cleanPath(QDir::fromNativeSeparators(destination)));
        refuse(listing.isValid() ? QStringLiteral("the archive would write outside %1").arg(folder)
                                 : QStringLiteral("the archive could not be read (%1)").arg(why));
        return;
    }
    // What it says it unpacks to must fit the limit and the disk, with room to spare.
    qint64 declared = 0;
    for (const ZipListing::Entry &entry : listing.entries())
        declared += qint64(qMin<quint64>(entry.size, quint64(m_limits.maxBytes) + 1));
    if (declared > m_limits.maxBytes) {
        refuse(QStringLiteral("the archive would unpack to %1, more than the %2 allowed")
                   .arg(megabytes(declared), megabytes(m_limits.maxBytes)));
        return;
    }
    const qint64 free = Platform::freeDiskBytes(destination);
    if (free >= 0 && declared + m_limits.keepFreeBytes > free) {
        const qint64 size = Platform::diskSizeBytes(destination);
        if (size >= 0 && declared + m_limits.keepFreeBytes > size) {
            refuse(QStringLiteral("the archive would unpack to %1, more than the disk holding %2 can take")
                       .arg(megabytes(declared), QDir::toNativeSeparators(Platform::installRoot())));
            return;
        }
        waitForDisk(&MyDownloader::startSevenZip);
        return;
    }
    roomAgain();
    m_declared = declared;
    m_bytesBefore = folderBytes(destination);
    m_freeAtUnpack = free;
    m_lowestFree = free;
    m_unpackBudget = free < 0 ? m_limits.maxBytes : qMin(m_limits.maxBytes, free - m_limits.keepFreeBytes);
    m_unpackStage = UnpackStage::SevenZip;
    m_unpackWatch->start();
    sevenZipProcess->setProcessChannelMode(QProcess::MergedChannels);
    sevenZipProcess->start(Platform::sevenZipProgram(),
                           QStringList{QStringLiteral("x"), archiveFile->fileName(),
                                       QStringLiteral("-o%1").arg(destination), QStringLiteral("-y")},
                           QIODevice::ReadWrite);
}

void MyDownloader::startFallback()
{
    // A clean start: the fallback must not meet what 7-Zip left half-written.
    removeUnpacked();
    m_unpackStage = UnpackStage::Fallback;
    const Platform::Command command = Platform::fallbackUnpackCommand(archiveFile->fileName(), destination);
    psProcess->setProcessChannelMode(QProcess::MergedChannels);
    psProcess->start(command.program, command.arguments, QIODevice::ReadWrite);
}

void MyDownloader::process7zipFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitStatus)
    if (m_unpackStage != UnpackStage::SevenZip)
        return;
    qCDebug(lcDownloader) << "7-Zip ended with" << exitCode << sevenZipProcess->readAll();
    if (exitCode == 0) {
        m_unpackStage = UnpackStage::None;
        m_unpackWatch->stop();
        if (!unpackedWithinLimits())
            return;
        archiveFile->remove();
        emit downloadfinished();
        return;
    }
    if (!unpackedWithinLimits())
        return;
    startFallback();
}

void MyDownloader::process7zipError(QProcess::ProcessError error)
{
    if (m_unpackStage != UnpackStage::SevenZip)
        return;
    // A read or write hiccup while 7-Zip still runs is not its end; its finish decides.
    if (error != QProcess::FailedToStart && error != QProcess::Crashed
        && sevenZipProcess->state() != QProcess::NotRunning)
        return;
    qCDebug(lcDownloader) << "7-Zip unusable:" << error << "- trying the fallback";
    startFallback();
}

void MyDownloader::processPSFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitStatus)
    if (m_unpackStage != UnpackStage::Fallback)
        return;
    m_unpackStage = UnpackStage::None;
    m_unpackWatch->stop();
    qCDebug(lcDownloader) << "fallback unpacker ended with" << exitCode << psProcess->readAll();
    if (!unpackedWithinLimits())
        return;
    if (exitCode == 0) {
        archiveFile->remove();
        emit downloadfinished();
        return;
    }
    removeUnpacked();
    emit responseError();
}

void MyDownloader::processPSError(QProcess::ProcessError error)
{
    if (m_unpackStage != UnpackStage::Fallback)
        return;
    if (error != QProcess::FailedToStart && error != QProcess::Crashed && psProcess->state() != QProcess::NotRunning)
        return;
    m_unpackStage = UnpackStage::None;
    m_unpackWatch->stop();
    qCWarning(lcDownloader) << "fallback unpacker unusable:" << error;
    removeUnpacked();
    emit responseError();
    scheduleRetry(qMin(retryDelay, maxRetryDelay));
}

void MyDownloader::abort()
{
    releaseReply(true);
    timeoutTimer->stop();
    ++retryCount;
    qCWarning(lcDownloader) << "transfer timed out; asking again in" << TimeoutRetryDelayMs << "ms";
    scheduleRetry(TimeoutRetryDelayMs);
}

void MyDownloader::run()
{
    connect(retryTimer, &QTimer::timeout, this, &MyDownloader::requestData, Qt::UniqueConnection);
    exec();
}

void MyDownloader::scheduleRetry(int delayMs)
{
    retryTimer->stop();
    retryTimer->setSingleShot(true);
    retryTimer->start(delayMs);
    connect(retryTimer, &QTimer::timeout, this, &MyDownloader::requestData, Qt::UniqueConnection);
}

void MyDownloader::releaseReply(bool abortTransfer)
{
    if (!reply)
        return;
    QNetworkReply *old = reply;
    reply = nullptr;
    disconnect(old, nullptr, this, nullptr);
    if (abortTransfer)
        old->abort();
    old->deleteLater();
}

void MyDownloader::stopUnpackers()
{
    m_unpackStage = UnpackStage::None;
    for (QProcess *process : {sevenZipProcess, psProcess}) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(UnpackerKillWaitMs);
        }
    }
}

void MyDownloader::moveIntoDestination()
{
    const QString dest = QDir::fromNativeSeparators(destination);
    if (!dest.isEmpty()) {
        const QString archive = archiveFile->fileName();
        const QString target = QDir(dest).filePath(QFileInfo(archive).fileName());
        // Compare clean paths: "root/./a.txt" is the archive itself, and removing
        // the "existing target" would delete the download.
        const QString from = QDir::cleanPath(QDir::fromNativeSeparators(QFileInfo(archive).absoluteFilePath()));
        const QString to = QDir::cleanPath(QDir::fromNativeSeparators(QFileInfo(target).absoluteFilePath()));
        if (from != to) {
            // A file that never reaches the destination would be reported as
            // imported data while nothing gets imported: report it as a failure.
            if (!QDir().mkpath(dest)) {
                qCWarning(lcDownloader) << "cannot create" << dest;
                emit responseError();
                return;
            }
            QFile::remove(target);
            if (!QFile::rename(archive, target)) {
                qCWarning(lcDownloader) << "cannot move" << archive << "to" << target;
                emit responseError();
                return;
            }
        }
    }
    emit downloadfinished();
}
