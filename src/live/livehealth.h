#pragma once

#include <QDateTime>
#include <QString>

#include <deque>
#include <utility>

// What the health line under the quote table says about the live stream: the
// connection's state, ticks per second over the last window, the age of the last
// tick, reconnects since start-up and the last outage. Times are milliseconds of
// one monotonic clock, passed in, so the line can be checked against a known stream.
class LiveHealth
{
public:
    // Ticks within this window make the line green; a connection silent for as
    // long turns it amber (never an outage: markets close, quiet symbols pause).
    static constexpr qint64 TickWindowMs = 10000;

    enum class State { Connecting, Connected, Disconnected };
    enum class Colour { Green, Amber, Red };
    // AmiBroker as the live import meets it.
    enum class BrokerState { Answering, Busy, NotRunning };
    // How long AmiBroker may stay away before the line turns from amber to red.
    static constexpr qint64 BrokerRedAfterMs = 30000;

    explicit LiveHealth(qint64 windowMs = TickWindowMs);

    void connected();
    void disconnected();
    // A batch frame: records received, the tick lines kept by the record rules.
    void batchReceived(qint64 now, int records, int kept);
    void ticksImported(int ticks);
    void outageEnded(qint64 durationMs, const QDateTime &lostAt);
    // AmiBroker's state since the time given (on the same clock), and the ticks
    // held for it meanwhile.
    void amiBroker(BrokerState state, qint64 since, qint64 heldTicks);

    State state() const { return m_state; }
    double ticksPerSecond(qint64 now) const;
    // -1 before the first tick.
    qint64 lastTickAgeMs(qint64 now) const;
    int reconnects() const { return m_reconnects; }
    qint64 lastOutageMs() const { return m_lastOutageMs; }

    Colour colour(qint64 now) const;
    QString text(qint64 now) const;
    QString toolTip() const;
    // Colours as the status label shows them.
    static QString styleSheet(Colour colour);

private:
    void forget(qint64 now) const;
    bool brokerIsPlain() const { return m_brokerState == BrokerState::Answering && m_heldTicks == 0; }

    qint64 m_windowMs;
    State m_state = State::Connecting;
    bool m_everConnected = false;
    int m_reconnects = 0;
    qint64 m_lastTickAt = -1;
    qint64 m_received = 0;
    qint64 m_kept = 0;
    qint64 m_imported = 0;
    qint64 m_lastOutageMs = -1;
    QDateTime m_lastOutageAt;
    BrokerState m_brokerState = BrokerState::Answering;
    qint64 m_brokerSince = 0;
    qint64 m_heldTicks = 0;
    // (time, kept ticks) of the batches within the window; trimmed when read.
    mutable std::deque<std::pair<qint64, int>> m_recent;
    mutable qint64 m_recentTicks = 0;
};
