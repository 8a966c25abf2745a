#include "tickline.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>

#include <charconv>
#include <cmath>
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

// The decimal value of text[from, from + count), or -1 when it is not all digits.
int digitsAt(QStringView text, int from, int count)
{
    if (count <= 0 || from + count > text.size())
        return -1;
    int value = 0;
    for (int i = from; i < from + count; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + int(c - u'0');
    }
    return value;
}

bool realDate(int year, int month, int day)
{
    // Wide enough for any market's history, narrow enough to catch a garbled field.
    return year >= 1900 && year <= 2999 && QDate::isValid(year, month, day);
}

// "01".."12", "1".."9" or an English month abbreviation (any case).
int monthOf(QStringView part)
{
    if (part.size() == 3 && digitsAt(part, 0, 1) < 0) {
        static const char *const names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                            "jul", "aug", "sep", "oct", "nov", "dec"};
        for (int m = 0; m < 12; ++m) {
            if (part.compare(QLatin1String(names[m]), Qt::CaseInsensitive) == 0)
                return m + 1;
        }
        return -1;
    }
    return part.size() <= 2 ? digitsAt(part, 0, part.size()) : -1;
}

} // namespace

bool isTickDate(QStringView text)
{
    const int size = text.size();
    if (size == 8) {
        const int all = digitsAt(text, 0, 8);
        if (all >= 0)
            return realDate(all / 10000, all / 100 % 100, all % 100)
                   || realDate(all % 10000, all / 10000 % 100, all / 1000000);
    }
    // Three parts with one kind of separator: year first or day first.
    int first = -1;
    for (int i = 0; i < size && first < 0; ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('-') || c == QLatin1Char('/') || c == QLatin1Char('.'))
            first = i;
    }
    if (first < 0)
        return false;
    const QChar separator = text.at(first);
    const int second = text.indexOf(separator, first + 1);
    if (second < 0 || text.indexOf(separator, second + 1) >= 0)
        return false;
    const QStringView a = text.left(first);
    const QStringView month = text.mid(first + 1, second - first - 1);
    const QStringView c = text.mid(second + 1);
    const int m = monthOf(month);
    if (a.size() == 4 && c.size() >= 1 && c.size() <= 2)
        return realDate(digitsAt(a, 0, 4), m, digitsAt(c, 0, c.size()));
    if (c.size() == 4 && a.size() >= 1 && a.size() <= 2)
        return realDate(digitsAt(c, 0, 4), m, digitsAt(a, 0, a.size()));
    return false;
}

bool isTickTime(QStringView text)
{
    // An optional fraction of a second after a dot.
    const int dot = text.indexOf(QLatin1Char('.'));
    if (dot >= 0) {
        const int fraction = text.size() - dot - 1;
        if (fraction < 1 || fraction > 9 || digitsAt(text, dot + 1, fraction) < 0)
            return false;
        text = text.left(dot);
    }
    int hour = -1;
    int minute = -1;
    int second = 0;
    const int colon = text.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        // H:MM or HH:MM, then optionally :SS.
        if (colon < 1 || colon > 2)
            return false;
        hour = digitsAt(text, 0, colon);
        const int rest = text.size() - colon - 1;
        if (rest != 2 && rest != 5)
            return false;
        minute = digitsAt(text, colon + 1, 2);
        if (rest == 5) {
            if (text.at(colon + 3) != QLatin1Char(':'))
                return false;
            second = digitsAt(text, colon + 4, 2);
        }
    } else if (text.size() == 4 || text.size() == 6) {
        hour = digitsAt(text, 0, 2);
        minute = digitsAt(text, 2, 2);
        if (text.size() == 6)
            second = digitsAt(text, 4, 2);
    } else {
        return false;
    }
    return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59;
}

void appendPrice(QByteArray &out, double value)
{
    char buffer[PriceBufferSize];
    out.append(buffer, writePrice(buffer, value));
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
    if (breaksLine(symbol) || breaksLine(type) || !isTickDate(date) || !isTickTime(time))
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

QByteArray tickLinesFromRecords(const QJsonArray &records)
{
    QByteArray lines;
    lines.reserve(records.size() * 64);
    for (const QJsonValue &v : records)
        appendTickLine(v.toObject(), lines);
    return lines;
}
