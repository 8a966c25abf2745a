#pragma once

#include <QFile>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class BrokerLink;
class LineReader;
class QTimer;

// Files of the backfill import in the work folder ("sqldrivers/x86"): chunk files
// ChunkPrefix + counter (at least three digits) + ChunkSuffix, mapped copies
// ProcessedPrefix + source name, and the error log.
namespace BackfillWorkFiles {
inline constexpr char ChunkPrefix[] = "cvav_debugvminst_openglw_part";
inline constexpr char ChunkSuffix[] = ".log";
inline constexpr char ProcessedPrefix[] = "processed_";
inline constexpr char ErrorLog[] = "backfill_error.log";
} // namespace BackfillWorkFiles

// True when a downloaded backfill file is no data at all: 99 bytes or less, or
// its first probeBytes bytes (up to a zero byte) hold an HTML page or a no-data
// answer ("<!DOCTYPE", "<html", "No data", "not found", any case). A file that
// cannot be read counts as junk too; either way it is deleted unimported.
bool isJunkBackfillFile(const QString &path, int probeBytes);

// What the messages panel says while a backfill waits for room on the disk.
QString backfillPausedForDiskText();
QString backfillGoesOnText();

// How chunked backfill imports are paced and bounded.
struct BackfillLimits
{
    qint64 chunkBytes = 16777216;  // largest chunk AmiBroker is handed
    int maxChunks = 800;           // rollovers allowed per source file
    int attempts = 5;              // import attempts per chunk
    int pauseBeforeImportMs = 100; // lets the closed chunk settle on disk
    int retryPauseMs = 150;        // between attempts that did not succeed
};

// Imports what an unpacked backfill archive left in the backfill folder into
// AmiBroker, then removes it: intraday files renamed through the symbol mapping
// and cut into chunks, end-of-day files whole. It lives on the automation object's
// thread and works there in steps, so live import cycles go on between its chunks
// and its pauses are timers, never sleeps:
// - a chunk AmiBroker does not take because it is busy or gone is not an attempt:
//   the job waits for AmiBroker and goes on with that chunk when it answers;
// - a chunk or mapped copy that the full disk cuts short is written again once
//   there is room (looked at every DiskRetryMs), from where it began.
// Jobs asked for while one runs follow it in order.
class BackfillImporter : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BackfillImporter)

public:
    static constexpr int DiskRetryMs = 10000;
    static constexpr int BrokerRetryMs = 1000;

    struct Paths
    {
        QString backfillFolder; // where archives are unpacked
        QString workFolder;     // chunks, mapped copies, the error log
        QString backfillFormat; // intraday format definition
        QString eodFormat;      // end-of-day format definition
    };

    BackfillImporter(BrokerLink *link, const Paths &paths, QObject *parent = nullptr);
    ~BackfillImporter() override;

    // Both to be called on the importer's thread (queue them from elsewhere).
    void importIntraday(const BackfillLimits &limits);
    // End-of-day files; unless pending1y, only those of selectedSymbols when selectedOnly.
    void importEod(const QStringList &selectedSymbols, bool selectedOnly, bool pending1y);

    // Copies source to target with old symbol names renamed; false when either
    // path is empty, a file cannot be opened, or the copy could not be completed
    // (no partial target is left behind then; *outOfSpace tells a full disk).
    static bool applySymbolMapping(const QString &source, const QString &target, bool *outOfSpace = nullptr);

    // Tests shorten the waits.
    void setRetryIntervals(int diskMs, int brokerMs);
    bool isIdle() const;

signals:
    void intradayDone();
    void eodDone();
    // The disk is full: the job waits (once per stretch), and goes on.
    void waitingForDisk();
    void diskRoomAgain();

private:
    struct Job;
    void startNext();
    void step();
    void later(int ms);
    void waitForDisk();
    void waitForAmiBroker();
    void nextIntradayFile();
    void mapFile();
    void openFileToChunk();
    void fillChunk();
    void importChunk();
    void afterChunk();
    void finishFile();
    void finishIntraday();
    void nextEodFile();
    void importEodFile();
    void finishEod();
    void logError(const char *message, const QString &path);
    QString chunkPath(int counter) const;

    BrokerLink *m_link;
    Paths m_paths;
    QTimer *m_wakeUp;
    std::unique_ptr<Job> m_job;
    QList<std::function<void()>> m_waiting; // jobs asked for while one runs
    int m_diskRetryMs = DiskRetryMs;
    int m_brokerRetryMs = BrokerRetryMs;
    bool m_waitingForDisk = false;
    bool m_waitingForBroker = false;
};
