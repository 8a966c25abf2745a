#pragma once

#include <QByteArray>
#include <QString>

#include <cstring>

class QJsonArray;
class QJsonObject;
class QJsonValue;

// The tick line: "type,symbol,ltd,ltt,ltp,ltq,oi,vol\n", one per kept record of a
// "batch" frame. The live import formats prices and quantities with the same
// functions, so both sides write the same text for the same number.

// Shortest decimal text that reads back to the same double, never in exponent
// form: 24567.85, 123456.7, 1234567, 5.
QString formatPrice(double value);

// Whether the text between begin and end is ASCII only: then its bytes are its
// characters, and byte rules (blanks, case) are the characters' rules.
inline bool isAscii(const char *begin, const char *end)
{
    for (const char *p = begin; p < end; ++p) {
        if (static_cast<unsigned char>(*p) >= 0x80)
            return false;
    }
    return true;
}

// Whether the text between begin and end mentions "Failed" in any case (how the
// data server answers when it has no data): read as bytes, and as characters when
// it holds any past ASCII.
bool mentionsFailed(const char *begin, const char *end);

// Calls fn(begin, end) for every line of text (without its line feed), in order.
template<typename Fn>
void forEachTextLine(const QByteArray &text, Fn &&fn)
{
    const char *p = text.constData();
    const char *const end = p + text.size();
    while (p < end) {
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        const char *lineEnd = nl ? nl : end;
        fn(p, lineEnd);
        p = nl ? nl + 1 : end;
    }
}

// Splits the line between begin and end at commas into its first max fields, as
// views into the line (not trimmed); returns how many there are, at most max.
int splitFields(const char *begin, const char *end, QLatin1String *fields, int max);
void appendPrice(QByteArray &out, double value);

// Nearest integer, ties towards positive infinity (2.5 -> 3, -2.5 -> -2).
// Non-finite input gives 0; values beyond the qint64 range are clamped.
qint64 roundHalfUp(double value);

// A JSON number, or a string holding one. False for anything else, and for
// non-finite values ("inf", "nan"), which no price or quantity can be.
bool readTickNumber(const QJsonValue &value, double *out);

// Appends the tick line of one record; false (nothing appended) when the record
// is dropped: empty symbol, price missing, not numeric or not above 0, a date or
// time that is no real moment, or a text field holding a comma or line break
// that would break the line apart.
bool appendTickLine(const QJsonObject &record, QByteArray &out);

// The tick lines of a "records" array, in array order; non-objects are dropped.
// *lines (when given) receives how many were kept.
QByteArray tickLinesFromRecords(const QJsonArray &records, int *lines = nullptr);
