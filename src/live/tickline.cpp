#include "tickline.h"

#include "common/quotestamp.h"

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

void appendCount(QByteArray &out, qint64 value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, int(result.ptr - buffer));
}

// Tick texts are nearly always ASCII; skip the temporary UTF-8 copy for them.
void appendText(QByteArray &out, QStringView text)
{
    const QChar *chars = text.data();
    const int size = int(text.size());
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

// Digits with at most one point and an optional sign in front, nothing else.
template<typename Char>
bool plainDecimal(const Char *b, const Char *e, double *out)
{
    // Longer than any number within the limits needs (16 integer digits and the
    // 17 significant digits a double can carry, with room for leading zeros).
    constexpr int MaxLength = 64;
    char buffer[MaxLength];
    if (b < e && (*b == Char('+') || *b == Char('-'))) {
        buffer[0] = char(*b);
        ++b;
    } else {
        buffer[0] = '+';
    }
    if (e - b < 1 || e - b > MaxLength - 1)
        return false;
    int length = 1;
    int digits = 0;
    bool point = false;
    for (const Char *p = b; p < e; ++p) {
        const auto c = *p;
        if (c >= Char('0') && c <= Char('9')) {
            ++digits;
        } else if (c == Char('.') && !point) {
            point = true;
        } else {
            return false;
        }
        buffer[length++] = char(c);
    }
    if (digits == 0)
        return false;
    double value = 0;
    const char *first = buffer[0] == '+' ? buffer + 1 : buffer;
    const auto result = std::from_chars(first, buffer + length, value);
    if (result.ec != std::errc() || result.ptr != buffer + length || !std::isfinite(value)
        || std::fabs(value) > MaxTickNumber)
        return false;
    *out = value;
    return true;
}

bool forbiddenOrComma(QStringView text)
{
    for (const QChar c : text) {
        if (c == QLatin1Char(',') || isForbiddenTickCharacter(c.unicode()))
            return true;
    }
    return false;
}

QStringView textOf(const TickField &field)
{
    return field.kind == TickField::Kind::Text ? field.text : QStringView();
}

// A quantity, open interest or volume: 0 when absent; false when present but no plain decimal.
bool readCount(const TickField &field, qint64 *out)
{
    *out = 0;
    if (field.kind == TickField::Kind::Missing || field.kind == TickField::Kind::Null
        || (field.kind == TickField::Kind::Text && field.text.isEmpty()))
        return true;
    double value = 0;
    if (field.kind == TickField::Kind::Other || !readPlainDecimal(field.text, &value))
        return false;
    *out = roundHalfUp(value);
    return true;
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

bool holdsForbiddenTickCharacter(QStringView text)
{
    for (const QChar c : text) {
        if (isForbiddenTickCharacter(c.unicode()))
            return true;
    }
    return false;
}

bool holdsForbiddenTickCharacter(const char *begin, const char *end)
{
    for (const char *p = begin; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (isForbiddenTickCharacter(c))
            return true;
        // U+0085 is C2 85 in UTF-8; U+2028 and U+2029 are E2 80 A8 and E2 80 A9.
        if (c == 0xC2 && end - p >= 2 && static_cast<unsigned char>(p[1]) == 0x85)
            return true;
        if (c == 0xE2 && end - p >= 3 && static_cast<unsigned char>(p[1]) == 0x80
            && (static_cast<unsigned char>(p[2]) == 0xA8 || static_cast<unsigned char>(p[2]) == 0xA9))
            return true;
    }
    return false;
}

bool readDecimal(const char *begin, const char *end, double *out)
{
    // from_chars takes no '+', and a second sign after it would slip through.
    if (begin < end && *begin == '+' && end - begin > 1 && begin[1] != '-' && begin[1] != '+')
        ++begin;
    double value = 0;
    const auto result = std::from_chars(begin, end, value);
    if (result.ec != std::errc() || result.ptr != end || !std::isfinite(value))
        return false;
    *out = value;
    return true;
}

bool readPlainDecimal(QStringView text, double *out)
{
    return plainDecimal(reinterpret_cast<const char16_t *>(text.utf16()),
                        reinterpret_cast<const char16_t *>(text.utf16()) + text.size(), out);
}

bool readPlainDecimal(QLatin1String text, double *out)
{
    return plainDecimal(text.data(), text.data() + text.size(), out);
}

bool tickLineFieldsAllowed(const QLatin1String *fields, int count)
{
    if (count < 8)
        return false;
    for (int i = 0; i < count; ++i) {
        const char *b = fields[i].data();
        const char *e = b + fields[i].size();
        if (std::memchr(b, ',', size_t(e - b)) || holdsForbiddenTickCharacter(b, e))
            return false;
    }
    const QLatin1String symbol = fields[1];
    // Characters, not bytes: a UTF-8 continuation byte starts none.
    int characters = 0;
    for (const char c : symbol)
        characters += (static_cast<unsigned char>(c) & 0xC0) == 0x80 ? 0 : 1;
    if (characters == 0 || characters > MaxSymbolLength)
        return false;
    double value = 0;
    for (int i : {6, 7}) {
        if (!fields[i].isEmpty() && !readPlainDecimal(fields[i], &value))
            return false;
    }
    return true;
}

TickField *TickRecord::field(QStringView key, int *index)
{
    static const struct
    {
        QLatin1String key;
        TickField TickRecord::*member;
    } fields[] = {
        {QLatin1String("type"), &TickRecord::type}, {QLatin1String("symbol"), &TickRecord::symbol},
        {QLatin1String("ltd"), &TickRecord::ltd},   {QLatin1String("ltt"), &TickRecord::ltt},
        {QLatin1String("ltp"), &TickRecord::ltp},   {QLatin1String("ltq"), &TickRecord::ltq},
        {QLatin1String("oi"), &TickRecord::oi},     {QLatin1String("vol"), &TickRecord::vol},
    };
    for (int i = 0; i < FieldCount; ++i) {
        if (key == fields[i].key) {
            if (index)
                *index = i;
            return &(this->*fields[i].member);
        }
    }
    return nullptr;
}

bool appendTickLine(const TickRecord &record, QByteArray &out)
{
    if (record.symbol.kind != TickField::Kind::Text)
        return false;
    const QStringView symbol = record.symbol.text.trimmed();
    if (symbol.isEmpty() || symbol.size() > MaxSymbolLength)
        return false;
    double price = 0;
    if ((record.ltp.kind != TickField::Kind::Number && record.ltp.kind != TickField::Kind::Text)
        || !readPlainDecimal(record.ltp.text, &price) || !(price > 0))
        return false;
    const QStringView type = textOf(record.type);
    const QStringView date = textOf(record.ltd);
    const QStringView time = textOf(record.ltt);
    if (forbiddenOrComma(symbol) || forbiddenOrComma(type) || forbiddenOrComma(date) || forbiddenOrComma(time)
        || !QuoteStamp::isTickMoment(date, time))
        return false;
    qint64 quantity = 0, openInterest = 0, volume = 0;
    if (!readCount(record.ltq, &quantity) || !readCount(record.oi, &openInterest) || !readCount(record.vol, &volume))
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
    appendCount(out, quantity);
    out.append(',');
    appendCount(out, openInterest);
    out.append(',');
    appendCount(out, volume);
    out.append('\n');
    return true;
}

bool appendTickLine(const QJsonObject &record, QByteArray &out)
{
    // The texts the views point into live here until the line is built.
    QString texts[TickRecord::FieldCount];
    TickRecord fields;
    for (auto it = record.constBegin(); it != record.constEnd(); ++it) {
        int index = 0;
        TickField *field = fields.field(it.key(), &index);
        if (!field)
            continue;
        const QJsonValue value = it.value();
        QString &text = texts[index];
        if (value.isString()) {
            text = value.toString();
            field->kind = TickField::Kind::Text;
        } else if (value.isDouble()) {
            // Not finite never comes out of a JSON text; the empty text reads as no number.
            text = formatPrice(value.toDouble());
            field->kind = TickField::Kind::Number;
        } else {
            field->kind = value.isNull() ? TickField::Kind::Null : TickField::Kind::Other;
        }
        field->text = text;
    }
    return appendTickLine(fields, out);
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
