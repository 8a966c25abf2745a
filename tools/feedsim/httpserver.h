#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTcpServer>

#include <functional>

class QTcpSocket;
class HttpConnection;

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

// One parsed request. Header names are kept lower-cased.
struct HttpRequest
{
    QByteArray method;
    QString path;       // percent-decoded path, without the query
    QString query;      // raw text after '?', empty when there is none
    QHash<QByteArray, QByteArray> headers;
    QByteArray body;

    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
    // One value of the query ("uid" in "?uid=1&d=5"), decoded; empty when absent.
    QString queryItem(const QString &name) const;
};

// The answer to one request. A handler may answer at once with respond(), later
// (keep a QPointer: the responder dies with its connection), never (the client
// then waits until it gives up), or in pieces with begin()/write()/finish().
class HttpResponder : public QObject
{
    Q_OBJECT
public:
    // Whole answer with Content-Length; the connection stays open for the next request.
    void respond(int status, const QByteArray &contentType, const QByteArray &body,
                 const HttpHeaders &extraHeaders = {});

    // Answer in pieces. With contentLength < 0 no length is sent and the connection
    // closes after finish(), which is how the client learns the body has ended.
    void begin(int status, const QByteArray &contentType, qint64 contentLength = -1,
               const HttpHeaders &extraHeaders = {});
    void write(const QByteArray &piece);
    void finish();

    // Drops the connection without (the rest of) an answer.
    void abort();

    bool isStarted() const { return m_started; }
    bool isFinished() const { return m_finished; }
    bool isConnected() const;
    // Bytes handed to the socket but not yet sent; lets slow writers pace themselves.
    qint64 bytesToWrite() const;
    const HttpRequest &request() const { return m_request; }

    static QByteArray reasonPhrase(int status);

signals:
    // The client went away; the responder is deleted right after.
    void disconnected();

private:
    friend class HttpConnection;
    HttpResponder(HttpConnection *connection, HttpRequest request, bool keepAlive);

    HttpConnection *m_connection;
    HttpRequest m_request;
    bool m_keepAlive;
    bool m_started = false;
    bool m_finished = false;
    bool m_closeAfter = false;
};

// A small HTTP/1.1 server on loopback. Routes are matched by the longest path
// prefix; unmatched paths get 404. Keep-alive, pipelined requests, partial
// reads and Content-Length bodies are handled; requests are answered in order.
class HttpServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HttpServer)
public:
    using Handler = std::function<void(const HttpRequest &, HttpResponder *)>;

    explicit HttpServer(QObject *parent = nullptr);
    ~HttpServer() override;

    // Listens on 127.0.0.1; port 0 picks a free one.
    bool listen(quint16 port = 0);
    void close();
    // Cuts every open connection at once, as a crashing server would.
    void dropConnections();
    bool isListening() const;
    quint16 port() const;
    QString baseUrl() const; // "http://127.0.0.1:<port>"

    // Replaces an earlier route with the same prefix.
    void addRoute(const QString &pathPrefix, Handler handler);
    void removeRoute(const QString &pathPrefix);

    // Requests dispatched to the route (all methods), since start or resetCounts().
    int requestCount(const QString &pathPrefix) const;
    int totalRequests() const { return m_total; }
    HttpRequest lastRequest(const QString &pathPrefix) const;
    void resetCounts();

    // Largest request body accepted (413 above it).
    static constexpr qint64 MaxBodySize = 64 * 1024 * 1024;
    static constexpr int MaxHeaderSize = 64 * 1024;

signals:
    void requestReceived(const QString &routePrefix, const QString &path);

private:
    friend class HttpConnection;
    void dispatch(const HttpRequest &request, HttpResponder *responder);
    void onNewConnection();

    struct Route
    {
        Handler handler;
        int count = 0;
        HttpRequest last;
    };
    QTcpServer m_server;
    QHash<QString, Route> m_routes;
    int m_total = 0;
};
