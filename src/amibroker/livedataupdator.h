#pragma once

#include "amibroker/backfillimporter.h"
#include "amibroker/brokerlink.h"
#include "amibroker/liveimport.h"
#include "amibroker/secondsums.h"
#include "platform/brokercall.h"

#include <QDateTime>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVariant>

#include <atomic>
#include <memory>

class QFile;
class SymbolSelection;
class TickBuffer;
class QTimer;

// The bridge between our data files and AmiBroker: the live import of tick lines
// and the backfill imports, all through the one automation object it owns.
//
// The automation object lives on a thread of its own ("amibroker"), and so does
// every live import cycle a batch schedules: the cycle's AmiBroker calls and its
// pause never hold up the window. Callers on any other thread hand their calls
// over with a blocking queued invocation and wait for the result.
//
// Lines AmiBroker did not take (busy behind a dialog, closed, crashed) are kept in
// the held-import file, on disk since AmiBroker may stay away for hours, and new
// lines join them in stream order; once AmiBroker answers again the file goes in
// with one Import. A file left by an earlier run goes in after the database is
// opened (loadDatabase).
class liveDataUpdator : public QThread
{
    Q_OBJECT

public:
    explicit liveDataUpdator(QObject *parent = nullptr);
    ~liveDataUpdator() override;

    static constexpr int HeldTicksRetryMs = 1000;

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
    QString heldImportPath;     // "C:\Quillmark\rtimport_held.txt"
    QHash<QString, QString> symbolMap;
    // The automation object, with what keeps it going (lives on brokerThread()).
    BrokerLink *amiBroker = nullptr;
    BackfillLimits backfillLimits;

    // The automation call on the automation object's thread, the caller waiting
    // for it, and what became of it.
    Broker::Reply brokerCall(const char *function, const QVariant &arg = QVariant());
    // "LoadDatabase(QString&)" with the database folder, without waiting for it
    // (AmiBroker may be busy); held lines of an earlier run go in after it.
    void loadDatabase();
    // What AmiBroker's state is, as far as the window's thread has heard.
    BrokerLink::State amiBrokerState() const { return m_brokerState; }
    // Ticks held for AmiBroker, as far as the window's thread has heard.
    qint64 heldTicks() const { return m_heldTicksSeen; }
    // The thread the automation object and the scheduled live import cycles run on.
    QThread *brokerThread() const { return m_brokerThread; }

    // Copies source to target with old symbol names renamed; false when either
    // path is empty, a file cannot be opened, or the copy could not be completed
    // (no partial target is left behind then).
    bool applySymbolMapping(const QString &source, const QString &target);
    // The selection whose symbols an end-of-day import keeps when asked to keep
    // the selected ones only (the window's; none: nothing counts as selected).
    void setSelection(const SymbolSelection *selection);
    // Where the live stream leaves its tick lines for the import (and the quote
    // table): the updater's own, shared with whoever feeds it.
    TickBuffer *tickBuffer() const { return m_ticks.get(); }
    // The backfill imports (on brokerThread()).
    BackfillImporter *backfillImporter() const { return m_importer; }

signals:
    void backfillDone();
    void doeodbackfill();
    void eodBackfillDone();
    // The live import file could not be written: ticks wait in memory from now
    // on. Emitted once per stretch of failing cycles, with the file system's reason.
    void liveImportBlocked(QString reason);
    // The first cycle after such a stretch that imported again.
    void liveImportResumed();
    // A live import cycle handed these tick lines to AmiBroker and has ended (its
    // pause included); emitted on the thread that ran it. Ticks held for AmiBroker
    // count once it has taken them.
    void ticksImported(int ticks);
    // AmiBroker's state or the number of ticks held for it changed (on this
    // object's thread); since is when the state began.
    void amiBrokerStateChanged(BrokerLink::State state, const QDateTime &since, qint64 heldTicks);
    // Something the trader should read about AmiBroker (an episode of it not
    // answering has ended), for the messages panel.
    void amiBrokerMessage(const QString &text);
    // Something the trader should read about a backfill import (it waits for room
    // on the disk), for the messages panel.
    void backfillMessage(const QString &text);

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
        bool holding = false; // lines wait in the held-import file for AmiBroker
    };
    // Lines and ticks in the held-import file (automation object's thread).
    struct Held
    {
        qint64 lines = 0;
        qint64 ticks = 0;
        bool fromEarlierRun = false; // waits for the database to be opened
    };
    LiveCycleResult runLiveCycle();
    void finishLiveCycle(const LiveCycleResult &result);
    // Runs fn on the automation object's thread, waiting for it when called from another.
    template<typename Fn>
    void onBrokerThread(Fn &&fn);
    void setLiveImportBlocked(bool blocked, const QString &reason = QString());
    void setHolding(bool holding);
    Broker::Reply importReply(const QString &file, const QString &formatFile);
    // Keeps the lines of a file AmiBroker did not take, after those already held.
    bool holdLines(const QString &file, qint64 lines, qint64 ticks);
    void heldImported();
    void brokerStateChanged(BrokerLink::State state, const QDateTime &since);
    void publishBrokerState();

    QThread *m_brokerThread = nullptr;
    QObject *m_brokerHome = nullptr; // lives on m_brokerThread: the target of handed-over calls
    BackfillImporter *m_importer = nullptr; // lives on m_brokerThread
    QPointer<const SymbolSelection> m_selection;
    std::unique_ptr<TickBuffer> m_ticks;
    bool liveImportIsBlocked = false;
    bool m_holding = false;
    // On the automation object's thread: the held lines, and the present episode
    // of AmiBroker not answering (invalid when there is none).
    Held m_held;
    QDateTime m_episodeStart;
    bool m_episodeWasGone = false;
    qint64 m_episodeTicks = 0;
    // On this object's thread: what the automation thread last told.
    BrokerLink::State m_brokerState = BrokerLink::State::Answering;
    qint64 m_heldTicksSeen = 0;
    // Retries held ticks while the import file cannot be written: the trouble
    // may end after the day's last batch, which would never bring another cycle.
    QTimer *heldTicksRetry = nullptr;
    std::atomic<bool> liveImportScheduled{false};
    // Each symbol's second in progress, as far as AmiBroker has been given it
    // (touched by the live import cycles only, on the automation object's thread).
    SecondSums m_secondSums;

    Q_DISABLE_COPY_MOVE(liveDataUpdator)
};
