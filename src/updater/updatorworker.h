#pragma once

#include <QObject>
#include <QString>

// Downloads the release archive the server names, saves it in the install folder
// and unpacks it with 7-Zip into the staging folder beside the installed program
// (the restart script moves it into place), but only a release our release key
// signed, of the version the server announced, whole. Lives on a thread of its own:
// startDownload() runs to its end as one blocking call and reports through
// downloadFinished(), emitted exactly once per call.
class UpdatorWorker : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdatorWorker)
public:
    static constexpr int DownloadTimeoutMs = 120000; // whole transfer, from the request
    static constexpr int ArchiverStartTimeoutMs = 10000;
    static constexpr int ArchiverRunTimeoutMs = 120000;
    // The release is about 9 MiB; a download past this is no release of ours.
    static constexpr qint64 MaxArchiveBytes = 256 * 1024 * 1024;

    // Limits of one call; tests shorten them.
    struct Limits
    {
        int downloadMs = DownloadTimeoutMs;
        int archiverStartMs = ArchiverStartTimeoutMs;
        int archiverRunMs = ArchiverRunTimeoutMs;
        qint64 maxArchiveBytes = MaxArchiveBytes;
    };

    explicit UpdatorWorker(QObject *parent = nullptr);
    ~UpdatorWorker() override;

    void setLimits(const Limits &limits) { m_limits = limits; }
    Limits limits() const { return m_limits; }
    // The version the server announced: the signed release must be exactly that one.
    void setAnnouncedVersion(const QString &version) { m_announcedVersion = version; }

    // What the trader reads when a release is refused.
    static QString unverifiedText(const QString &announced);
    static QString damagedText(const QString &announced);
    // Why the staged release's program files (see Platform::programFileName()) would
    // not start; empty when they would, or when the release holds none.
    static QString programFilesDefect(const QString &staging);

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
    // A release that was downloaded and unpacked but refused (emitted before
    // downloadFinished): the same release would be refused again.
    void releaseRefused(QString version, QString reason);

private:
    void log(const QString &msg);
    void fail(const QString &logText, const QString &error);
    void refuse(const QString &staging, const QString &archivePath, const QString &reason, const QString &text);
    bool download(const QString &url, const QString &archivePath);

    Limits m_limits;
    QString m_announcedVersion;
};
