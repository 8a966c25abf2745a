#include "backfillurls.h"

#include <QUrl>

#include <cmath>

namespace BackfillUrls {

const char IntradayStyle[] = "QProgressBar {  border: none;  background: transparent;  text-align: center;  "
                             "color: white;  font-weight: normal;}QProgressBar::chunk {  background-color: #28a745;}";
const char EodStyle[] = "QProgressBar {  border: none;  background: transparent;  text-align: center;  "
                        "color: white;  font-weight: normal;}QProgressBar::chunk {  background-color: #3d85c6;}";

namespace {

const QString SendKey = QStringLiteral("send=");
const QString EscapedAmpersand = QStringLiteral("%26");

} // namespace

QString symbolText(const QString &symbol, const QVector<MappingEntry> &entries)
{
    QString text = serverNameFor(symbol, entries);
    text.replace(QLatin1Char('&'), EscapedAmpersand);
    return text;
}

QString chosenPath(const QString &backfillPath, const QString &backfillPathSlow, bool slowWanted)
{
    return slowWanted && !backfillPathSlow.isEmpty() ? backfillPathSlow : backfillPath;
}

QString intradayUrl(const QString &scheme, const QString &path, const QString &clientId,
                    const QString &secureKey, const QString &days, const QString &symbolText)
{
    return scheme + QStringLiteral("://") + path + QStringLiteral("?uid=") + clientId + QStringLiteral("&hash=")
           + secureKey + QStringLiteral("&d=") + days + QStringLiteral("&send=") + symbolText;
}

QString eod1yUrl(const QString &scheme, const QString &eod1yPath, const QString &clientId,
                 const QString &secureKey, const QString &symbolText)
{
    return scheme + QStringLiteral("://") + eod1yPath + QStringLiteral("?uid=") + clientId
           + QStringLiteral("&hash=") + secureKey + QStringLiteral("&send=") + symbolText;
}

bool isEodJob(const QString &url, const QString &eod1yPath)
{
    return !eod1yPath.isEmpty() && url.contains(eod1yPath);
}

QString sentSymbols(const QString &url)
{
    const int at = url.lastIndexOf(SendKey);
    if (at < 0)
        return QString();
    QString symbols = url.mid(at + SendKey.size());
    const int end = symbols.indexOf(QLatin1Char('&'));
    if (end >= 0)
        symbols.truncate(end);
    symbols.replace(EscapedAmpersand, QStringLiteral("&"));
    return symbols;
}

QString jobFileName(const QString &clientId)
{
    return QStringLiteral("backfill_%1.zip").arg(clientId.simplified().toUpper());
}

int progressValue(const QString &progress)
{
    QString text = progress.trimmed();
    if (text.endsWith(QLatin1Char('%')))
        text.chop(1);
    bool ok = false;
    const double number = text.toDouble(&ok);
    if (!ok || !std::isfinite(number))
        return 0;
    const double rounded = std::floor(number + 0.5);
    if (rounded <= 0)
        return 0;
    if (rounded >= 100)
        return 100;
    return int(rounded);
}

QString progressCaption(const QString &symbols, const QString &speed)
{
    QString speedText = speed.trimmed();
    if (speedText.isEmpty())
        speedText = QStringLiteral("--");
    if (symbols.isEmpty())
        return speedText;
    return QStringLiteral("(%1) %2").arg(symbols, speedText);
}

bool dialogProgressValue(const QString &progress, int *value)
{
    bool ok = false;
    const double number = progress.section(QLatin1Char('%'), 0, 0).toDouble(&ok);
    if (!ok || !std::isfinite(number))
        return false;
    if (value)
        *value = int(qBound(0.0, std::trunc(number), 100.0));
    return true;
}

int autoDays(const QString &text)
{
    bool ok = false;
    const int days = text.trimmed().toInt(&ok, 10);
    return ok && days > 0 ? days : 5;
}

QString eodArchiveUrl(const QString &chosenPath, const QString &oneDayBackfillPath,
                      const QString &serverName, const QDate &today)
{
    if (oneDayBackfillPath.contains(QLatin1String("://"))) {
        QString base = oneDayBackfillPath;
        base.replace(QStringLiteral("/1/"), QStringLiteral("/e/"));
        return base + serverName;
    }

    QString base = chosenPath;
    if (!base.startsWith(QLatin1String("http://")) && !base.startsWith(QLatin1String("https://")))
        base.prepend(QStringLiteral("http://"));
    const QUrl baseUrl(base);
    QString url = baseUrl.scheme() + QStringLiteral("://") + baseUrl.host();
    if (baseUrl.port() != -1)
        url += QLatin1Char(':') + QString::number(baseUrl.port());
    url += QStringLiteral("/backfillS21/e/") + today.toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char('/')
           + oneDayBackfillPath + QLatin1Char('/') + serverName;
    return url;
}

} // namespace BackfillUrls
