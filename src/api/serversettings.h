#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

// Action names of the data server's API.
inline constexpr char StartupAction[] = "startup";
inline constexpr char GetSettingsAction[] = "get_settings";
inline constexpr char ContractsAction[] = "contracts";

// Member names of the requests and answers, shared by the program and feedsim.
namespace ApiField {
inline constexpr char Action[] = "action";
inline constexpr char MachineId[] = "machine_id";
inline constexpr char ClientVersion[] = "client_version";
inline constexpr char Success[] = "success";
inline constexpr char Message[] = "message";
inline constexpr char LatestVersion[] = "latest_version";
inline constexpr char LatestVersionPath[] = "latest_version_path";
inline constexpr char Feeds[] = "feeds";
inline constexpr char Daysbox[] = "daysbox";
inline constexpr char EodEnabled[] = "eod_enabled";
inline constexpr char SymbolAllowed[] = "symbol_allowed";
inline constexpr char SecureKey[] = "secure_key";
inline constexpr char BackfillPath[] = "backfill_path";
inline constexpr char BackfillPathSlow[] = "backfill_path_slow";
inline constexpr char BackfillPathEod1y[] = "backfill_path_eod1y";
inline constexpr char LiveDataGet[] = "live_data_get";
inline constexpr char LiveDataPost[] = "live_data_post";
inline constexpr char NetworkGet[] = "network_get";
inline constexpr char NetworkPost[] = "network_post";
inline constexpr char WebsocketLink[] = "websocket_link";
inline constexpr char Support[] = "support";
inline constexpr char OneDayBackfillPath[] = "one_day_backfill_path";
inline constexpr char FiveDayBackfillPath[] = "five_day_backfill_path";
inline constexpr char Contracts[] = "contracts";
inline constexpr char Symbol[] = "Symbol";
inline constexpr char Exch[] = "Exch";
} // namespace ApiField

// Reading rules shared by the server records: only a JSON number with an
// integral value (that fits an int) is an integer, anything else is 0.
int jsonInteger(const QJsonValue &value);
// An array gives the text of each element (5 and "5" both give "5"); a single
// string gives a one-item list; anything else an empty list.
QStringList jsonTextList(const QJsonValue &value);
// The body parsed as a JSON object; an empty object when it is none.
QJsonObject jsonObjectOf(const QByteArray &body);

// The answer to the start-up exchange. Missing or mistyped fields take their defaults.
struct StartupSettings
{
    bool success = false;
    QString message;
    QString latestVersion;
    QString latestVersionPath;
    QString feeds;
    QStringList daysbox;
    bool eodEnabled = false;
    int symbolAllowed = 0;
    QString secureKey;
    QString backfillPath;
    QString backfillPathSlow;
    QString backfillPathEod1y;
    QString liveDataGet;
    QString liveDataPost;
    QString networkGet;
    QString networkPost;
    QString websocketLink;
    QString support;

    static StartupSettings fromJson(const QJsonObject &object);
    static StartupSettings fromBody(const QByteArray &body) { return fromJson(jsonObjectOf(body)); }
    // The same record as the server sends it (daysbox as an array of strings).
    QJsonObject toJson() const;
};

// The answer to "get_settings"; the paths count only when success is true.
struct BackfillPathSettings
{
    bool success = false;
    QString oneDayBackfillPath;
    QString fiveDayBackfillPath;

    static BackfillPathSettings fromJson(const QJsonObject &object);
    static BackfillPathSettings fromBody(const QByteArray &body) { return fromJson(jsonObjectOf(body)); }
    QJsonObject toJson() const;
};

// Parameters of the two requests: "machine_id" upper-cased, plus the client version at start-up.
QJsonObject startupParameters(const QString &clientId, const QString &clientVersion);
QJsonObject getSettingsParameters(const QString &clientId);
