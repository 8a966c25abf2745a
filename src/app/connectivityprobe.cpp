#include "connectivityprobe.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QTcpSocket>
#include <QWaitCondition>

#include <memory>
#include <thread>

namespace {

struct Lookup
{
    QString host;
    QMutex mutex;
    QWaitCondition finished;
    bool done = false;
    QList<QHostAddress> addresses;
};

// The lookup still running from an earlier probe, if any (GUI thread only).
std::shared_ptr<Lookup> g_running;

QList<QHostAddress> resolve(const QString &host, const QDeadlineTimer &deadline)
{
    QHostAddress literal;
    if (literal.setAddress(host))
        return {literal};

    std::shared_ptr<Lookup> lookup = g_running;
    if (!lookup || lookup->host != host) {
        lookup = std::make_shared<Lookup>();
        lookup->host = host;
        // Qt's own lookup cannot be waited for with a bound without running the
        // event loop; a thread of its own can, and it holds what it fills.
        std::thread([lookup] {
            const QList<QHostAddress> addresses = QHostInfo::fromName(lookup->host).addresses();
            QMutexLocker lock(&lookup->mutex);
            lookup->addresses = addresses;
            lookup->done = true;
            lookup->finished.wakeAll();
        }).detach();
        g_running = lookup;
    }

    QMutexLocker lock(&lookup->mutex);
    while (!lookup->done) {
        if (!lookup->finished.wait(&lookup->mutex, deadline))
            return {};
    }
    if (g_running == lookup)
        g_running.reset();
    return lookup->addresses;
}

} // namespace

bool probeConnection(const QString &host, quint16 port, int budgetMs)
{
    const QDeadlineTimer deadline(budgetMs);
    const QList<QHostAddress> addresses = resolve(host, deadline);
    for (const QHostAddress &address : addresses) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            break;
        QTcpSocket socket;
        socket.connectToHost(address, port, QIODevice::ReadWrite);
        if (socket.waitForConnected(int(left))) {
            socket.close();
            return true;
        }
    }
    return false;
}
