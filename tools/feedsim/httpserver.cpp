#include "httpserver.h"

#include <QHostAddress>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

Q_LOGGING_CATEGORY(lcFeedSimHttp, "feedsim.http")

QString HttpRequest::queryItem(const QString &name) const
{
    return QUrlQuery(query).queryItemValue(name, QUrl::FullyDecoded);
}

// One client connection: collects bytes until a whole request is there, hands it
// to the server and holds further (pipelined) requests until the answer is done.
class HttpConnection : public QObject
{
public:
    HttpConnection(HttpServer *server, QTcpSocket *socket)
        : QObject(server), m_server(server), m_socket(socket)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, &HttpConnection::onDisconnected);
        if (socket->bytesAvailable() > 0)
            onReadyRead();
    }

    QTcpSocket *socket() const { return m_socket; }

    void send(const QByteArray &bytes)
    {
        if (m_socket->state() == QAbstractSocket::ConnectedState)
            m_socket->write(bytes);
    }

    void responseFinished(HttpResponder *responder, bool closeAfter)
    {
        if (responder == m_current) {
            m_current = nullptr;
            responder->deleteLater();
        }
        if (closeAfter) {
            closeGracefully();
            return;
        }
        processBuffered();
    }

    void closeGracefully()
    {
        m_closing = true;
        m_buffer.clear();
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            m_socket->disconnectFromHost(); // sends what is queued first
    }

    void abortNow()
    {
        m_closing = true;
        m_buffer.clear();
        m_socket->abort();
        onDisconnected();
    }

private:
    void onReadyRead()
    {
        if (m_closing) {
            m_socket->readAll();
            return;
        }
        m_buffer.append(m_socket->readAll());
        processBuffered();
    }

    void onDisconnected()
    {
        if (m_gone)
            return;
        m_gone = true;
        if (m_current)
            emit m_current->disconnected();
        deleteLater();
    }

    void fail(int status)
    {
        const QByteArray body = HttpResponder::reasonPhrase(status) + '\n';
        send("HTTP/1.1 " + QByteArray::number(status) + ' ' + HttpResponder::reasonPhrase(status)
             + "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size())
             + "\r\nConnection: close\r\n\r\n" + body);
        closeGracefully();
    }

    // Dispatches every complete request in the buffer, one at a time: the next
    // waits until the answer to the previous one is finished.
    void processBuffered()
    {
        if (m_processing)
            return;
        m_processing = true;
        while (!m_current && !m_closing && !m_gone) {
            HttpRequest request;
            bool keepAlive = true;
            const int parsed = parseOne(request, keepAlive);
            if (parsed == 0)
                break;
            if (parsed < 0) {
                fail(-parsed);
                break;
            }
            m_current = new HttpResponder(this, request, keepAlive);
            m_current->setParent(this);
            m_server->dispatch(m_current->request(), m_current);
        }
        m_processing = false;
    }

    // 1 = a request was taken from the buffer, 0 = need more bytes, -status = bad request.
    int parseOne(HttpRequest &request, bool &keepAlive)
    {
        const int headerEnd = m_buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return m_buffer.size() > HttpServer::MaxHeaderSize ? -431 : 0;
        if (headerEnd > HttpServer::MaxHeaderSize)
            return -431;

        const QList<QByteArray> lines = m_buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1."))
            return -400;
        request.method = requestLine.at(0);
        const QByteArray target = requestLine.at(1);
        const int q = target.indexOf('?');
        request.path = QUrl::fromPercentEncoding(q < 0 ? target : target.left(q));
        request.query = q < 0 ? QString() : QString::fromLatin1(target.mid(q + 1));
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        if (!request.header("transfer-encoding").isEmpty())
            return -501; // no client of ours sends chunked request bodies

        qint64 length = 0;
        if (request.headers.contains("content-length")) {
            bool ok = false;
            length = request.header("content-length").toLongLong(&ok);
            if (!ok || length < 0)
                return -400;
            if (length > HttpServer::MaxBodySize)
                return -413;
        }
        const qint64 total = headerEnd + 4 + length;
        if (m_buffer.size() < total)
            return 0;
        request.body = m_buffer.mid(headerEnd + 4, int(length));
        m_buffer.remove(0, int(total));

        const QByteArray connection = request.header("connection").toLower();
        if (requestLine.at(2) == "HTTP/1.0")
            keepAlive = connection.contains("keep-alive");
        else
            keepAlive = !connection.contains("close");
        return 1;
    }

    HttpServer *m_server;
    QTcpSocket *m_socket;
    QByteArray m_buffer;
    HttpResponder *m_current = nullptr;
    bool m_processing = false;
    bool m_closing = false;
    bool m_gone = false;
};

HttpResponder::HttpResponder(HttpConnection *connection, HttpRequest request, bool keepAlive)
    : m_connection(connection), m_request(std::move(request)), m_keepAlive(keepAlive)
{
}

QByteArray HttpResponder::reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

bool HttpResponder::isConnected() const
{
    return m_connection->socket()->state() == QAbstractSocket::ConnectedState;
}

qint64 HttpResponder::bytesToWrite() const
{
    return m_connection->socket()->bytesToWrite();
}

void HttpResponder::respond(int status, const QByteArray &contentType, const QByteArray &body,
                            const HttpHeaders &extraHeaders)
{
    if (m_started) {
        qCWarning(lcFeedSimHttp) << "answer already started for" << m_request.path;
        return;
    }
    begin(status, contentType, body.size(), extraHeaders);
    write(body);
    finish();
}

void HttpResponder::begin(int status, const QByteArray &contentType, qint64 contentLength,
                          const HttpHeaders &extraHeaders)
{
    if (m_started)
        return;
    m_started = true;
    m_closeAfter = !m_keepAlive || contentLength < 0;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    if (!contentType.isEmpty())
        head += "Content-Type: " + contentType + "\r\n";
    if (contentLength >= 0)
        head += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    for (const auto &header : extraHeaders)
        head += header.first + ": " + header.second + "\r\n";
    head += m_closeAfter ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    m_connection->send(head);
}

void HttpResponder::write(const QByteArray &piece)
{
    if (!m_started || m_finished || piece.isEmpty())
        return;
    m_connection->send(piece);
}

void HttpResponder::finish()
{
    if (!m_started || m_finished)
        return;
    m_finished = true;
    m_connection->responseFinished(this, m_closeAfter);
}

void HttpResponder::abort()
{
    if (m_finished)
        return;
    m_finished = true;
    m_connection->abortNow();
}

HttpServer::HttpServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
}

HttpServer::~HttpServer() = default;

bool HttpServer::listen(quint16 port)
{
    if (m_server.isListening())
        return true;
    if (!m_server.listen(QHostAddress::LocalHost, port)) {
        qCWarning(lcFeedSimHttp) << "cannot listen on port" << port << m_server.errorString();
        return false;
    }
    return true;
}

void HttpServer::close()
{
    m_server.close();
}

void HttpServer::dropConnections()
{
    const QObjectList kids = children();
    for (QObject *child : kids) {
        if (auto *connection = dynamic_cast<HttpConnection *>(child))
            connection->abortNow();
    }
}

bool HttpServer::isListening() const
{
    return m_server.isListening();
}

quint16 HttpServer::port() const
{
    return m_server.serverPort();
}

QString HttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void HttpServer::addRoute(const QString &pathPrefix, Handler handler)
{
    Route &route = m_routes[pathPrefix];
    route.handler = std::move(handler);
}

void HttpServer::removeRoute(const QString &pathPrefix)
{
    m_routes.remove(pathPrefix);
}

int HttpServer::requestCount(const QString &pathPrefix) const
{
    const auto it = m_routes.constFind(pathPrefix);
    return it == m_routes.cend() ? 0 : it->count;
}

HttpRequest HttpServer::lastRequest(const QString &pathPrefix) const
{
    const auto it = m_routes.constFind(pathPrefix);
    return it == m_routes.cend() ? HttpRequest() : it->last;
}

void HttpServer::resetCounts()
{
    m_total = 0;
    for (Route &route : m_routes) {
        route.count = 0;
        route.last = HttpRequest();
    }
}

void HttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection())
        new HttpConnection(this, socket);
}

void HttpServer::dispatch(const HttpRequest &request, HttpResponder *responder)
{
    ++m_total;
    QString best;
    bool found = false;
    for (auto it = m_routes.cbegin(); it != m_routes.cend(); ++it) {
        if (request.path.startsWith(it.key()) && (!found || it.key().size() > best.size())) {
            best = it.key();
            found = true;
        }
    }
    if (!found) {
        qCDebug(lcFeedSimHttp) << "no route for" << request.method << request.path;
        responder->respond(404, "text/plain", "Not Found\n");
        return;
    }
    Route &route = m_routes[best];
    ++route.count;
    route.last = request;
    // Copy the handler: it may replace its own route while running.
    const Handler handler = route.handler;
    emit requestReceived(best, request.path);
    if (handler)
        handler(request, responder);
}
