#include "mydownloader.h"

#include "backfill/ziplisting.h"
#include "platform/archiver.h"
#include "platform/installroot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

Q_LOGGING_CATEGORY(lcDownloader, "quillmark.backfill.download", QtInfoMsg)

namespace {
constexpr int FirstRequestDelayMs = 1;
constexpr int UnpackerKillWaitMs = 2000;
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
    if (!storeArchive(body)) {
        emit responseError();
        scheduleRetry(retryDelay);
        return;
    }
    emit updateProgress(QStringLiteral("100%"), QString());

    if (QFileInfo(archiveFile->fileName()).suffix().toLower() == QLatin1String("zip"))
        startSevenZip();
    else
        moveIntoDestination();
}

bool MyDownloader::storeArchive(const QByteArray &body)
{
    if (!archiveFile->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qCWarning(lcDownloader) << "cannot write" << archiveFile->fileName() << archiveFile->errorString();
        return false;
    }
    // A buffered write can report every byte taken and still fail when the
    // buffer reaches the disk (a full disk): check the flush and the close too,
    // and never leave a cut archive behind to be unpacked as if whole.
    const qint64 written = archiveFile->write(body);
    const bool flushed = archiveFile->flush();
    archiveFile->close();
    const bool ok = written == body.size() && flushed && archiveFile->error() == QFileDevice::NoError;
    if (!ok) {
        qCWarning(lcDownloader) << "short write of" << archiveFile->fileName() << archiveFile->errorString();
        archiveFile->remove();
    }
    archiveFile->unsetError();
    return ok;
}

void MyDownloader::startSevenZip()
{
    // Both unpackers would follow an entry named "../x" or "/x" out of the
    // destination; judge the archive ourselves first and refuse it outright.
    QString why;
    if (!ZipListing::fromFile(archiveFile->fileName()).isSafeToExtract(&why)) {
        qCWarning(lcDownloader) << "refusing to unpack" << archiveFile->fileName() << ":" << why;
        m_unpackStage = UnpackStage::None;
        emit responseError();
        return;
    }
    m_unpackStage = UnpackStage::SevenZip;
    sevenZipProcess->setProcessChannelMode(QProcess::MergedChannels);
    sevenZipProcess->start(Platform::sevenZipProgram(),
                           QStringList{QStringLiteral("x"), archiveFile->fileName(),
                                       QStringLiteral("-o%1").arg(destination), QStringLiteral("-y")},
                           QIODevice::ReadWrite);
}

void MyDownloader::startFallback()
{
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
        archiveFile->remove();
        emit downloadfinished();
        return;
    }
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
    qCDebug(lcDownloader) << "fallback unpacker ended with" << exitCode << psProcess->readAll();
    if (exitCode == 0) {
        archiveFile->remove();
        emit downloadfinished();
        return;
    }
    emit responseError();
}

void MyDownloader::processPSError(QProcess::ProcessError error)
{
    if (m_unpackStage != UnpackStage::Fallback)
        return;
    if (error != QProcess::FailedToStart && error != QProcess::Crashed && psProcess->state() != QProcess::NotRunning)
        return;
    m_unpackStage = UnpackStage::None;
    qCWarning(lcDownloader) << "fallback unpacker unusable:" << error;
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
