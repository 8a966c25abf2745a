#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QThread>
#include <QUrl>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Fetches one backfill archive at a time over HTTP, writes it into the install
// folder and unpacks it into the job's destination. Derives from QThread for its
// callers' sake, but the thread is never started: every slot runs on the thread
// that owns the object, driven by its timers, the reply and the unpackers.
class MyDownloader : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MyDownloader)

public:
    static constexpr int InitialRetryDelayMs = 1000;
    static constexpr int MaxRetryDelayMs = 30000;
    static constexpr double RetryGrowth = 1.8;
    static constexpr int TransferTimeoutMs = 90000;
    static constexpr int TimeoutRetryDelayMs = 10000;
    // How often a job that met a full disk looks again for room.
    static constexpr int DiskRetryMs = 10000;

    // What an archive may take of the disk when it is unpacked: never more than
    // maxBytes, and never so much that less than keepFreeBytes stay free.
    struct UnpackLimits
    {
        qint64 maxBytes = qint64(2) * 1024 * 1024 * 1024;
        qint64 keepFreeBytes = qint64(512) * 1024 * 1024;
    };
    // Tests use a small disk of their own, with smaller limits and waits.
    void setUnpackLimits(const UnpackLimits &limits) { m_limits = limits; }
    void setDiskRetryInterval(int ms);

    // fileName names the archive on disk for the object's whole life
    // (install folder + fileName); url, destination and method seed the first job.
    MyDownloader(const QString &fileName, const QString &url, const QString &destinationExtr,
                 int method = 0, QObject *parent = nullptr);
    ~MyDownloader() override;

    // "42.5%" for a known size; "--%" when bytesTotal is not positive.
    static QString progressText(qint64 bytesReceived, qint64 bytesTotal);
    // "1.3 MB/s": bytes over the elapsed time, never dividing by less than 1 ms.
    static QString speedText(qint64 bytesReceived, qint64 elapsedMs);

    // Full path of the archive file this downloader writes.
    QString archivePath() const;
    QUrl currentUrl() const { return url; }
    int currentMethod() const { return method; }
    int currentRetryDelay() const { return retryDelay; }
    int currentRetryCount() const { return retryCount; }

    QNetworkAccessManager *network = nullptr;

private:
    QUrl url;
    QNetworkReply *reply = nullptr;

public:
    QTimer *retryTimer = nullptr;
    QTimer *timeoutTimer = nullptr;

private:
    QFile *archiveFile = nullptr;
    QProcess *sevenZipProcess = nullptr;
    QProcess *psProcess = nullptr;

public:
    QString fileName;
    QString destination;

private:
    QElapsedTimer speedTimer;
    qint32 method = 0;
    qint32 retryDelay = InitialRetryDelayMs;
    qint32 maxRetryDelay = MaxRetryDelayMs;
    qint32 retryCount = 0;

signals:
    void updateProgress(QString progress, QString speed);
    void updateProgress2(QString progress, QString speed);
    void downloadfinished();
    void responseError();
    void showMessage(QString message);
    // The archive is refused (before responseError), in words for the trader:
    // "the archive would write outside C:\Quillmark\Backfill".
    void refused(const QString &reason);
    // The disk is full: the job waits (said once per stretch), and goes on.
    void waitingForDisk();
    void diskRoomAgain();

public slots:
    void initialize(QString fileName, QString url, QString destinationExtr, int method);
    void initialize(QString fileName, QString url, QString destinationExtr);
    void requestData();
    void downloadCompleted();
    void process7zipFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void processPSFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void process7zipError(QProcess::ProcessError error);
    void processPSError(QProcess::ProcessError error);
    void abort();
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);

protected:
    void run() override;

private:
    // Which unpacker's outcome is awaited; a process's late or repeated
    // notifications (a crash reports both an error and a finish) are ignored.
    enum class UnpackStage { None, SevenZip, Fallback };

    void scheduleRetry(int delayMs);
    void releaseReply(bool abortTransfer);
    void startSevenZip();
    void startFallback();
    void stopUnpackers();
    void moveIntoDestination();
    bool storeArchive(const QByteArray &body, bool *outOfSpace);
    void storePendingArchive();
    void watchUnpacking();
    bool unpackedWithinLimits();
    void refuse(const QString &reason);
    void removeUnpacked();
    void waitForDisk(void (MyDownloader::*retry)());
    void roomAgain();

    UnpackStage m_unpackStage = UnpackStage::None;
    UnpackLimits m_limits;
    QByteArray m_pendingBody;     // a downloaded archive waiting for room on the disk
    QTimer *m_diskTimer = nullptr;
    QTimer *m_unpackWatch = nullptr;
    qint64 m_declared = 0;        // what the archive says it unpacks to
    qint64 m_bytesBefore = 0;     // what the destination held before
    qint64 m_freeAtUnpack = -1;   // bytes free when the unpacking began
    qint64 m_lowestFree = -1;     // the least seen free since
    qint64 m_unpackBudget = 0;    // what it may take of them
    bool m_waitingForDisk = false;
};
