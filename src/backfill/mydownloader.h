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
    bool storeArchive(const QByteArray &body);

    UnpackStage m_unpackStage = UnpackStage::None;
};
