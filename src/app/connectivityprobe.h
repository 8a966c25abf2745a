#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QTcpSocket;

// Whether a TCP connection to host:port can be opened, decided within a budget
// all told, without ever blocking the thread it runs on: the window stays
// responsive while a probe waits for a host whose packets are dropped.
//
// The host-name lookup is part of the budget: with the name servers out of
// reach a lookup can take far longer than the budget. A lookup that outlasts its
// probe goes on in the background and serves the next probe of the same host
// instead of starting another one.
class ConnectivityProbe : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConnectivityProbe)
public:
    explicit ConnectivityProbe(QObject *parent = nullptr);
    ~ConnectivityProbe() override;

    // Starts a probe; ignored while one runs.
    void start(const QString &host, quint16 port, int budgetMs);
    bool isRunning() const { return m_running; }

    struct Lookup;

signals:
    // Once per start, when the connection opened or the budget ran out.
    void finished(bool connected);

private:
    void pollLookup();
    void tryNextAddress();
    void finish(bool connected);

    bool m_running = false;
    quint16 m_port = 0;
    QTimer m_budget;
    QTimer m_lookupPoll;
    std::shared_ptr<Lookup> m_lookup;
    QList<QHostAddress> m_addresses;
    QTcpSocket *m_socket = nullptr;
};
