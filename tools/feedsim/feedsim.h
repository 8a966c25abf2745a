#pragma once

#include "httpserver.h"

#include "api/serversettings.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

class FeedSimBackfill;
class FeedSimStream;
class FeedSimUpdate;

// What the reference server answers. Empty addresses are filled in at start()
// with addresses that point back at this server.
struct FeedSimOptions
{
    // Answer API requests in the enciphered envelope instead of plain JSON.
    bool envelope = false;

    // Start-up exchange.
    bool failStartup = false; // answer "success": false with failMessage
    QString failMessage = QStringLiteral("Client not registered");
    QString feeds = QStringLiteral("CASH,FUTURE,OPTION,COMM,CURR,SPOT,SXOPT,CMOPT,FOREX");
    QStringList daysbox = {QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("5"), QStringLiteral("10")};
    int symbolAllowed = 200;
    QString message = QStringLiteral("Welcome to the Quillmark reference server.");
    bool eodEnabled = true;
    QString secureKey = QStringLiteral("feedsim-secure-key");
    QString backfillPath;      // default "127.0.0.1:<port>/backfill/intraday"
    QString backfillPathSlow;  // default "127.0.0.1:<port>/backfill/slow"
    QString backfillPathEod1y; // default "127.0.0.1:<port>/backfill/eod1y"
    QString websocketLink;     // default: the stream's "ws://127.0.0.1:<wsport>/" once there is one
    QString support;           // default "http://127.0.0.1:<port>/support"
    QString latestVersion = QStringLiteral("7.26");
    QString latestVersionPath; // default "http://127.0.0.1:<port>/update/Quillmark_update.zip"
    // Name "7.27" as latest_version until the update archive has been delivered once.
    bool offerUpdate = false;
    // Serve the update archive cut short (7-Zip cannot unpack it).
    bool brokenUpdate = false;
    // When set, the release archive served is this file (a real release package)
    // instead of the generated one.
    QString updateArchiveFile;
    // Members merged into the start-up answer last, replacing any of the above
    // (lets tests send mistyped fields such as "symbol_allowed": "50").
    QJsonObject startupExtra;

    // "get_settings".
    bool getSettingsSuccess = true;
    QString oneDayBackfillPath;  // default "http://127.0.0.1:<port>/backfillS21/1/"
    QString fiveDayBackfillPath; // default "http://127.0.0.1:<port>/backfillS21/5/"

    // "contracts".
    int contractCount = 5000; // at most MaxContracts; mostly options
    bool contractsSuccess = true;
    QByteArray contractsBody; // when set, sent instead of the generated catalogue (enveloped if envelope is on)

    // Never answer API requests (the client must give up by itself).
    bool stallApi = false;

    static constexpr int MaxContracts = 150000;
};

// The reference data server: the HTTP API of the program on loopback, plus the
// routes other parts add to http(). Runs in the thread that creates it.
class FeedSim : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FeedSim)
public:
    static constexpr char ApiRoute[] = "/Datafeed_quillmark/api.php";

    explicit FeedSim(const FeedSimOptions &options = FeedSimOptions(), QObject *parent = nullptr);
    ~FeedSim() override;

    // Listens on 127.0.0.1 (port 0: any free port) and fills in the default addresses;
    // the tick stream listens on wsPort.
    bool start(quint16 httpPort = 0, quint16 wsPort = 0);
    quint16 httpPort() const;
    QString httpBaseUrl() const;   // "http://127.0.0.1:<port>"
    QString serverHost() const;    // "127.0.0.1:<port>", the value for QUILLMARK_SERVER

    HttpServer *http() { return &m_http; }
    // The backfill archive routes (answer mode, counters).
    FeedSimBackfill *backfill() { return m_backfill; }
    // The WebSocket tick stream (rate, batch size, fault switches, counters).
    FeedSimStream *stream() { return m_stream; }
    // The update archive route (answer mode, restart script, counters).
    FeedSimUpdate *update() { return m_update; }
    FeedSimOptions &options() { return m_options; }
    const FeedSimOptions &options() const { return m_options; }

    // The records as they are answered now.
    StartupSettings startupSettings() const;
    BackfillPathSettings backfillPathSettings() const;
    QString websocketLink() const;

    // API requests seen per action name (unknown actions count under their name too).
    int actionCount(const QString &action) const { return m_actionCounts.value(action); }
    QJsonObject lastApiRequest() const { return m_lastApiRequest; }

    // A generated catalogue answer {"success": true, "contracts": [...]}, compact JSON.
    // Deterministic for a given count; covers all nine exchange names.
    static QByteArray contractsJson(int count, bool success = true);

signals:
    void apiRequestReceived(const QString &action);

private:
    void handleApi(const HttpRequest &request, HttpResponder *responder);
    void answer(HttpResponder *responder, const QByteArray &json);
    QString selfAddress(const QString &value, const QString &fallbackPath, bool withScheme) const;

    FeedSimOptions m_options;
    HttpServer m_http;
    FeedSimBackfill *m_backfill = nullptr;
    FeedSimStream *m_stream = nullptr;
    FeedSimUpdate *m_update = nullptr;
    QHash<QString, int> m_actionCounts;
    QJsonObject m_lastApiRequest;
    // Generated catalogue cached per (count, success, envelope).
    QByteArray m_contractsCacheKey;
    QByteArray m_contractsCache;

    // websocketLink() answers "ws://127.0.0.1:<wsport>/" while the stream listens.
    quint16 streamPort() const;
};
