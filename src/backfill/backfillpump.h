#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class MyDownloader;
class QComboBox;
class QProgressBar;
class QPushButton;
class QTimer;
class SymbolSelection;
class liveDataUpdator;
struct ServerProfile;

// The backfill queue pump: turns the trader's backfill actions into jobs, owns
// their queue, hands one job at a time to the downloader and its import to the
// updater, drives the backfill button and bar, and runs the end-of-day dialog's
// single job. One per main window, created and destroyed with it, so nothing of a
// run survives the window (an in-process restart starts with an idle pump).
class BackfillPump : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BackfillPump)

public:
    enum class State {
        Idle,      // nothing handed out, nothing pending
        QueueJob,  // a queued job downloads or imports, or the next one follows a failure
        DialogJob, // the end-of-day dialog's job downloads or imports
        Stopping,  // Stop pressed: the current job ends, then the queue is dropped
    };
    Q_ENUM(State)

    static constexpr int RequestDelayMs = 50;
    static constexpr int DialogRequestDelayMs = 10;
    static constexpr int NextJobAfterFailureMs = 100;
    static constexpr int LongBackfillDays = 60;

    // The widgets the pump drives.
    struct Widgets
    {
        QPushButton *button = nullptr;  // "Backfill" / "Stop"
        QProgressBar *bar = nullptr;    // the backfill progress bar
        QComboBox *days = nullptr;      // days of a manual backfill
        QComboBox *autoDays = nullptr;  // days of an automatic one
    };
    // What the pump is built from; all of it outlives the pump.
    struct Parts
    {
        liveDataUpdator *updater = nullptr;
        MyDownloader *downloader = nullptr;
        const ServerProfile *profile = nullptr;
        const SymbolSelection *selection = nullptr;
        std::function<QStringList()> enabledExchanges; // of the feeds enabled now
        std::function<bool()> slowWanted;              // the trader asked for the slow path
        Widgets widgets;
    };

    BackfillPump(const Parts &parts, QObject *parent = nullptr);
    ~BackfillPump() override;

    // The jobs (archive addresses) waiting, in order; a job joins at the end.
    const QStringList &queue() const { return m_queue; }
    void enqueue(const QString &url);
    // The selected symbols a run backfills: those of an enabled feed, sorted
    // ignoring case.
    QStringList backfillableSymbols() const;

    State state() const { return m_state; }
    bool isIdle() const { return m_state == State::Idle; }
    // A start-up or new-symbol run is going on (no long-backfill warning for it).
    bool autoBackfillRunning() const { return m_autoRunning; }
    // The start-up run also queued end-of-day jobs.
    bool eodChainPending() const { return m_eodChainPending; }
    bool stopRequested() const { return m_state == State::Stopping || m_stopAfterDialog; }
    bool currentJobIsEod() const { return m_currentJobIsEod; }
    QString lastIntradaySymbols() const { return m_lastIntradaySymbols; }
    // The timer that hands out the next job after a failed one.
    const QTimer *continuation() const { return m_continueTimer; }

    // When an outage of the live stream is worth a gap fill.
    struct GapFillRules
    {
        qint64 minOutageMs = 30000;   // shorter outages are only counted
        qint64 minSpacingMs = 600000; // a flapping link must not flood the server
    };
    // Tests shorten the rules instead of waiting them out.
    void setGapFillRules(const GapFillRules &rules) { m_gapFillRules = rules; }

    // An outage of the live stream has ended. When it lasted at least
    // minOutageMs, no gap fill ran within minSpacingMs and "gapFillEnabled" is
    // on, queues a one-day intraday job for every selected symbol of an enabled
    // feed behind whatever runs (so Stop drops them too) and says so in the
    // messages panel. Returns the number of symbols queued.
    int fillGap(qint64 outageMs);

    // The long-backfill warning is shown once per process, whatever the windows.
    static bool longBackfillWarned();
    static void setLongBackfillWarned(bool warned);

    // The window's actions.
    void startupRun();                                 // five-day run at start-up
    void backfillNewSymbols(const QStringList &symbols);
    void mainButtonClicked();                          // "Backfill" or "Stop"
    void rowButtonClicked(const QString &symbol, const QString &exchange);
    void dialogJobRequested(const QString &symbol, bool selectedOnly);

public slots:
    // Hands out the next queued job, or ends the run when there is none.
    void pump();
    void jobFailed();
    void updateProgress(const QString &progress, const QString &speed);
    void downloadTimedOut();
    // The button once the updater's import is done (its backfillDone).
    void showImportDone();
    void intradayImportDone();
    void eodImportDone();
    void dialogDownloadFinished();
    void dialogJobDone();
    // The downloader's words for the messages panel: a refused archive (once per
    // job) and a wait for room on the disk.
    void archiveRefused(const QString &reason);
    void waitingForDisk();
    void diskRoomAgain();

signals:
    // Something the trader should read (a gap filled, an archive refused, a wait
    // for disk room), for the messages panel.
    void message(const QString &text);

private:
    void dialogProgress(const QString &progress, const QString &speed);
    void startRun(bool automatic);
    void endRun();
    void abandonDialogJob();
    void afterFailure();
    void disconnectDownloader();
    void setButton(const char *caption, bool enabled);

    liveDataUpdator *m_updater;
    MyDownloader *m_downloader;
    const ServerProfile *m_profile;
    const SymbolSelection *m_selection;
    std::function<QStringList()> m_enabledExchanges;
    std::function<bool()> m_slowWanted;
    Widgets m_widgets;
    QStringList m_queue;
    State m_state = State::Idle;
    QTimer *m_continueTimer = nullptr;
    QObject *m_words = nullptr; // context of the downloader's words, kept across jobs
    bool m_busy = false;             // guards against re-entry from a nested event loop
    bool m_autoRunning = false;
    bool m_eodChainPending = false;
    bool m_stopAfterDialog = false;  // Stop pressed during a dialog job
    bool m_failedDialogJob = false;  // the continuation follows a failed dialog job
    bool m_currentJobIsEod = false;
    bool m_barPrepared = false;
    bool m_textVisible = false;
    QString m_lastIntradaySymbols;
    GapFillRules m_gapFillRules;
    QElapsedTimer m_lastGapFill; // since the last gap fill; invalid before the first
};
