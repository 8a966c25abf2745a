#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

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

// ASCII white space, as QByteArray::trimmed() takes it.
inline bool isBlankByte(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Moves *begin and *end past the blanks at either end of the text between them.
inline void trimBlanks(const char **begin, const char **end)
{
    while (*begin < *end && isBlankByte(**begin))
        ++*begin;
    while (*end > *begin && isBlankByte((*end)[-1]))
        --*end;
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

// The record rules' limits: AmiBroker keeps symbols short and stores prices as
// single-precision floats, and a tick line must stay one short line.
inline constexpr int MaxSymbolLength = 64;
inline constexpr double MaxTickNumber = 1e15;

// Characters no tick field may hold: C0 controls, DEL, and the line and
// paragraph separators (NEL, U+2028, U+2029). A NUL ends a line for a C reader,
// Ctrl-Z ends a text-mode read, the separators end a line for some readers.
inline bool isForbiddenTickCharacter(uint c)
{
    return c < 0x20 || c == 0x7F || c == 0x85 || c == 0x2028 || c == 0x2029;
}
bool holdsForbiddenTickCharacter(QStringView text);
// The same for UTF-8 text.
bool holdsForbiddenTickCharacter(const char *begin, const char *end);

// A number as C reads it in the C locale ("812.35", "-2", "+7", "1e3"; one leading
// sign at most, nothing before or after it), finite; its value in *out. The one
// reading of a number field that the live import and AmiBroker's stand-in share.
bool readDecimal(const char *begin, const char *end, double *out);
inline bool readDecimal(QLatin1String text, double *out)
{
    return readDecimal(text.data(), text.data() + text.size(), out);
}

// A plain decimal number ("812.35", "-2", "+7", ".5"; no exponent, no blanks, no
// "inf") whose value lies within +-MaxTickNumber; its value in *out.
bool readPlainDecimal(QStringView text, double *out);
bool readPlainDecimal(QLatin1String text, double *out);

// The same rules for a tick line read back from the queue (UTF-8 fields, trimmed):
// no text field holds a comma or a forbidden character, the symbol has 1 to
// MaxSymbolLength characters, open interest and volume (taken over as written)
// are empty or plain decimals; the price and quantity, which are written anew,
// are checked by the reader against MaxTickNumber.
bool tickLineFieldsAllowed(const QLatin1String *fields, int count);

// One field of a tick record as the frame holds it: a string's characters, or a
// number's text as written.
struct TickField
{
    enum class Kind { Missing, Null, Text, Number, Other };
    Kind kind = Kind::Missing;
    QStringView text;
};

// The fields of a record that make its tick line.
struct TickRecord
{
    static constexpr int FieldCount = 8;
    TickField type, symbol, ltd, ltt, ltp, ltq, oi, vol;
    // The field for a record key (and its place among the eight), or null for a
    // key the line does not use.
    TickField *field(QStringView key, int *index = nullptr);
};

// Appends the tick line of one record; false (nothing appended) when the record
// is dropped: a symbol empty or longer than MaxSymbolLength, a price that is not a
// plain decimal above 0, a quantity, open interest or volume that is present
// (not null, not "") but no plain decimal, a date or time that is no real moment,
// or a text field holding a comma or a forbidden character.
bool appendTickLine(const TickRecord &record, QByteArray &out);

// The same rules for a record held as a JSON object, whose numbers are taken as
// their shortest plain decimal text.
bool appendTickLine(const QJsonObject &record, QByteArray &out);

// The tick lines of a "records" array, in array order; non-objects are dropped.
// *lines (when given) receives how many were kept.
QByteArray tickLinesFromRecords(const QJsonArray &records, int *lines = nullptr);
