#pragma once

#include <QObject>
#include <QString>

// Downloads the release archive the server names, saves it in the install folder
// and unpacks it with 7-Zip into the staging folder beside the installed program
// (the restart script moves it into place). Lives on a thread of its own: startDownload()
// runs to its end as one blocking call and reports through downloadFinished(),
// emitted exactly once per call.
class UpdatorWorker : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdatorWorker)
public:
    static constexpr int DownloadTimeoutMs = 120000; // whole transfer, from the request
    static constexpr int ArchiverStartTimeoutMs = 10000;
    static constexpr int ArchiverRunTimeoutMs = 120000;

    // Limits of one call; tests shorten them.
    struct Limits
    {
        int downloadMs = DownloadTimeoutMs;
        int archiverStartMs = ArchiverStartTimeoutMs;
        int archiverRunMs = ArchiverRunTimeoutMs;
    };

    explicit UpdatorWorker(QObject *parent = nullptr);
    ~UpdatorWorker() override;

    void setLimits(const Limits &limits) { m_limits = limits; }
    Limits limits() const { return m_limits; }

    // 7-Zip reports warnings with exit code 1 and still unpacks everything.
    static bool archiverSucceeded(int exitCode, bool crashed);
    // Removes what an earlier update left in the staging folder; false when
    // something of it could not be removed.
    static bool clearStaging(const QString &staging);

public slots:
    void startDownload(QString zipUrl);
    // Nothing can interrupt the blocking call; kept for callers that expect it.
    void cancel();

signals:
    void downloadProgress(qlonglong received, qlonglong total);
    void downloadFinished(bool ok, QString localZipPathOrError);
    void logMessage(QString msg);

private:
    void log(const QString &msg);
    void fail(const QString &logText, const QString &error);

    Limits m_limits;
};
