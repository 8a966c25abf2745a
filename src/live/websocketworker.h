#pragma once

#include <QAbstractSocket>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkConfigurationManager>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>

class QTimer;
class QWebSocket;

// Keeps one WebSocket connection to the data server while live data is wanted:
// authenticates, subscribes the symbols, turns each "batch" frame into tick lines
// in the tick file and latestBatch, pings every 10 s and reconnects at a fixed
// interval after any loss until stop(). Lives on its own thread; reach it only
// through queued invocations and signals.
class TickBuffer;

class WebSocketWorker : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WebSocketWorker)
public:
    WebSocketWorker(const QUrl &url, const QStringList &symbols, const QString &fileName,
                    const QString &clientId, QObject *parent = nullptr);
    ~WebSocketWorker() override;

    static constexpr int HealthIntervalMs = 10000;
    static constexpr int ReconnectIntervalMs = 3000;
    static constexpr int OnlineReconnectIntervalMs = 500;
    // How long an attempt may stay connecting (TCP and WebSocket handshake)
    // before a reconnect tick gives it up for a new one.
    static constexpr int HandshakeTimeoutMs = 10000;

    // The largest message taken from the server (a batch of about half a million
    // ticks); a bigger one closes the connection, which then reconnects as after
    // any loss, instead of being gathered in memory.
    static constexpr qint64 MaxMessageBytes = 64 * 1024 * 1024;
    // What the messages panel says after such a message; bytes <= 0 when its size is not known.
    static QString tooLargeMessageText(qint64 bytes);

    // Tests shorten the handshake time-out instead of waiting it out.
    void setHandshakeTimeout(int ms) { handshakeTimeoutMs = ms; }

    // Where each batch's tick lines go for the quote table and the live import;
    // set before the worker starts (none: they go nowhere but the tick file).
    void setTickBuffer(TickBuffer *buffer) { tickBuffer = buffer; }

signals:
    void rtDataDownloaded();
    void connected();
    void disconnected();
    void subscribedAck(const QStringList &symbols);
    void debugMessage(const QString &message);
    // A "batch" frame while subscribed: its records, and the tick lines kept of them.
    void batchReceived(int records, int kept);
    // The first "sub_ack" after the connection was lost: how long the stream was
    // away, measured from the loss, and the wall-clock time of the loss.
    void outageEnded(qint64 durationMs, const QDateTime &lostAt);
    // The connection that a message over MaxMessageBytes closed is back; bytes is
    // the message's size as far as it was announced, <= 0 when unknown.
    void tooLargeMessageRefused(qint64 bytes);

public slots:
    void start();
    void stop();
    void resubscribe(const QStringList &list);
    void setMachineId(const QString &id);
    void onConnected();
    void onDisconnected();
    void onTextMessageReceived(const QString &message);
    void onBinaryMessageReceived(const QByteArray &message);
    void onErrorOccured(QAbstractSocket::SocketError error);
    void checkHealth();
    void reconnectTimerHit();
    void onNetworkOnlineChanged(bool online);
    void doSubscribe();
    void doUnsubscribeAll();

private:
    void scheduleReconnect();
    bool socketConnected() const;
    void abortIfOpen();
    void openServer();
    // An attempt is under way and younger than its handshake time-out.
    bool attemptStillConnecting() const;
    void writeTickFile(const QByteArray &batch);
    // The connection was lost (a disconnect, an error, a failed health check):
    // starts the outage clock, unless it runs or no subscription was ever made.
    void connectionLost();
    // The size a data frame at the front of the connection's unread bytes announces.
    void noteFrameHeader();
    void onTextFrameReceived(const QString &frame, bool isLastFrame);

    QWebSocket *socket = nullptr;
    QTimer *healthTimer = nullptr;
    QTimer *reconnectTimer = nullptr;
    QUrl serverUrl;
    TickBuffer *tickBuffer = nullptr;
    QStringList symbols;
    QFile outputFile;
    bool subscribed = false;
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
    QNetworkConfigurationManager networkManager;
QT_WARNING_POP
    bool stopRequested = false;
    QString clientId;
    QElapsedTimer attemptClock;
    bool everSubscribed = false;
    QElapsedTimer outageClock; // valid while an outage lasts
    QDateTime outageStart;
    int handshakeTimeoutMs = HandshakeTimeoutMs;
    // Bytes of the frames of a message still coming in, and the length the next
    // frame's header announced (0 when none was seen): the size of a message that
    // the socket refuses as too large.
    qint64 partialMessageBytes = 0;
    qint64 announcedFrameBytes = 0;
    // The connection inside the socket whose unread bytes noteFrameHeader reads.
    QPointer<QAbstractSocket> frameSource;
    bool announcedWholeMessage = false;
    // A refused message waiting to be reported once the connection is back:
    // -1 none, 0 of unknown size, else its bytes.
    qint64 refusedMessageBytes = -1;
};
