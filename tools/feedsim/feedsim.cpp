#include "feedsim.h"

#include "api/apirequest.h"
#include "feedsimbackfill.h"
#include "feedsimstream.h"
#include "feedsimupdate.h"

#include <QJsonDocument>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcFeedSim, "feedsim.api")

namespace {

struct Underlying
{
    const char *name;
    int base;
    int step;
};

const char *const CashStocks[] = {
    "RELIANCE", "ICICIBANK", "HDFCBANK", "INFY", "TCS", "SBIN", "AXISBANK", "KOTAKBANK", "LT", "ITC",
    "HINDUNILVR", "BHARTIARTL", "BAJFINANCE", "ASIANPAINT", "MARUTI", "TATAMOTORS", "TATASTEEL", "WIPRO",
    "HCLTECH", "SUNPHARMA", "ULTRACEMCO", "TITAN", "NTPC", "POWERGRID", "ONGC", "COALINDIA", "ADANIENT",
    "ADANIPORTS", "JSWSTEEL", "M&M", "BAJAJ-AUTO", "HEROMOTOCO", "DRREDDY", "CIPLA", "NESTLEIND",
    "TECHM", "GRASIM", "INDUSINDBK", "BPCL", "EICHERMOT"};
const char *const IndexFutures[] = {"NIFTY", "BANKNIFTY", "FINNIFTY", "MIDCPNIFTY"};
const char *const SpotIndices[] = {"NIFTY", "BANKNIFTY", "FINNIFTY", "MIDCPNIFTY", "INDIAVIX", "SENSEX", "NIFTYIT", "NIFTYMETAL"};
const char *const McxCommodities[] = {"CRUDEOIL", "CRUDEOILM", "GOLD", "GOLDM", "SILVER", "SILVERM", "NATURALGAS",
                                      "COPPER", "ZINC", "ALUMINIUM", "LEAD", "NICKEL"};
const char *const Currencies[] = {"USDINR", "EURINR", "GBPINR", "JPYINR"};
const char *const NcdexCommodities[] = {"DHANIYA", "JEERAUNJHA", "GUARSEED10", "GUARGUM5", "CASTORSEED", "TMCFGRNZM", "SYBEANIDR"};
const char *const ForexPairs[] = {"EURUSD", "GBPUSD", "USDJPY", "AUDUSD", "USDCHF", "USDCAD", "NZDUSD", "XAUUSD"};
const char *const Expiries[] = {"24DEC", "25JAN", "25FEB", "25MAR", "25APR", "25JUN"};
const char *const Series[] = {"-I", "-II", "-III"};

const Underlying OptionUnderlyings[] = {
    {"NIFTY", 24000, 50},  {"BANKNIFTY", 52000, 100}, {"FINNIFTY", 23500, 50}, {"MIDCPNIFTY", 12500, 25},
    {"RELIANCE", 1300, 20}, {"ICICIBANK", 1300, 10},  {"HDFCBANK", 1700, 10},  {"INFY", 1900, 20},
    {"TCS", 4200, 50},      {"SBIN", 850, 10}};
const Underlying CommodityOptionUnderlyings[] = {
    {"CRUDEOIL", 6000, 50}, {"GOLDM", 76000, 100}, {"SILVERM", 90000, 250}, {"NATURALGAS", 300, 5}, {"COPPER", 800, 5}};

void appendContract(QByteArray &out, const QByteArray &symbol, const char *exch)
{
    if (out.at(out.size() - 1) != '[')
        out += ',';
    out += "{\"Symbol\":\"";
    out += symbol;
    out += "\",\"Exch\":\"";
    out += exch;
    out += "\"}";
}

template<int N>
QByteArray optionName(const Underlying (&list)[N], int index)
{
    const int expiryCount = int(sizeof(Expiries) / sizeof(Expiries[0]));
    const Underlying &u = list[index % N];
    int rest = index / N;
    const char *expiry = Expiries[rest % expiryCount];
    rest /= expiryCount;
    const char *side = rest % 2 ? "PE" : "CE";
    const int strikeIndex = rest / 2;
    // Strikes spread either side of the underlying's level, nearest first.
    int strike = u.base + ((strikeIndex % 2) ? -1 : 1) * ((strikeIndex + 1) / 2) * u.step;
    if (strike <= 0)
        strike = u.base + strikeIndex * u.step;
    return QByteArray(u.name) + expiry + QByteArray::number(strike) + side;
}

} // namespace

FeedSim::FeedSim(const FeedSimOptions &options, QObject *parent)
    : QObject(parent), m_options(options)
{
    m_http.addRoute(QLatin1String(ApiRoute), [this](const HttpRequest &request, HttpResponder *responder) {
        handleApi(request, responder);
    });
    m_backfill = new FeedSimBackfill(&m_http, this);
    m_stream = new FeedSimStream(this);
    m_update = new FeedSimUpdate(&m_http, &m_options, this);
}

FeedSim::~FeedSim() = default;

bool FeedSim::start(quint16 httpPort, quint16 wsPort)
{
    if (!m_http.listen(httpPort))
        return false;
    if (!m_stream->start(wsPort))
        return false;
    qCDebug(lcFeedSim) << "listening on" << m_http.baseUrl();
    return true;
}

quint16 FeedSim::httpPort() const
{
    return m_http.port();
}

QString FeedSim::httpBaseUrl() const
{
    return m_http.baseUrl();
}

QString FeedSim::serverHost() const
{
    return QStringLiteral("127.0.0.1:%1").arg(httpPort());
}

QString FeedSim::selfAddress(const QString &value, const QString &fallbackPath, bool withScheme) const
{
    if (!value.isEmpty())
        return value;
    return (withScheme ? QStringLiteral("http://") : QString()) + serverHost() + fallbackPath;
}

quint16 FeedSim::streamPort() const
{
    return m_stream->isListening() ? m_stream->port() : 0;
}

QString FeedSim::websocketLink() const
{
    if (!m_options.websocketLink.isEmpty())
        return m_options.websocketLink;
    const quint16 port = streamPort();
    return port ? QStringLiteral("ws://127.0.0.1:%1/").arg(port) : QString();
}

StartupSettings FeedSim::startupSettings() const
{
    StartupSettings s;
    s.success = true;
    s.message = m_options.message;
    s.latestVersion = m_update->offering() ? QString::fromLatin1(FeedSimUpdate::OfferedVersion) : m_options.latestVersion;
    s.latestVersionPath = selfAddress(m_options.latestVersionPath, QLatin1String(FeedSimUpdate::ArchivePath), true);
    s.feeds = m_options.feeds;
    s.daysbox = m_options.daysbox;
    s.eodEnabled = m_options.eodEnabled;
    s.symbolAllowed = m_options.symbolAllowed;
    s.secureKey = m_options.secureKey;
    s.backfillPath = selfAddress(m_options.backfillPath, QLatin1String(FeedSimBackfill::IntradayRoute), false);
    s.backfillPathSlow = selfAddress(m_options.backfillPathSlow, QLatin1String(FeedSimBackfill::SlowRoute), false);
    s.backfillPathEod1y = selfAddress(m_options.backfillPathEod1y, QLatin1String(FeedSimBackfill::Eod1yRoute), false);
    s.liveDataGet = selfAddress(QString(), QStringLiteral("/live/get"), true);
    s.liveDataPost = selfAddress(QString(), QStringLiteral("/live/post"), true);
    s.networkGet = selfAddress(QString(), QStringLiteral("/network/get"), true);
    s.networkPost = selfAddress(QString(), QStringLiteral("/network/post"), true);
    s.websocketLink = websocketLink();
    s.support = selfAddress(m_options.support, QStringLiteral("/support"), true);
    return s;
}

BackfillPathSettings FeedSim::backfillPathSettings() const
{
    BackfillPathSettings s;
    s.success = m_options.getSettingsSuccess;
    s.oneDayBackfillPath = selfAddress(m_options.oneDayBackfillPath, QStringLiteral("/backfillS21/1/"), true);
    s.fiveDayBackfillPath = selfAddress(m_options.fiveDayBackfillPath, QStringLiteral("/backfillS21/5/"), true);
    return s;
}

QByteArray FeedSim::contractsJson(int count, bool success)
{
    count = qBound(0, count, int(FeedSimOptions::MaxContracts));
    QByteArray out;
    out.reserve(64 + count * 48);
    out += success ? "{\"success\":true,\"contracts\":[" : "{\"success\":false,\"contracts\":[";
    int written = 0;
    auto add = [&](const QByteArray &symbol, const char *exch) {
        if (written >= count)
            return;
        appendContract(out, symbol, exch);
        ++written;
    };

    // A fixed head of realistic names in every exchange, then options to the count.
    for (const char *name : IndexFutures)
        for (const char *series : Series)
            add(QByteArray(name) + series, "FUTURE");
    for (const char *name : CashStocks)
        add(name, "CASH");
    for (const char *name : McxCommodities) {
        add(QByteArray(name) + "-I", "MCX");
        add(QByteArray(name) + "-II", "MCX");
    }
    for (const char *name : Currencies)
        for (const char *series : Series)
            add(QByteArray(name) + series, "CURRENCY");
    for (const char *name : SpotIndices)
        add(name, "SPOTINDEX");
    for (const char *name : NcdexCommodities)
        add(QByteArray(name) + "-I", "NCDEX");
    for (const char *name : ForexPairs)
        add(name, "FOREX");
    for (int i = 0; i < 20; ++i)
        add(QByteArray(CashStocks[i]) + "-I", "FUTURE");

    int option = 0;
    int commodityOption = 0;
    for (int k = 0; written < count; ++k) {
        if (k % 7 == 6)
            add(optionName(CommodityOptionUnderlyings, commodityOption++), "CMOPT");
        else
            add(optionName(OptionUnderlyings, option++), "OPTION");
    }
    out += "]}";
    return out;
}

void FeedSim::answer(HttpResponder *responder, const QByteArray &json)
{
    responder->respond(200, "application/json", m_options.envelope ? encryptEnvelope(json) : json);
}

void FeedSim::handleApi(const HttpRequest &request, HttpResponder *responder)
{
    if (request.method != "POST") {
        responder->respond(405, "text/plain", "POST only\n");
        return;
    }
    const QJsonObject body = QJsonDocument::fromJson(request.body).object();
    const QString action = body.value(QLatin1String(ApiField::Action)).toString();
    ++m_actionCounts[action];
    m_lastApiRequest = body;
    emit apiRequestReceived(action);
    if (m_options.stallApi)
        return; // the client has to give up on its own

    auto compact = [](const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); };

    if (action == QLatin1String(StartupAction)) {
        QJsonObject reply;
        if (m_options.failStartup) {
            reply.insert(QLatin1String(ApiField::Success), false);
            reply.insert(QLatin1String(ApiField::Message), m_options.failMessage);
        } else {
            reply = startupSettings().toJson();
        }
        for (auto it = m_options.startupExtra.constBegin(); it != m_options.startupExtra.constEnd(); ++it)
            reply.insert(it.key(), it.value());
        answer(responder, compact(reply));
    } else if (action == QLatin1String(GetSettingsAction)) {
        answer(responder, compact(backfillPathSettings().toJson()));
    } else if (action == QLatin1String(ContractsAction)) {
        if (!m_options.contractsBody.isEmpty()) {
            answer(responder, m_options.contractsBody);
            return;
        }
        // Building and enciphering 150,000 contracts takes a while; keep the last answer.
        const QByteArray key = QByteArray::number(m_options.contractCount) + '/'
                               + char('0' + m_options.contractsSuccess) + char('0' + m_options.envelope);
        if (key != m_contractsCacheKey) {
            const QByteArray json = contractsJson(m_options.contractCount, m_options.contractsSuccess);
            m_contractsCache = m_options.envelope ? encryptEnvelope(json) : json;
            m_contractsCacheKey = key;
        }
        responder->respond(200, "application/json", m_contractsCache);
    } else {
        qCDebug(lcFeedSim) << "unknown action" << action;
        QJsonObject reply;
        reply.insert(QLatin1String(ApiField::Success), false);
        reply.insert(QLatin1String(ApiField::Message), QStringLiteral("Unknown action"));
        answer(responder, compact(reply));
    }
}
