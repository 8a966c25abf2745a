#include "websocketworker.h"

#include "live/batchframe.h"
#include "live/tickbuffer.h"
#include "live/tickline.h"
#include "platform/filereplace.h"
#include "platform/installroot.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QtEndian>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

Q_LOGGING_CATEGORY(lcLive, "quillmark.live", QtInfoMsg)

namespace {

const QString MissingMachineId = QStringLiteral("MISSING-MACHINE-ID");

// QJsonObject keeps its keys sorted, so compact output has them in alphabetical order.
QString compactJson(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

// QNetworkConfigurationManager is deprecated in Qt 5.15 but still the one source
// of the operating system's online notification.
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
WebSocketWorker::WebSocketWorker(const QUrl &url, const QStringList &symbols, const QString &fileName,
                                 const QString &clientId, QObject *parent)
    : QObject(parent)
    , serverUrl(url)
    , symbols(symbols)
    , outputFile(Platform::installPathFwd(fileName))
    , networkManager(this)
    , clientId(clientId)
{
    if (!outputFile.exists()) {
        if (outputFile.open(QIODevice::WriteOnly | QIODevice::Text))
            outputFile.close();
    }
    connect(&networkManager, &QNetworkConfigurationManager::onlineStateChanged, this,
            &WebSocketWorker::onNetworkOnlineChanged);
}
QT_WARNING_POP

WebSocketWorker::~WebSocketWorker()
{
    stopRequested = true;
    stop();
    // The thread's event loop has usually ended by now, so a deferred deletion of
    // the socket would never run; nothing of ours can be inside a socket signal here.
    if (socket) {
        socket->disconnect(this);
        if (socket->thread() == QThread::currentThread())
            delete socket;
        else
            socket->deleteLater();
        socket = nullptr;
    }
    delete healthTimer;
    healthTimer = nullptr;
    delete reconnectTimer;
    reconnectTimer = nullptr;
}

void WebSocketWorker::start()
{
    stopRequested = false;
    // Without a buffer the stream runs but its ticks reach no import: say so.
    if (!tickBuffer)
        qCWarning(lcLive) << "no tick buffer: received ticks will not be imported";
    if (!socket) {
        socket = new QWebSocket(QString(), QWebSocketProtocol::Version13, nullptr);
        connect(socket, &QWebSocket::connected, this, &WebSocketWorker::onConnected);
        connect(socket, &QWebSocket::disconnected, this, &WebSocketWorker::onDisconnected);
        connect(socket, &QWebSocket::textFrameReceived, this, &WebSocketWorker::onTextFrameReceived);
        connect(socket, &QWebSocket::textMessageReceived, this, &WebSocketWorker::onTextMessageReceived);
        connect(socket, &QWebSocket::binaryMessageReceived, this, &WebSocketWorker::onBinaryMessageReceived);
        connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
                &WebSocketWorker::onErrorOccured);
        socket->setMaxAllowedIncomingFrameSize(quint64(MaxMessageBytes));
        socket->setMaxAllowedIncomingMessageSize(quint64(MaxMessageBytes));
    }
    if (!healthTimer) {
        healthTimer = new QTimer(this);
        healthTimer->setObjectName(QStringLiteral("healthTimer"));
        healthTimer->setInterval(HealthIntervalMs);
        connect(healthTimer, &QTimer::timeout, this, &WebSocketWorker::checkHealth);
    }
    if (!reconnectTimer) {
        reconnectTimer = new QTimer(this);
        reconnectTimer->setObjectName(QStringLiteral("reconnectTimer"));
        reconnectTimer->setSingleShot(false);
        reconnectTimer->setInterval(ReconnectIntervalMs);
        connect(reconnectTimer, &QTimer::timeout, this, &WebSocketWorker::reconnectTimerHit);
    }
    qCDebug(lcLive) << "opening" << serverUrl.toString();
    openServer();
}

void WebSocketWorker::stop()
{
    stopRequested = true;
    subscribed = false;
    if (healthTimer)
        healthTimer->stop();
    if (reconnectTimer)
        reconnectTimer->stop();
    if (socket) {
        doUnsubscribeAll();
        socket->close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("Stopped by user"));
        // The owner quits our thread right after a stop; hand the unsubscribe and
        // close frames to the system before the event loop is gone.
        socket->flush();
    }
    if (tickBuffer)
        tickBuffer->clearLatest();
}

void WebSocketWorker::resubscribe(const QStringList &list)
{
    symbols = list;
    if (!socketConnected()) {
        scheduleReconnect();
        return;
    }
    QMetaObject::invokeMethod(this, &WebSocketWorker::doUnsubscribeAll, Qt::QueuedConnection);
    QMetaObject::invokeMethod(this, &WebSocketWorker::doSubscribe, Qt::QueuedConnection);
}

void WebSocketWorker::setMachineId(const QString &id)
{
    clientId = id;
}

void WebSocketWorker::onConnected()
{
    // Connection changes go to the log a trader sends to support.
    qCInfo(lcLive) << "connected to" << serverUrl.toString();
    emit connected();
    if (refusedMessageBytes >= 0) {
        emit tooLargeMessageRefused(refusedMessageBytes);
        refusedMessageBytes = -1;
    }
    if (reconnectTimer && reconnectTimer->isActive())
        reconnectTimer->stop();
    if (healthTimer && !healthTimer->isActive())
        healthTimer->start();
    noteFrameHeader();
    QJsonObject auth;
    auth.insert(QStringLiteral("type"), QStringLiteral("auth"));
    auth.insert(QStringLiteral("machine_id"), clientId.isEmpty() ? MissingMachineId : clientId);
    socket->sendTextMessage(compactJson(auth));
    // A separate event, so the subscribe frame always follows the auth frame.
    QMetaObject::invokeMethod(this, &WebSocketWorker::doSubscribe, Qt::QueuedConnection);
}

void WebSocketWorker::onDisconnected()
{
    qCInfo(lcLive) << "disconnected from" << serverUrl.toString();
    // The socket refuses a message over the limit by closing with "too much data";
    // the frames of it already counted, or the header announcing it, tell us it was ours.
    if (socket && socket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData
        && (partialMessageBytes > 0 || announcedFrameBytes > MaxMessageBytes)) {
        // Only a message in one frame announces its whole size; of one in many
        // frames no more is known than that it passed the limit.
        const bool known = announcedWholeMessage && partialMessageBytes == 0 && announcedFrameBytes > MaxMessageBytes;
        refusedMessageBytes = known ? announcedFrameBytes : 0;
        if (known)
            qCWarning(lcLive) << "refused a message of" << announcedFrameBytes << "bytes from the server; reconnecting";
        else
            qCWarning(lcLive) << "refused a message of more than" << MaxMessageBytes
                              << "bytes from the server; reconnecting";
    }
    partialMessageBytes = 0;
    announcedFrameBytes = 0;
    announcedWholeMessage = false;
    emit disconnected();
    subscribed = false;
    if (healthTimer && healthTimer->isActive())
        healthTimer->stop();
    if (stopRequested)
        return;
    connectionLost();
    abortIfOpen();
    scheduleReconnect();
}

void WebSocketWorker::onTextMessageReceived(const QString &message)
{
    // Read from the text itself: a batch near the size limit must not be held
    // again as a UTF-8 copy and a JSON document beside the frame.
    StreamFrame head;
    if (!readStreamFrame(message, &head))
        return;
    const QString &type = head.type;

    if (type == QLatin1String("sub_ack")) {
        const QJsonObject frame = QJsonDocument::fromJson(message.toUtf8()).object();
        if (frame.value(QLatin1String("action")).toString() != QLatin1String("subscribe"))
            return;
        subscribed = true;
        everSubscribed = true;
        if (outageClock.isValid()) {
            qCInfo(lcLive) << "stream back after an outage of" << outageClock.elapsed() << "ms";
            emit outageEnded(outageClock.elapsed(), outageStart);
            outageClock.invalidate();
        }
        QStringList acked;
        const QJsonArray list = frame.value(QLatin1String("symbols")).toArray();
        acked.reserve(list.size());
        for (const QJsonValue &v : list)
            acked << v.toVariant().toString();
        emit subscribedAck(acked);
        return;
    }
    if (!subscribed || type != QLatin1String("batch"))
        return;

    int records = 0;
    int kept = 0;
    const QByteArray batch = tickLinesFromRecordsText(head.records, &records, &kept);
    if (records == 0)
        return;
    emit batchReceived(records, kept);
    if (batch.isEmpty())
        return;
    writeTickFile(batch);
    if (tickBuffer)
        tickBuffer->publish(batch);
    emit rtDataDownloaded();
}

void WebSocketWorker::onBinaryMessageReceived(const QByteArray &message)
{
    Q_UNUSED(message)
    partialMessageBytes = 0;
    announcedFrameBytes = 0;
}

void WebSocketWorker::onTextFrameReceived(const QString &frame, bool isLastFrame)
{
    announcedFrameBytes = 0;
    announcedWholeMessage = false;
    noteFrameHeader();
    if (isLastFrame) {
        partialMessageBytes = 0;
        return;
    }
    // The frame's size as it came, in UTF-8.
    qint64 bytes = frame.size();
    for (const QChar c : frame) {
        if (c.unicode() >= 0x80)
            bytes += c.unicode() >= 0x800 && !c.isSurrogate() ? 2 : 1;
    }
    partialMessageBytes += bytes;
}

void WebSocketWorker::noteFrameHeader()
{
    // Read when new bytes arrive (before the socket's own, queued, handling takes
    // them), after the handshake and after each frame: then the front of the unread
    // data starts a frame, whose header tells its length, which the socket does
    // not report when it refuses the frame.
    QAbstractSocket *connection = frameSource;
    if (!connection)
        return;
    uchar head[10];
    const qint64 got = connection->peek(reinterpret_cast<char *>(head), sizeof head);
    if (got < 2)
        return;
    // A server's data frame: no reserved bits, opcode continuation, text or binary, not masked.
    if ((head[0] & 0x70) != 0 || (head[0] & 0x0F) > 2 || (head[1] & 0x80) != 0)
        return;
    // FIN set on a text or binary frame: the frame is the whole message.
    announcedWholeMessage = (head[0] & 0x80) != 0 && (head[0] & 0x0F) != 0;
    const int code = head[1] & 0x7F;
    if (code < 126)
        announcedFrameBytes = code;
    else if (code == 126 && got >= 4)
        announcedFrameBytes = (qint64(head[2]) << 8) | head[3];
    else if (code == 127 && got >= 10)
        announcedFrameBytes = qint64(qFromBigEndian<quint64>(head + 2) & 0x7FFFFFFFFFFFFFFFULL);
}

QString WebSocketWorker::tooLargeMessageText(qint64 bytes)
{
    const qint64 mib = 1024 * 1024;
    if (bytes <= 0)
        return QStringLiteral("The server sent a message of more than %1 MB; reconnected").arg(MaxMessageBytes / mib);
    return QStringLiteral("The server sent a %1 MB message; reconnected").arg((bytes + mib / 2) / mib);
}

void WebSocketWorker::onErrorOccured(QAbstractSocket::SocketError error)
{
    Q_UNUSED(error)
    if (stopRequested)
        return;
    qCDebug(lcLive) << "socket error" << (socket ? socket->errorString() : QString());
    connectionLost();
    abortIfOpen();
    scheduleReconnect();
}

void WebSocketWorker::checkHealth()
{
    if (!socket)
        return;
    if (!socketConnected()) {
        if (!stopRequested) {
            connectionLost();
            scheduleReconnect();
        }
        return;
    }
    socket->ping(QByteArrayLiteral("hb"));
}

void WebSocketWorker::reconnectTimerHit()
{
    if (stopRequested || !socket)
        return;
    // Only the first attempt after the network came back is hurried.
    if (reconnectTimer && reconnectTimer->interval() != ReconnectIntervalMs)
        reconnectTimer->setInterval(ReconnectIntervalMs);
    // On a slow link a connect takes longer than a tick: cutting it off for a
    // new one would never let any attempt finish.
    if (attemptStillConnecting())
        return;
    abortIfOpen();
    openServer();
}

void WebSocketWorker::onNetworkOnlineChanged(bool online)
{
    // A stopped worker stays stopped, whatever the network does.
    if (!online || stopRequested)
        return;
    if (socketConnected())
        return;
    if (reconnectTimer) {
        reconnectTimer->setInterval(OnlineReconnectIntervalMs);
        reconnectTimer->start();
    } else if (socket) {
        openServer();
    }
}

void WebSocketWorker::doSubscribe()
{
    if (!socketConnected())
        return;
    QJsonObject message;
    message.insert(QStringLiteral("type"), QStringLiteral("subscribe"));
    message.insert(QStringLiteral("symbols"), QJsonArray::fromStringList(symbols));
    socket->sendTextMessage(compactJson(message));
}

void WebSocketWorker::doUnsubscribeAll()
{
    if (!socketConnected())
        return;
    QJsonObject message;
    message.insert(QStringLiteral("type"), QStringLiteral("unsubscribe_all"));
    socket->sendTextMessage(compactJson(message));
    subscribed = false;
}

void WebSocketWorker::scheduleReconnect()
{
    if (!reconnectTimer)
        return;
    reconnectTimer->setInterval(ReconnectIntervalMs);
    reconnectTimer->start();
}

bool WebSocketWorker::socketConnected() const
{
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

void WebSocketWorker::openServer()
{
    attemptClock.start();
    partialMessageBytes = 0;
    announcedFrameBytes = 0;
    socket->open(serverUrl);
    // Each opening makes a new connection object inside the socket (the old one is
    // deleted later, so it may still be listed before it).
    const auto connections = socket->findChildren<QAbstractSocket *>(QString(), Qt::FindDirectChildrenOnly);
    frameSource = connections.isEmpty() ? nullptr : connections.last();
    if (frameSource)
        connect(frameSource, &QIODevice::readyRead, this, &WebSocketWorker::noteFrameHeader, Qt::UniqueConnection);
}

bool WebSocketWorker::attemptStillConnecting() const
{
    if (!socket || !attemptClock.isValid() || attemptClock.elapsed() >= handshakeTimeoutMs)
        return false;
    const QAbstractSocket::SocketState state = socket->state();
    return state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState;
}

void WebSocketWorker::abortIfOpen()
{
    if (socket && socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
}

void WebSocketWorker::connectionLost()
{
    // Failed attempts during an outage are part of it; before the first
    // subscription there was nothing to lose.
    if (!everSubscribed || outageClock.isValid())
        return;
    outageClock.start();
    outageStart = QDateTime::currentDateTime();
}

void WebSocketWorker::writeTickFile(const QByteArray &batch)
{
    // One write to a side file and one rename over the tick file: a reader always
    // finds a whole batch, the old one or the new one.
    const QString target = outputFile.fileName();
    QFile tmp(target + QStringLiteral(".tmp"));
    if (!tmp.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qCDebug(lcLive) << "cannot open" << tmp.fileName() << tmp.errorString();
        return;
    }
    bool complete = tmp.write(batch) == batch.size();
    complete = tmp.flush() && complete;
    tmp.close();
    complete = complete && tmp.error() == QFileDevice::NoError;
    if (!complete) {
        // A cut-off batch must never replace a whole one.
        qCDebug(lcLive) << "short write to" << tmp.fileName() << tmp.errorString();
        tmp.remove();
        return;
    }
    if (!Platform::replaceFile(tmp.fileName(), target))
        qCDebug(lcLive) << "cannot replace" << target << "(reader holds it?)";
}
