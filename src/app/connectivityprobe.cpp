#include "connectivityprobe.h"

#include <QHostInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QTcpSocket>

#include <thread>

struct ConnectivityProbe::Lookup
{
    QString host;
    QMutex mutex;
    bool done = false;
    QList<QHostAddress> addresses;
};

namespace {

// A lookup left running by an earlier probe, if any (GUI thread only).
std::shared_ptr<ConnectivityProbe::Lookup> g_running;

// How often a probe looks whether its lookup has ended; a lookup answered from
// the system's cache ends before the first look.
constexpr int LookupPollMs = 20;

} // namespace

ConnectivityProbe::ConnectivityProbe(QObject *parent)
    : QObject(parent)
{
    m_budget.setSingleShot(true);
    // A coarse timer may end a 5 s budget a quarter of a second early.
    m_budget.setTimerType(Qt::PreciseTimer);
    connect(&m_budget, &QTimer::timeout, this, [this] { finish(false); });
    m_lookupPoll.setInterval(LookupPollMs);
    connect(&m_lookupPoll, &QTimer::timeout, this, &ConnectivityProbe::pollLookup);
}

ConnectivityProbe::~ConnectivityProbe()
{
    if (m_socket)
        m_socket->abort();
}

void ConnectivityProbe::start(const QString &host, quint16 port, int budgetMs)
{
    if (m_running)
        return;
    m_running = true;
    m_port = port;
    m_addresses.clear();
    m_budget.start(budgetMs);

    QHostAddress literal;
    if (literal.setAddress(host)) {
        m_addresses = {literal};
        tryNextAddress();
        return;
    }
    m_lookup = g_running;
    if (!m_lookup || m_lookup->host != host) {
        m_lookup = std::make_shared<Lookup>();
        m_lookup->host = host;
        // Qt's own lookups run in a pool that the process waits for at its exit,
        // however long a lookup hangs; a detached thread is waited for by nobody.
        std::thread([lookup = m_lookup] {
            const QList<QHostAddress> addresses = QHostInfo::fromName(lookup->host).addresses();
            QMutexLocker lock(&lookup->mutex);
            lookup->addresses = addresses;
            lookup->done = true;
        }).detach();
        g_running = m_lookup;
    }
    pollLookup();
    if (m_running && m_lookup)
        m_lookupPoll.start();
}

void ConnectivityProbe::pollLookup()
{
    if (!m_lookup)
        return;
    {
        QMutexLocker lock(&m_lookup->mutex);
        if (!m_lookup->done)
            return;
        m_addresses = m_lookup->addresses;
    }
    m_lookupPoll.stop();
    if (g_running == m_lookup)
        g_running.reset();
    m_lookup.reset();
    tryNextAddress();
}

void ConnectivityProbe::tryNextAddress()
{
    if (m_addresses.isEmpty()) {
        finish(false);
        return;
    }
    const QHostAddress address = m_addresses.takeFirst();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
    }
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, [this] { finish(true); });
    connect(m_socket, &QAbstractSocket::errorOccurred, this, [this] { tryNextAddress(); });
    m_socket->connectToHost(address, m_port, QIODevice::ReadWrite);
}

void ConnectivityProbe::finish(bool connected)
{
    if (!m_running)
        return;
    m_running = false;
    m_budget.stop();
    m_lookupPoll.stop();
    // A lookup still running stays in g_running for the next probe.
    m_lookup.reset();
    m_addresses.clear();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
    emit finished(connected);
}
