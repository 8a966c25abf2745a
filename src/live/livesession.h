#pragma once

#include "live/livehealth.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVector>

#include <functional>

class QLabel;
class QMessageBox;
class QTableWidget;
class QThread;
class QTimer;
class QWidget;
class SymbolSelection;
class TickBuffer;
class WebSocketWorker;
struct ServerProfile;

// The window's live stream: the WebSocket worker on a thread of its own, the
// status and health lines, the warning while ticks cannot be written for
// AmiBroker, and the quote table refreshed from each batch. It subscribes the
// selection (or the default symbols while nothing is selected) and tells whoever
// wires it of each batch, of an outage that ended, and of what the trader should
// read.
class LiveSession : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LiveSession)

public:
    // How long live ticks must stay unwritable before the window says so.
    static constexpr int ImportWarningDelayMs = 2000;
    // How often the quote table and the health line are refreshed besides each batch.
    static constexpr int RefreshIntervalMs = 500;

    struct Widgets
    {
        QWidget *window = nullptr;      // parent of the warning box
        QLabel *status = nullptr;       // "Live: Connected" / "Live: Disconnected"
        QLabel *health = nullptr;       // the health line
        QTableWidget *quotes = nullptr; // symbol, LTP, LTQ per selected symbol
    };

    LiveSession(TickBuffer *ticks, const SymbolSelection *selection, const ServerProfile *profile,
                const Widgets &widgets, QObject *parent = nullptr);
    // Ends the stream (stop()).
    ~LiveSession() override;

    // "BANKNIFTY-I", "CRUDEOIL-I", ...: what is subscribed while nothing is selected.
    static const QStringList &defaultSymbols();
    // The symbols the stream subscribes: the selection, or the defaults when it is empty.
    QStringList subscriptionList() const;

    // Starts the stream (the Connect press), or resubscribes a running one.
    void start();
    // The selection changed: a running stream follows it.
    void resubscribe();
    // Ends the stream: the worker stops on its own thread, the thread is quit and
    // waited for up to 2 s, then terminated.
    void stop();

    WebSocketWorker *worker() const { return m_worker; }
    QThread *thread() const { return m_thread; }

    // What the health line says, on the session's own monotonic clock (tests
    // replace it with a shorter tick window).
    LiveHealth &health() { return m_health; }
    qint64 healthNow() const { return m_healthClock.elapsed(); }
    void refreshHealthLine();

    // One refresh of the quote table from the latest batch.
    void refreshQuotes();
    // One refresh after a batch, however many batches arrive meanwhile.
    void scheduleQuotes();

    // The live import's reports, passed on by whoever wires the updater.
    void ticksImported(int ticks);
    void importBlocked(const QString &reason, const QString &importFile);
    void importResumed();
    void amiBrokerState(LiveHealth::BrokerState state, const QDateTime &since, qint64 heldTicks);

signals:
    // A batch arrived (for the live import).
    void batchArrived();
    // The stream is back after an outage of that long (for a gap fill).
    void outageEnded(qint64 durationMs, const QDateTime &lostAt);
    // Something the trader should read, for the messages panel.
    void message(const QString &text);

private:
    void showImportWarning();

    TickBuffer *m_ticks;
    const SymbolSelection *m_selection;
    const ServerProfile *m_profile;
    Widgets m_widgets;
    QThread *m_thread = nullptr;
    WebSocketWorker *m_worker = nullptr;
    QTimer *m_refreshTimer = nullptr;
    bool m_quotesScheduled = false;
    LiveHealth m_health;
    QElapsedTimer m_healthClock;
    // The quote table's rows by symbol: a slot per distinct selected symbol (UTF-8)
    // and each row's slot, for the selection they were made for.
    struct QuoteRows
    {
        QStringList symbols;
        QHash<QByteArray, int> slotOfSymbol;
        QVector<int> slotOfRow;
    } m_rows;
    // A box that stays up, without blocking the window, while live ticks cannot
    // be written for AmiBroker; it closes itself once they can again. Shown only
    // when the trouble outlasts ImportWarningDelayMs, so a file held for a moment
    // (AmiBroker still reading it) does not flash a box.
    QPointer<QMessageBox> m_warning;
    QTimer *m_warningDelay = nullptr;
    QString m_blockedReason;
    QString m_importFile;
};
