#pragma once

#include "amibroker/secondsums.h"
#include "platform/brokerautomation.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVariant>

#include <atomic>

class QFile;
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

// The import file text for queued tick lines: lines that are empty, mention
// "Failed" (any case), have fewer than 8 fields, carry no price above 0 or a date
// or time that is no real moment are dropped; fields past the eighth are cut, every field trimmed, the symbol renamed
// through symbolMap, the price and quantity rewritten in the tick line's form.
// With sums, a tick's line carries the summed quantity of its symbol's second so
// far, and of the ticks of one second only the last one's line is written (in the
// place of the first); late ticks and ticks whose date or time AmiBroker cannot
// read pass as they are. *kept (when given) receives the number of lines written.
QByteArray liveImportLines(const QByteArray &pending, const QHash<QString, QString> &symbolMap, int *kept = nullptr,
                           SecondSums *sums = nullptr);

// The bridge between our data files and AmiBroker: the live import of tick lines
// and the backfill imports, all through the one automation object it owns.
//
// The automation object lives on a thread of its own ("amibroker"), and so does
// every live import cycle a batch schedules: the cycle's AmiBroker calls and its
// pause never hold up the window. Callers on any other thread hand their calls
// over with a blocking queued invocation and wait for the result.
class liveDataUpdator : public QThread
{
    Q_OBJECT

public:
    explicit liveDataUpdator(QObject *parent = nullptr);
    ~liveDataUpdator() override;

    // How chunked backfill imports are paced and bounded.
    static constexpr int HeldTicksRetryMs = 1000;

    struct BackfillLimits
    {
        qint64 chunkBytes = 16777216;   // largest chunk AmiBroker is handed
        int maxChunks = 800;            // rollovers allowed per source file
        int attempts = 5;               // import attempts per chunk
        int pauseBeforeImportMs = 100;  // lets the closed chunk settle on disk
        int retryPauseMs = 150;         // between attempts that did not succeed
    };

    QStringList selectedSymbols;
    QStringList activeFeeds;
    QStringList selectedExchanges;
    QString databasePath;       // "C:\Quillmark\Amibroker\AF1000"
    QString rtImportPath;       // "C:\Quillmark\rtimport.txt"
    QString liveFormatPath;     // "C:\Quillmark\dataFormatRT.dll"
    QString eodFormatPath;      // "C:\Quillmark\dataFormatEod.dll"
    QString backfillFormatPath; // "C:\Quillmark\dataFormat.dll"
    QString rtSocketPath;       // "C:\Quillmark\rtsocket.txt"
    QString installFolder;      // "C:/Quillmark"
    QString backfillFolder;     // "C:/Quillmark/Backfill"
    QString workFolder;         // "C:\Quillmark\sqldrivers\x86"
    qint32 runMode = 0;         // 1: the thread asks for an end-of-day import
    bool eodSelectedOnly = false;
    QStringList backfillQueue;
    QHash<QString, QString> symbolMap;
    BrokerObject *amiBroker = nullptr;
    BackfillLimits backfillLimits;

    // The automation call on the automation object's thread, the caller waiting
    // for it; an invalid variant when there is no automation object.
    QVariant brokerCall(const char *function, const QVariant &arg = QVariant());
    // The thread the automation object and the scheduled live import cycles run on.
    QThread *brokerThread() const { return m_brokerThread; }

    // Copies source to target with old symbol names renamed; false when either
    // path is empty, a file cannot be opened, or the copy could not be completed
    // (no partial target is left behind then).
    bool applySymbolMapping(const QString &source, const QString &target);

signals:
    void updateDisplayTable();
    void backfillStarted();
    void downloadFinished();
    void backfillDone();
    void doAutoBackfill();
    void updateProgress3(QString, QString);
    void doeodbackfill();
    void eodBackfillDone();
    // The live import file could not be written: ticks wait in memory from now
    // on. Emitted once per stretch of failing cycles, with the file system's reason.
    void liveImportBlocked(QString reason);
    // The first cycle after such a stretch that imported again.
    void liveImportResumed();
    // A live import cycle handed these tick lines to AmiBroker and has ended (its
    // pause included); emitted on the thread that ran it.
    void ticksImported(int ticks);

public slots:
    void doEodBackfill();
    void updateDataAmi();
    void doBackFill();
    void do5DayFastBackfill();
    // What a new batch of ticks asks for: one live import cycle on the automation
    // object's thread, and never more than one waiting. Each cycle takes every tick
    // queued so far and then pauses; one cycle queued per batch would pile up
    // faster than they run at high tick rates.
    void scheduleLiveImport();
    // One last cycle for ticks that still wait (held by a failing import file,
    // or queued behind a cycle that will not run any more): the window's close.
    void importHeldTicks();

public:
    // "Import(0,<file>,<format>)" on AmiBroker; an invalid variant when there is
    // no automation object.
    Q_INVOKABLE QVariant importIntoAmiBroker(QString file, QString formatFile);

protected:
    void run() override;

private:
    // What a live import cycle left behind for the window's side.
    struct LiveCycleResult
    {
        bool blocked = false; // the import file could not be written; ticks held
        QString reason;
    };
    LiveCycleResult runLiveCycle();
    void finishLiveCycle(const LiveCycleResult &result);
    // Runs fn on the automation object's thread, waiting for it when called from another.
    template<typename Fn>
    void onBrokerThread(Fn &&fn);
    void pauseBeforeImport();
    bool importChunkWithRetries(const QString &chunkPath);
    void chunkAndImport(const QString &sourcePath, const QString &fileToChunk, QFile &errorLog);
    QString chunkPath(int counter) const;
    void setLiveImportBlocked(bool blocked, const QString &reason = QString());

    QThread *m_brokerThread = nullptr;
    QObject *m_brokerHome = nullptr; // lives on m_brokerThread: the target of handed-over calls
    bool liveImportIsBlocked = false;
    // Retries held ticks while the import file cannot be written: the trouble
    // may end after the day's last batch, which would never bring another cycle.
    QTimer *heldTicksRetry = nullptr;
    std::atomic<bool> liveImportScheduled{false};
    // Each symbol's second in progress, as far as AmiBroker has been given it
    // (touched by the live import cycles only, on the automation object's thread).
    SecondSums m_secondSums;

    Q_DISABLE_COPY_MOVE(liveDataUpdator)
};
