#include "feedsimbackfill.h"

#include "httpserver.h"
#include "zipwriter.h"

#include <QPointer>
#include <QTimer>
#include <QUrlQuery>

#include <memory>

namespace {

// FNV-1a: a stable seed per symbol (qHash is salted per process).
quint64 stableHash(const QString &text)
{
    quint64 h = 1469598103934665603ull;
    for (const char c : text.toUtf8()) {
        h ^= quint8(c);
        h *= 1099511628211ull;
    }
    return h;
}

// A small deterministic generator for the random walk.
class Walk
{
public:
    explicit Walk(quint64 seed)
        : m_state(seed | 1)
        , m_price(100.0 + double(seed % 490000) / 100.0)
    {
    }
    double next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return double(m_state % 2001) / 1000.0 - 1.0; // -1 .. 1
    }
    // One bar: open, high, low, close moving by at most step per cent.
    void bar(double step, double &open, double &high, double &low, double &close)
    {
        open = m_price;
        close = qMax(1.0, open * (1.0 + next() * step / 100.0));
        high = qMax(open, close) * (1.0 + qAbs(next()) * step / 200.0);
        low = qMin(open, close) * (1.0 - qAbs(next()) * step / 200.0);
        m_price = close;
    }
    quint64 volume(quint64 base) { return base + m_state % base; }

private:
    quint64 m_state;
    double m_price;
};

QByteArray price(double value)
{
    return QByteArray::number(value, 'f', 2);
}

QString paramsText(const HttpRequest &request)
{
    // The downloader sends the query in the body when it posts.
    if (request.query.isEmpty() && request.method == "POST")
        return QString::fromUtf8(request.body);
    return request.query;
}

QStringList requestedSymbols(const QUrlQuery &params)
{
    QStringList symbols;
    const QStringList parts = params.queryItemValue(QStringLiteral("send"), QUrl::FullyDecoded).split(QLatin1Char(','));
    for (const QString &part : parts) {
        const QString symbol = part.trimmed();
        if (!symbol.isEmpty() && !symbols.contains(symbol))
            symbols << symbol;
    }
    return symbols;
}

const QByteArray HtmlPage = "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>"
                            "<body><h1>Bad Gateway</h1><p>The data service is unavailable.</p></body></html>\n";
const QByteArray NoDataText = "No data found for the requested symbol and period.\n";

} // namespace

FeedSimBackfill::FeedSimBackfill(HttpServer *server, QObject *parent)
    : QObject(parent)
{
    auto intraday = [this](const HttpRequest &request, HttpResponder *responder) {
        handleIntraday(request, responder);
    };
    server->addRoute(QLatin1String(IntradayRoute), intraday);
    server->addRoute(QLatin1String(SlowRoute), intraday);
    server->addRoute(QLatin1String(Eod1yRoute), [this](const HttpRequest &request, HttpResponder *responder) {
        handleEod1y(request, responder);
    });
    server->addRoute(QLatin1String(EodArchiveRoute), [this](const HttpRequest &request, HttpResponder *responder) {
        handleEodArchive(request, responder);
    });
}

void FeedSimBackfill::setTrickle(int bytesPerStep, int intervalMs)
{
    m_trickleBytes = qMax(1, bytesPerStep);
    m_trickleIntervalMs = qMax(0, intervalMs);
}

QDate FeedSimBackfill::endDate() const
{
    return m_endDate.isValid() ? m_endDate : QDate::currentDate();
}

void FeedSimBackfill::resetCounts()
{
    m_requests = 0;
    m_lines.clear();
}

QList<QDate> FeedSimBackfill::tradingDays(int count, const QDate &endDate)
{
    QList<QDate> days;
    for (QDate d = endDate; days.size() < count; d = d.addDays(-1)) {
        if (d.dayOfWeek() <= 5)
            days.prepend(d);
    }
    return days;
}

QString FeedSimBackfill::entryName(const QString &symbol)
{
    QString name = symbol;
    name.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QLatin1Char('\\'), QLatin1Char('_'));
    return name + QStringLiteral(".txt");
}

QByteArray FeedSimBackfill::intradayFile(const QString &symbol, int days, const QDate &endDate)
{
    const QByteArray ticker = symbol.toUtf8();
    const QList<QDate> dates = tradingDays(qBound(1, days, MaxDays), endDate);
    Walk walk(stableHash(symbol) ^ quint64(dates.first().toJulianDay()));
    QByteArray out;
    out.reserve(dates.size() * BarsPerDay * 72);
    for (const QDate &date : dates) {
        const QByteArray day = date.toString(QStringLiteral("yyyy-MM-dd")).toLatin1();
        for (int minute = 0; minute < BarsPerDay; ++minute) {
            const int total = 9 * 60 + 15 + minute;
            char time[9];
            qsnprintf(time, sizeof time, "%02d:%02d:00", total / 60, total % 60);
            double open, high, low, close;
            walk.bar(0.2, open, high, low, close);
            out.append(day).append(',').append(ticker).append(',').append(time).append(',');
            out.append(price(open)).append(',').append(price(high)).append(',').append(price(low)).append(',');
            out.append(price(close)).append(',').append(QByteArray::number(walk.volume(500))).append(',');
            out.append(QByteArray::number(walk.volume(50000))).append('\n');
        }
    }
    return out;
}

QByteArray FeedSimBackfill::dailyFile(const QString &symbol, const QDate &from, const QDate &to)
{
    const QByteArray ticker = symbol.toUtf8();
    Walk walk(stableHash(symbol) ^ quint64(from.toJulianDay()));
    QByteArray out;
    for (QDate d = from; d <= to; d = d.addDays(1)) {
        if (d.dayOfWeek() > 5)
            continue;
        double open, high, low, close;
        walk.bar(1.5, open, high, low, close);
        out.append(d.toString(QStringLiteral("yyyy-MM-dd")).toLatin1()).append(',').append(ticker).append(',');
        out.append(price(open)).append(',').append(price(high)).append(',').append(price(low)).append(',');
        out.append(price(close)).append(',').append(QByteArray::number(walk.volume(200000))).append(',');
        out.append(QByteArray::number(walk.volume(1000000))).append('\n');
    }
    return out;
}

QStringList FeedSimBackfill::feedSymbols(const QString &feed)
{
    static const QHash<QString, QStringList> feeds = {
        {QStringLiteral("CASH"), {QStringLiteral("RELIANCE"), QStringLiteral("ICICIBANK"), QStringLiteral("INFY"),
                                  QStringLiteral("TCS"), QStringLiteral("SBIN"), QStringLiteral("M&M")}},
        {QStringLiteral("FUTURE"), {QStringLiteral("NIFTY-I"), QStringLiteral("BANKNIFTY-I"), QStringLiteral("FINNIFTY-I"),
                                    QStringLiteral("RELIANCE-I")}},
        {QStringLiteral("COMM"), {QStringLiteral("CRUDEOIL-I"), QStringLiteral("GOLDM-I"), QStringLiteral("SILVERM-I"),
                                  QStringLiteral("NATURALGAS-I")}},
        {QStringLiteral("SPOT"), {QStringLiteral("NIFTY"), QStringLiteral("BANKNIFTY"), QStringLiteral("INDIAVIX")}},
    };
    return feeds.value(feed);
}

bool FeedSimBackfill::takeFailure(HttpResponder *responder)
{
    ++m_requests;
    if (m_failNext > 0) {
        --m_failNext;
        responder->respond(500, "text/plain", "Internal Server Error\n");
        return true;
    }
    switch (m_answer) {
    case BackfillAnswer::ServerError:
        responder->respond(500, "text/plain", "Internal Server Error\n");
        return true;
    case BackfillAnswer::HtmlPage:
        responder->respond(200, "text/html", HtmlPage);
        return true;
    case BackfillAnswer::Stall:
        return true;
    default:
        return false;
    }
}

void FeedSimBackfill::handleIntraday(const HttpRequest &request, HttpResponder *responder)
{
    emit backfillRequested(request.path, request.query);
    if (takeFailure(responder))
        return;
    const QUrlQuery params(paramsText(request));
    bool ok = false;
    int days = params.queryItemValue(QStringLiteral("d")).toInt(&ok);
    if (!ok || days < 1)
        days = 1;
    QVector<File> files;
    for (const QString &symbol : requestedSymbols(params))
        files.append(File{symbol, intradayFile(symbol, qMin(days, MaxDays), endDate())});
    deliver(responder, files);
}

void FeedSimBackfill::handleEod1y(const HttpRequest &request, HttpResponder *responder)
{
    emit backfillRequested(request.path, request.query);
    if (takeFailure(responder))
        return;
    const QUrlQuery params(paramsText(request));
    const QDate to = endDate();
    QVector<File> files;
    for (const QString &symbol : requestedSymbols(params))
        files.append(File{symbol, dailyFile(symbol, to.addYears(-1).addDays(1), to)});
    deliver(responder, files);
}

void FeedSimBackfill::handleEodArchive(const HttpRequest &request, HttpResponder *responder)
{
    emit backfillRequested(request.path, request.query);
    if (takeFailure(responder))
        return;
    // ".../<FEED>-<n>.zip": the last path segment names the feed and the period.
    QString name = request.path.section(QLatin1Char('/'), -1);
    if (name.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive))
        name.chop(4);
    const int dash = name.lastIndexOf(QLatin1Char('-'));
    const QString feed = dash > 0 ? name.left(dash) : QString();
    bool ok = false;
    const int period = dash > 0 ? name.mid(dash + 1).toInt(&ok) : 0;
    const QStringList symbols = feedSymbols(feed);
    if (!ok || period < 1 || period > 3 || symbols.isEmpty()) {
        responder->respond(404, "text/plain", "not found\n");
        return;
    }
    const QDate end = endDate();
    QDate from;
    QDate to = end;
    switch (period) {
    case 1: // recent: the last five trading days
        from = tradingDays(5, end).first();
        break;
    case 2: // current year
        from = QDate(end.year(), 1, 1);
        break;
    default: // past year
        from = QDate(end.year() - 1, 1, 1);
        to = QDate(end.year() - 1, 12, 31);
        break;
    }
    QVector<File> files;
    for (const QString &symbol : symbols)
        files.append(File{symbol, dailyFile(symbol, from, to)});
    deliver(responder, files);
}

void FeedSimBackfill::countLines(const QVector<File> &files)
{
    for (const File &f : files)
        m_lines[f.symbol] += f.content.count('\n');
}

void FeedSimBackfill::deliver(HttpResponder *responder, const QVector<File> &files)
{
    ZipWriter zip;
    switch (m_answer) {
    case BackfillAnswer::HtmlInZip:
    case BackfillAnswer::NoData:
        for (const File &f : files)
            zip.addFile(entryName(f.symbol).toUtf8(), m_answer == BackfillAnswer::NoData ? NoDataText : HtmlPage);
        responder->respond(200, "application/zip", zip.archive());
        return;
    case BackfillAnswer::ZipSlip:
    case BackfillAnswer::AbsolutePath:
    case BackfillAnswer::Symlink:
        for (const File &f : files)
            zip.addFile(entryName(f.symbol).toUtf8(), f.content);
        if (m_answer == BackfillAnswer::ZipSlip)
            zip.addFile(QByteArray("../") + SlipName, "escaped\n");
        else if (m_answer == BackfillAnswer::AbsolutePath)
            zip.addFile(m_absoluteTarget.toUtf8(), "escaped\n");
        else
            zip.addSymlink("outside", "..");
        responder->respond(200, "application/zip", zip.archive());
        return;
    case BackfillAnswer::ZipBomb:
    case BackfillAnswer::LyingZip: {
        constexpr qint64 EntryBytes = 16 * 1024 * 1024;
        int n = 0;
        for (qint64 left = m_bombBytes; left > 0; left -= EntryBytes, ++n) {
            const qint64 size = qMin(left, EntryBytes);
            zip.addZeros(QStringLiteral("bomb%1.txt").arg(n).toUtf8(), size,
                         m_answer == BackfillAnswer::LyingZip ? 1024 : size);
        }
        responder->respond(200, "application/zip", zip.archive());
        return;
    }
    default:
        break;
    }

    for (const File &f : files)
        zip.addFile(entryName(f.symbol).toUtf8(), f.content);
    const QByteArray archive = zip.archive();

    switch (m_answer) {
    case BackfillAnswer::Truncated:
        responder->respond(200, "application/zip", archive.left(archive.size() * 3 / 5));
        return;
    case BackfillAnswer::CutTransfer:
        responder->begin(200, "application/zip", archive.size());
        responder->write(archive.left(archive.size() / 2));
        responder->abort();
        return;
    case BackfillAnswer::TrailingLine:
        countLines(files);
        responder->respond(200, "application/zip", archive + '\n');
        return;
    case BackfillAnswer::NoLength:
        countLines(files);
        responder->begin(200, "application/zip");
        responder->write(archive);
        responder->finish();
        return;
    case BackfillAnswer::Trickle: {
        responder->begin(200, "application/zip", archive.size());
        QPointer<HttpResponder> target(responder);
        auto *timer = new QTimer(this);
        auto offset = std::make_shared<int>(0);
        connect(timer, &QTimer::timeout, this, [this, timer, target, archive, offset, files]() {
            if (!target) {
                timer->deleteLater();
                return;
            }
            const int step = qMin(m_trickleBytes, archive.size() - *offset);
            target->write(archive.mid(*offset, step));
            *offset += step;
            if (*offset >= archive.size()) {
                timer->stop();
                timer->deleteLater();
                target->finish();
                countLines(files);
            }
        });
        timer->start(m_trickleIntervalMs);
        return;
    }
    default:
        countLines(files);
        responder->respond(200, "application/zip", archive);
        return;
    }
}
