#include "feedsimstream.h"

#include "live/tickline.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <cmath>

namespace {

Q_LOGGING_CATEGORY(lcFeedSimStream, "feedsim.stream")

// Index futures and where their prices start, in rupees.
const QHash<QString, double> &indexBases()
{
    static const QHash<QString, double> bases = {
        {QStringLiteral("NIFTY"), 24500.0},      {QStringLiteral("BANKNIFTY"), 52000.0},
        {QStringLiteral("FINNIFTY"), 23500.0},   {QStringLiteral("MIDCPNIFTY"), 12800.0},
        {QStringLiteral("NIFTYNXT50"), 67000.0}, {QStringLiteral("SENSEX"), 80500.0},
        {QStringLiteral("BANKEX"), 58500.0},
    };
    return bases;
}

bool isIndexFuture(const QString &symbol)
{
    return symbol.endsWith(QLatin1String("-I")) && indexBases().contains(symbol.chopped(2));
}

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

FeedSimStream::FeedSimStream(QObject *parent)
    : QObject(parent)
    , m_server(new QWebSocketServer(QStringLiteral("feedsim"), QWebSocketServer::NonSecureMode, this))
    , m_batchTimer(new QTimer(this))
    , m_random(20240601u)
{
    connect(m_server, &QWebSocketServer::newConnection, this, &FeedSimStream::onNewConnection);
    connect(m_batchTimer, &QTimer::timeout, this, &FeedSimStream::onBatchTimer);
    updateTimer();
}

FeedSimStream::~FeedSimStream()
{
    stop();
}

bool FeedSimStream::start(quint16 port)
{
    if (m_server->isListening())
        return true;
    if (!m_server->listen(QHostAddress::LocalHost, port)) {
        qCWarning(lcFeedSimStream) << "cannot listen on port" << port << m_server->errorString();
        return false;
    }
    m_port = m_server->serverPort();
    updateTimer();
    qCDebug(lcFeedSimStream) << "listening on" << url().toString();
    return true;
}

void FeedSimStream::stop()
{
    m_server->close();
    dropAllConnections();
    m_batchTimer->stop();
}

void FeedSimStream::scheduleOutage(int afterMs, int durationMs)
{
    QTimer::singleShot(qMax(0, afterMs), this, [this, durationMs] {
        const quint16 port = m_port;
        stop();
        qCInfo(lcFeedSimStream) << "stream down for" << durationMs << "ms";
        emit outageStarted();
        QTimer::singleShot(qMax(0, durationMs), this, [this, port] {
            if (start(port)) {
                qCInfo(lcFeedSimStream) << "stream back on port" << port;
                emit outageEnded();
            }
        });
    });
}

bool FeedSimStream::parseOutage(const QString &text, int *durationMs, int *afterMs)
{
    const QStringList parts = text.split(QLatin1Char('@'));
    if (parts.size() != 2)
        return false;
    bool durationOk = false;
    bool afterOk = false;
    const double duration = parts.at(0).toDouble(&durationOk);
    const double after = parts.at(1).toDouble(&afterOk);
    if (!durationOk || !afterOk || !(duration > 0) || !(after >= 0) || duration > 86400 || after > 86400)
        return false;
    *durationMs = int(duration * 1000);
    *afterMs = int(after * 1000);
    return true;
}

bool FeedSimStream::isListening() const
{
    return m_server->isListening();
}

quint16 FeedSimStream::port() const
{
    return m_port;
}

QUrl FeedSimStream::url() const
{
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(m_port));
}

void FeedSimStream::setRate(double batchesPerSecond)
{
    m_rate = std::max(0.0, batchesPerSecond);
    updateTimer();
}

void FeedSimStream::setBatchSize(int records)
{
    m_batchSize = std::max(0, records);
}

void FeedSimStream::setAcknowledge(bool on)
{
    m_acknowledge = on;
}

void FeedSimStream::setSeed(quint32 seed)
{
    m_random.seed(seed);
}

void FeedSimStream::dropAllConnections()
{
    // abort() reports the disconnect at once, which removes the client from the hash.
    const QList<QWebSocket *> sockets = m_clients.keys();
    for (QWebSocket *socket : sockets)
        socket->abort();
    for (QWebSocket *socket : sockets)
        onClientGone(socket);
}

void FeedSimStream::setStalled(bool stalled)
{
    m_stalled = stalled;
}

void FeedSimStream::sendMalformedFrames()
{
    const QStringList texts = {
        QStringLiteral("this is not json"),
        QStringLiteral("{\"type\":\"batch\",\"records\":[{\"symbol\":\"NIFTY-I\""),
        QStringLiteral("[1,2,3]"),
        QStringLiteral("{\"type\":42,\"records\":[]}"),
        QStringLiteral("{\"type\":\"batch\",\"records\":\"not an array\"}"),
        QStringLiteral("{\"type\":\"batch\",\"records\":[1,\"x\",null,[],{\"symbol\":7,\"ltp\":true}]}"),
        QStringLiteral("{\"type\":\"sub_ack\",\"action\":7,\"symbols\":{}}"),
        QStringLiteral("{\"type\":\"mystery\"}"),
    };
    for (const QString &text : texts)
        sendText(text);
    sendBinary(QByteArrayLiteral("\x00\x01{\"type\":\"batch\"}\xff"));
}

int FeedSimStream::sendBatchNow()
{
    int records = 0;
    const QList<QWebSocket *> sockets = m_clients.keys();
    for (QWebSocket *socket : sockets) {
        auto it = m_clients.find(socket);
        if (it != m_clients.end())
            records += sendBatchTo(socket, it.value());
    }
    return records;
}

void FeedSimStream::sendText(const QString &frame)
{
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it)
        it.key()->sendTextMessage(frame);
}

void FeedSimStream::sendBinary(const QByteArray &frame)
{
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it)
        it.key()->sendBinaryMessage(frame);
}

void FeedSimStream::resetCounters()
{
    m_batchesSent = 0;
    m_recordsSent = 0;
    m_sentPerSymbol.clear();
    m_sentTickLines.clear();
    m_receivedFrames.clear();
    m_authIds.clear();
    m_subscribeLists.clear();
    m_unsubscribeCount = 0;
    m_connectionsAccepted = 0;
}

double FeedSimStream::nextPrice(const QString &symbol)
{
    const bool index = isIndexFuture(symbol);
    auto it = m_priceCents.find(symbol);
    if (it == m_priceCents.end()) {
        double start = 0;
        if (index)
            start = indexBases().value(symbol.chopped(2));
        else
            start = 50.0 + double(qHash(symbol) % 495000u) / 100.0;
        it = m_priceCents.insert(symbol, qint64(std::llround(start * 100.0)));
    }
    // Steps of up to 0.05 % of the price, at least 5 paise; whole paise, so the
    // price always has at most two decimals.
    const qint64 maxStep = std::max<qint64>(5, it.value() / 2000);
    const int step = int(std::min<qint64>(maxStep, 1000000));
    qint64 cents = it.value() + m_random.bounded(-step, step + 1);
    const qint64 floorCents = index ? 1000005 : 5;
    cents = std::max(cents, floorCents);
    it.value() = cents;
    return double(cents) / 100.0;
}

void FeedSimStream::onNewConnection()
{
    while (m_server->hasPendingConnections()) {
        QWebSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        m_clients.insert(socket, Client());
        ++m_connectionsAccepted;
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, socket](const QString &frame) { onTextMessage(socket, frame); });
        connect(socket, &QWebSocket::disconnected, this, [this, socket]() { onClientGone(socket); });
        qCDebug(lcFeedSimStream) << "client connected" << socket->peerPort();
        emit clientConnected();
    }
}

void FeedSimStream::onTextMessage(QWebSocket *socket, const QString &frame)
{
    auto it = m_clients.find(socket);
    if (it == m_clients.end())
        return;
    m_receivedFrames << frame;
    emit frameReceived(frame);

    const QJsonObject message = QJsonDocument::fromJson(frame.toUtf8()).object();
    const QString type = message.value(QLatin1String("type")).toString();
    if (type == QLatin1String("auth")) {
        it->machineId = message.value(QLatin1String("machine_id")).toString();
        m_authIds << it->machineId;
    } else if (type == QLatin1String("subscribe")) {
        QStringList list;
        const QJsonArray symbols = message.value(QLatin1String("symbols")).toArray();
        for (const QJsonValue &v : symbols)
            list << v.toString();
        m_subscribeLists << list;
        if (!m_acknowledge)
            return;
        it->symbols = list;
        it->cursor = 0;
        QJsonObject ack;
        ack.insert(QStringLiteral("type"), QStringLiteral("sub_ack"));
        ack.insert(QStringLiteral("action"), QStringLiteral("subscribe"));
        ack.insert(QStringLiteral("symbols"), QJsonArray::fromStringList(list));
        socket->sendTextMessage(compact(ack));
    } else if (type == QLatin1String("unsubscribe_all")) {
        ++m_unsubscribeCount;
        it->symbols.clear();
        if (!m_acknowledge)
            return;
        QJsonObject ack;
        ack.insert(QStringLiteral("type"), QStringLiteral("sub_ack"));
        ack.insert(QStringLiteral("action"), QStringLiteral("unsubscribe"));
        ack.insert(QStringLiteral("symbols"), QJsonArray());
        socket->sendTextMessage(compact(ack));
    }
}

void FeedSimStream::onClientGone(QWebSocket *socket)
{
    if (m_clients.remove(socket) == 0)
        return;
    socket->disconnect(this);
    socket->deleteLater();
    qCDebug(lcFeedSimStream) << "client gone";
    emit clientDisconnected();
}

void FeedSimStream::onBatchTimer()
{
    if (!m_stalled)
        sendBatchNow();
}

int FeedSimStream::sendBatchTo(QWebSocket *socket, Client &client)
{
    if (client.symbols.isEmpty() || socket->state() != QAbstractSocket::ConnectedState)
        return 0;
    const int count = m_batchSize > 0 ? m_batchSize : client.symbols.size();
    const QDateTime now = QDateTime::currentDateTime();
    const QString date = now.toString(QStringLiteral("yyyyMMdd"));
    const QString time = now.toString(QStringLiteral("HH:mm:ss"));

    QJsonArray records;
    for (int i = 0; i < count; ++i) {
        const QString &symbol = client.symbols.at(client.cursor);
        client.cursor = (client.cursor + 1) % client.symbols.size();
        QJsonObject record;
        record.insert(QStringLiteral("type"), QStringLiteral("tick"));
        record.insert(QStringLiteral("symbol"), symbol);
        record.insert(QStringLiteral("ltd"), date);
        record.insert(QStringLiteral("ltt"), time);
        record.insert(QStringLiteral("ltp"), nextPrice(symbol));
        const qint64 quantity = m_random.bounded(1, 501);
        qint64 &volume = m_volume[symbol];
        volume += quantity;
        record.insert(QStringLiteral("ltq"), quantity);
        record.insert(QStringLiteral("oi"), symbol.endsWith(QLatin1String("-I")) ? 100000 + qint64(qHash(symbol) % 900000u) : 0);
        record.insert(QStringLiteral("vol"), volume);
        if (appendTickLine(record, m_sentTickLines))
            ++m_sentPerSymbol[symbol];
        records.append(record);
    }
    QJsonObject batch;
    batch.insert(QStringLiteral("type"), QStringLiteral("batch"));
    batch.insert(QStringLiteral("records"), records);
    socket->sendTextMessage(compact(batch));
    ++m_batchesSent;
    m_recordsSent += count;
    emit batchSent(count);
    return count;
}

void FeedSimStream::updateTimer()
{
    if (m_rate <= 0 || !m_server->isListening()) {
        m_batchTimer->stop();
        return;
    }
    m_batchTimer->setInterval(std::max(1, int(std::lround(1000.0 / m_rate))));
    m_batchTimer->start();
}
