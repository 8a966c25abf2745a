#include "serversettings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QVariant>

#include <cmath>
#include <limits>

namespace {

QString text(const QJsonObject &object, const char *name)
{
    return object.value(QLatin1String(name)).toString();
}

bool flag(const QJsonObject &object, const char *name)
{
    return object.value(QLatin1String(name)).toBool(false);
}

} // namespace

int jsonInteger(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number)
        return 0;
    if (number < double(std::numeric_limits<int>::min()) || number > double(std::numeric_limits<int>::max()))
        return 0;
    return int(number);
}

QStringList jsonTextList(const QJsonValue &value)
{
    if (value.isString())
        return {value.toString()};
    QStringList list;
    if (!value.isArray())
        return list;
    const QJsonArray array = value.toArray();
    list.reserve(array.size());
    for (const QJsonValue &element : array)
        list.append(element.toVariant().toString());
    return list;
}

QJsonObject jsonObjectOf(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

StartupSettings StartupSettings::fromJson(const QJsonObject &object)
{
    StartupSettings s;
    s.success = flag(object, ApiField::Success);
    s.message = text(object, ApiField::Message);
    s.latestVersion = text(object, ApiField::LatestVersion);
    s.latestVersionPath = text(object, ApiField::LatestVersionPath);
    s.feeds = text(object, ApiField::Feeds);
    s.daysbox = jsonTextList(object.value(QLatin1String(ApiField::Daysbox)));
    s.eodEnabled = flag(object, ApiField::EodEnabled);
    s.symbolAllowed = jsonInteger(object.value(QLatin1String(ApiField::SymbolAllowed)));
    s.secureKey = text(object, ApiField::SecureKey);
    s.backfillPath = text(object, ApiField::BackfillPath);
    s.backfillPathSlow = text(object, ApiField::BackfillPathSlow);
    s.backfillPathEod1y = text(object, ApiField::BackfillPathEod1y);
    s.liveDataGet = text(object, ApiField::LiveDataGet);
    s.liveDataPost = text(object, ApiField::LiveDataPost);
    s.networkGet = text(object, ApiField::NetworkGet);
    s.networkPost = text(object, ApiField::NetworkPost);
    s.websocketLink = text(object, ApiField::WebsocketLink);
    s.support = text(object, ApiField::Support);
    return s;
}

QJsonObject StartupSettings::toJson() const
{
    QJsonObject o;
    o.insert(QLatin1String(ApiField::Success), success);
    o.insert(QLatin1String(ApiField::Message), message);
    o.insert(QLatin1String(ApiField::LatestVersion), latestVersion);
    o.insert(QLatin1String(ApiField::LatestVersionPath), latestVersionPath);
    o.insert(QLatin1String(ApiField::Feeds), feeds);
    o.insert(QLatin1String(ApiField::Daysbox), QJsonArray::fromStringList(daysbox));
    o.insert(QLatin1String(ApiField::EodEnabled), eodEnabled);
    o.insert(QLatin1String(ApiField::SymbolAllowed), symbolAllowed);
    o.insert(QLatin1String(ApiField::SecureKey), secureKey);
    o.insert(QLatin1String(ApiField::BackfillPath), backfillPath);
    o.insert(QLatin1String(ApiField::BackfillPathSlow), backfillPathSlow);
    o.insert(QLatin1String(ApiField::BackfillPathEod1y), backfillPathEod1y);
    o.insert(QLatin1String(ApiField::LiveDataGet), liveDataGet);
    o.insert(QLatin1String(ApiField::LiveDataPost), liveDataPost);
    o.insert(QLatin1String(ApiField::NetworkGet), networkGet);
    o.insert(QLatin1String(ApiField::NetworkPost), networkPost);
    o.insert(QLatin1String(ApiField::WebsocketLink), websocketLink);
    o.insert(QLatin1String(ApiField::Support), support);
    return o;
}

BackfillPathSettings BackfillPathSettings::fromJson(const QJsonObject &object)
{
    BackfillPathSettings s;
    s.success = flag(object, ApiField::Success);
    s.oneDayBackfillPath = text(object, ApiField::OneDayBackfillPath);
    s.fiveDayBackfillPath = text(object, ApiField::FiveDayBackfillPath);
    return s;
}

QJsonObject BackfillPathSettings::toJson() const
{
    QJsonObject o;
    o.insert(QLatin1String(ApiField::Success), success);
    o.insert(QLatin1String(ApiField::OneDayBackfillPath), oneDayBackfillPath);
    o.insert(QLatin1String(ApiField::FiveDayBackfillPath), fiveDayBackfillPath);
    return o;
}

QJsonObject startupParameters(const QString &clientId, const QString &clientVersion)
{
    QJsonObject o;
    o.insert(QLatin1String(ApiField::MachineId), clientId.toUpper());
    o.insert(QLatin1String(ApiField::ClientVersion), clientVersion);
    return o;
}

QJsonObject getSettingsParameters(const QString &clientId)
{
    QJsonObject o;
    o.insert(QLatin1String(ApiField::MachineId), clientId.toUpper());
    return o;
}
