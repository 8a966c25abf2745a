#include "tickline.h"

#include "amibroker/quotestamp.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Any finite double in fixed notation fits (the largest has 309 integer digits).
constexpr int PriceBufferSize = 400;

int writePrice(char *buffer, double value)
{
    if (!std::isfinite(value))
        return 0;
    const auto result = std::to_chars(buffer, buffer + PriceBufferSize, value, std::chars_format::fixed);
    if (result.ec != std::errc())
        return 0;
    return int(result.ptr - buffer);
}

QString textField(const QJsonObject &record, QLatin1String key)
{
    const QJsonValue v = record.value(key);
    return v.isString() ? v.toString() : QString();
}

// A comma or line break inside a field would shift the fields of the line or
// start a line of its own in the import.
bool breaksLine(const QString &text)
{
    for (const QChar c : text) {
        if (c == QLatin1Char(',') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            return true;
    }
    return false;
}

qint64 countField(const QJsonObject &record, QLatin1String key)
{
    double v = 0;
    if (!readTickNumber(record.value(key), &v))
        return 0;
    return roundHalfUp(v);
}

void appendCount(QByteArray &out, qint64 value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, int(result.ptr - buffer));
}

// Tick texts are nearly always ASCII; skip the temporary UTF-8 copy for them.
void appendText(QByteArray &out, const QString &text)
{
    const QChar *chars = text.constData();
    const int size = text.size();
    for (int i = 0; i < size; ++i) {
        if (chars[i].unicode() >= 0x80) {
            out.append(text.toUtf8());
            return;
        }
    }
    const int start = out.size();
    out.resize(start + size);
    char *dst = out.data() + start;
    for (int i = 0; i < size; ++i)
        dst[i] = char(chars[i].unicode());
}

} // namespace

void appendPrice(QByteArray &out, double value)
{
    char buffer[PriceBufferSize];
    out.append(buffer, writePrice(buffer, value));
}

bool mentionsFailed(const char *begin, const char *end)
{
    if (!isAscii(begin, end))
        return QString::fromUtf8(begin, int(end - begin)).contains(QLatin1String("Failed"), Qt::CaseInsensitive);
    static const char word[] = "failed";
    for (const char *p = begin; end - p >= 6; ++p) {
        int i = 0;
        while (i < 6 && (p[i] | 0x20) == word[i])
            ++i;
        if (i == 6)
            return true;
    }
    return false;
}

int splitFields(const char *begin, const char *end, QLatin1String *fields, int max)
{
    int count = 0;
    for (const char *p = begin; count < max;) {
        const char *comma = static_cast<const char *>(std::memchr(p, ',', size_t(end - p)));
        const char *fieldEnd = comma ? comma : end;
        fields[count++] = QLatin1String(p, int(fieldEnd - p));
        if (!comma)
            break;
        p = comma + 1;
    }
    return count;
}

QString formatPrice(double value)
{
    char buffer[PriceBufferSize];
    return QString::fromLatin1(buffer, writePrice(buffer, value));
}

qint64 roundHalfUp(double value)
{
    if (!std::isfinite(value))
        return 0;
    // floor(value + 0.5) would round 0.49999999999999994 up; the fraction left
    // after floor() is exact, so compare that instead.
    double whole = std::floor(value);
    if (value - whole >= 0.5)
        whole += 1.0;
    constexpr double limit = 9223372036854775808.0; // 2^63
    if (whole >= limit)
        return std::numeric_limits<qint64>::max();
    if (whole < -limit)
        return std::numeric_limits<qint64>::min();
    return qint64(whole);
}

bool readTickNumber(const QJsonValue &value, double *out)
{
    double v = 0;
    if (value.isDouble()) {
        v = value.toDouble();
    } else if (value.isString()) {
        bool ok = false;
        v = value.toString().toDouble(&ok);
        if (!ok)
            return false;
    } else {
        return false;
    }
    if (!std::isfinite(v))
        return false;
    *out = v;
    return true;
}

bool appendTickLine(const QJsonObject &record, QByteArray &out)
{
    const QString symbol = textField(record, QLatin1String("symbol")).trimmed();
    if (symbol.isEmpty())
        return false;
    double price = 0;
    if (!readTickNumber(record.value(QLatin1String("ltp")), &price) || !(price > 0))
        return false;
    const QString type = textField(record, QLatin1String("type"));
    const QString date = textField(record, QLatin1String("ltd"));
    const QString time = textField(record, QLatin1String("ltt"));
    if (breaksLine(symbol) || breaksLine(type) || breaksLine(date) || breaksLine(time)
        || !QuoteStamp::isTickMoment(date, time))
        return false;

    appendText(out, type);
    out.append(',');
    appendText(out, symbol);
    out.append(',');
    appendText(out, date);
    out.append(',');
    appendText(out, time);
    out.append(',');
    appendPrice(out, price);
    out.append(',');
    appendCount(out, countField(record, QLatin1String("ltq")));
    out.append(',');
    appendCount(out, countField(record, QLatin1String("oi")));
    out.append(',');
    appendCount(out, countField(record, QLatin1String("vol")));
    out.append('\n');
    return true;
}

QByteArray tickLinesFromRecords(const QJsonArray &records, int *lines)
{
    QByteArray out;
    out.reserve(records.size() * 64);
    int kept = 0;
    for (const QJsonValue &v : records)
        kept += appendTickLine(v.toObject(), out) ? 1 : 0;
    if (lines)
        *lines = kept;
    return out;
}
