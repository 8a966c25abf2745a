#include "livehealth.h"

#include <QLocale>
#include <QStringList>

LiveHealth::LiveHealth(qint64 windowMs)
    : m_windowMs(qMax<qint64>(1, windowMs))
{
}

void LiveHealth::connected()
{
    if (m_everConnected)
        ++m_reconnects;
    m_everConnected = true;
    m_state = State::Connected;
}

void LiveHealth::disconnected()
{
    m_state = State::Disconnected;
}

void LiveHealth::batchReceived(qint64 now, int records, int kept)
{
    m_received += records;
    m_kept += kept;
    if (kept <= 0)
        return;
    m_lastTickAt = now;
    m_recent.emplace_back(now, kept);
    m_recentTicks += kept;
    forget(now);
}

void LiveHealth::ticksImported(int ticks)
{
    m_imported += ticks;
}

void LiveHealth::outageEnded(qint64 durationMs, const QDateTime &lostAt)
{
    m_lastOutageMs = durationMs;
    m_lastOutageAt = lostAt;
}

void LiveHealth::amiBroker(BrokerState state, qint64 since, qint64 heldTicks)
{
    m_brokerState = state;
    m_brokerSince = since;
    m_heldTicks = qMax<qint64>(0, heldTicks);
}

void LiveHealth::forget(qint64 now) const
{
    while (!m_recent.empty() && m_recent.front().first <= now - m_windowMs) {
        m_recentTicks -= m_recent.front().second;
        m_recent.pop_front();
    }
}

double LiveHealth::ticksPerSecond(qint64 now) const
{
    forget(now);
    return double(m_recentTicks) * 1000.0 / double(m_windowMs);
}

qint64 LiveHealth::lastTickAgeMs(qint64 now) const
{
    return m_lastTickAt < 0 ? -1 : qMax<qint64>(0, now - m_lastTickAt);
}

LiveHealth::Colour LiveHealth::colour(qint64 now) const
{
    if (m_state != State::Connected)
        return Colour::Red;
    if (!brokerIsPlain())
        return now - m_brokerSince >= BrokerRedAfterMs ? Colour::Red : Colour::Amber;
    const qint64 age = lastTickAgeMs(now);
    return age >= 0 && age < m_windowMs ? Colour::Green : Colour::Amber;
}

QString LiveHealth::text(qint64 now) const
{
    QStringList parts;
    switch (m_state) {
    case State::Connecting:
        parts << QStringLiteral("Connecting");
        break;
    case State::Connected:
        parts << QStringLiteral("Connected");
        break;
    case State::Disconnected:
        parts << QStringLiteral("Disconnected");
        break;
    }
    // AmiBroker's trouble right after the connection's state: a long line is cut
    // at its end, and this is what the trader must not miss.
    if (!brokerIsPlain()) {
        const QString held = QLocale(QLocale::English).toString(m_heldTicks);
        switch (m_brokerState) {
        case BrokerState::Busy:
            parts << QStringLiteral("AmiBroker busy %1 s").arg(qMax<qint64>(0, now - m_brokerSince) / 1000);
            parts << QStringLiteral("%1 ticks held").arg(held);
            break;
        case BrokerState::NotRunning:
            parts << QStringLiteral("AmiBroker not running") << QStringLiteral("%1 ticks held").arg(held);
            break;
        case BrokerState::Answering:
            parts << QStringLiteral("%1 ticks held for AmiBroker").arg(held);
            break;
        }
    }
    parts << QStringLiteral("%1 ticks/s").arg(ticksPerSecond(now), 0, 'f', 1);
    const qint64 age = lastTickAgeMs(now);
    parts << (age < 0 ? QStringLiteral("no tick yet")
                      : QStringLiteral("last tick %1 s ago").arg(double(age) / 1000.0, 0, 'f', 1));
    parts << (m_reconnects == 1 ? QStringLiteral("1 reconnect") : QStringLiteral("%1 reconnects").arg(m_reconnects));
    if (m_lastOutageMs >= 0) {
        parts << QStringLiteral("last outage %1 s at %2")
                     .arg(qRound64(double(m_lastOutageMs) / 1000.0))
                     .arg(m_lastOutageAt.toString(QStringLiteral("HH:mm:ss")));
    }
    return parts.join(QStringLiteral(" \u00b7 "));
}

QString LiveHealth::toolTip() const
{
    return QStringLiteral("Since start-up: %1 ticks received, %2 imported, %3 dropped by the record rules")
        .arg(m_received)
        .arg(m_imported)
        .arg(m_received - m_kept);
}

QString LiveHealth::styleSheet(Colour colour)
{
    switch (colour) {
    case Colour::Green:
        return QStringLiteral("QLabel { color: #04432E; font-weight: bold; }");
    case Colour::Amber:
        return QStringLiteral("QLabel { color: #b36b00; font-weight: bold; }");
    case Colour::Red:
        break;
    }
    return QStringLiteral("QLabel { color: #ff0000; font-weight: bold; }");
}
