#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QUrl>

class QTimer;
class QWebSocket;
class QWebSocketServer;

// The data server's tick stream on loopback: takes "auth", "subscribe" and
// "unsubscribe_all", answers a subscribe with "sub_ack" and then sends "batch"
// frames of random-walk ticks for the subscribed symbols at a set rate. Fault
// switches drop every connection, stall the stream, or send malformed frames.
// It counts what it sent and received so tests can check exactly-once delivery.
class FeedSimStream : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FeedSimStream)
public:
    explicit FeedSimStream(QObject *parent = nullptr);
    ~FeedSimStream() override;

    // Listens on 127.0.0.1; port 0 picks a free port. Calling start(port()) after
    // stop() comes back on the same port.
    bool start(quint16 port = 0);
    // Stops listening and drops every client.
    void stop();
    bool isListening() const;
    quint16 port() const;               // last port listened on
    QUrl url() const;                   // "ws://127.0.0.1:<port>/"

    // Batches per second sent to each subscribed client; 0 sends only on sendBatchNow().
    void setRate(double batchesPerSecond);
    double rate() const { return m_rate; }
    // Records per batch; 0 means one per subscribed symbol.
    void setBatchSize(int records);
    int batchSize() const { return m_batchSize; }
    // With acknowledgement off, subscriptions are recorded but no "sub_ack" is sent
    // and no batches follow (for tests that send their own frames).
    void setAcknowledge(bool on);
    void setSeed(quint32 seed);

    // Fault switches.
    void dropAllConnections();
    void setStalled(bool stalled);      // no batches; sockets stay open
    bool isStalled() const { return m_stalled; }
    // Non-JSON text, JSON of the wrong shape or types, and a binary frame, to every client.
    void sendMalformedFrames();
    // An outage: afterMs from now the stream stops (every client dropped, nothing
    // listens), and durationMs later it listens again on the same port.
    void scheduleOutage(int afterMs, int durationMs);
    // "SECONDS@AFTER" (40@60: down for 40 s, 60 s after the start) into milliseconds.
    static bool parseOutage(const QString &text, int *durationMs, int *afterMs);

    // Manual sending to every client (text frames as given; batches only to subscribed ones).
    int sendBatchNow();                 // records sent
    void sendText(const QString &frame);
    void sendBinary(const QByteArray &frame);

    // What went out.
    int batchesSent() const { return m_batchesSent; }
    qint64 recordsSent() const { return m_recordsSent; }
    QHash<QString, qint64> sentPerSymbol() const { return m_sentPerSymbol; }
    // Every record sent, as the tick line a client writes for it, in sending order.
    QByteArray sentTickLines() const { return m_sentTickLines; }

    // What came in.
    QStringList receivedFrames() const { return m_receivedFrames; }  // every text frame, in order
    QStringList authIds() const { return m_authIds; }
    QList<QStringList> subscribeLists() const { return m_subscribeLists; }
    int unsubscribeCount() const { return m_unsubscribeCount; }
    int connectionsAccepted() const { return m_connectionsAccepted; }
    int clientCount() const { return m_clients.size(); }
    void resetCounters();

    // Price of the next tick for a symbol: random walk with two decimals; index
    // futures (NIFTY-I, BANKNIFTY-I, ...) trade above 10,000.
    double nextPrice(const QString &symbol);

signals:
    void clientConnected();
    void clientDisconnected();
    void frameReceived(const QString &frame);
    void batchSent(int records);
    void outageStarted();
    void outageEnded();

private:
    struct Client
    {
        QString machineId;
        QStringList symbols;            // subscribed (acknowledged) symbols
        int cursor = 0;                 // next symbol when batches are smaller than the list
    };

    void onNewConnection();
    void onTextMessage(QWebSocket *socket, const QString &frame);
    void onClientGone(QWebSocket *socket);
    void onBatchTimer();
    int sendBatchTo(QWebSocket *socket, Client &client);
    void updateTimer();

    QWebSocketServer *m_server = nullptr;
    QTimer *m_batchTimer = nullptr;
    QHash<QWebSocket *, Client> m_clients;
    QHash<QString, qint64> m_priceCents;
    QHash<QString, qint64> m_volume;
    QRandomGenerator m_random;
    quint16 m_port = 0;
    double m_rate = 2.0;
    int m_batchSize = 0;
    bool m_acknowledge = true;
    bool m_stalled = false;

    int m_batchesSent = 0;
    qint64 m_recordsSent = 0;
    QHash<QString, qint64> m_sentPerSymbol;
    QByteArray m_sentTickLines;
    QStringList m_receivedFrames;
    QStringList m_authIds;
    QList<QStringList> m_subscribeLists;
    int m_unsubscribeCount = 0;
    int m_connectionsAccepted = 0;
};
