#include "common/quotestamp.h"

#include <QDate>

namespace QuoteStamp {

namespace {

constexpr int MaxParts = 3;

bool isDateSeparator(char16_t c)
{
    return c == u'/' || c == u'\\' || c == u'-' || c == u'.';
}

bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
}

// The characters of a text, whichever its encoding, as UTF-16 code units.
template<typename Text>
char16_t unitAt(const Text &text, int i);
template<>
char16_t unitAt(const QStringView &text, int i)
{
    return text.at(i).unicode();
}
template<>
char16_t unitAt(const QLatin1String &text, int i)
{
    return char16_t(static_cast<unsigned char>(text.data()[i]));
}

// Splits text (blanks around it ignored) into digit runs at the separators that
// accept() names: each run 1 to maxDigits digits long, nothing else allowed.
// Returns the number of runs, or -1 for anything else. lengths[i] is the digit
// count of run i.
template<typename Text, typename Accept>
int digitRuns(const Text &text, Accept accept, int maxDigits, int *values, int *lengths)
{
    int begin = 0;
    int end = int(text.size());
    while (begin < end && isBlank(unitAt(text, begin)))
        ++begin;
    while (end > begin && isBlank(unitAt(text, end - 1)))
        --end;
    int count = 0;
    int value = 0;
    int length = 0;
    for (int i = begin; i < end; ++i) {
        const char16_t c = unitAt(text, i);
        if (c >= u'0' && c <= u'9') {
            if (++length > maxDigits)
                return -1;
            value = value * 10 + (c - u'0');
        } else if (accept(c)) {
            if (length == 0 || count == MaxParts)
                return -1;
            values[count] = value;
            lengths[count] = length;
            ++count;
            value = 0;
            length = 0;
        } else {
            return -1;
        }
    }
    if (length == 0 || count == MaxParts)
        return -1;
    values[count] = value;
    lengths[count] = length;
    return count + 1;
}

int fullYear(int year, int digits)
{
    if (digits == 4)
        return year;
    if (digits == 2)
        return year < 50 ? 2000 + year : 1900 + year;
    return -1;
}

// Cuts a run of digits into fields of the given widths, left to right.
void cut(int value, int digits, const int *widths, int count, int *out, int *outDigits)
{
    int divisor = 1;
    for (int i = 0; i < digits; ++i)
        divisor *= 10;
    for (int i = 0; i < count; ++i) {
        for (int k = 0; k < widths[i]; ++k)
            divisor /= 10;
        out[i] = value / divisor;
        value %= divisor;
        outDigits[i] = widths[i];
    }
}

template<typename Text>
int dateOf(const Text &text, DateOrder order)
{
    int values[MaxParts];
    int lengths[MaxParts];
    const int runs = digitRuns(text, isDateSeparator, 8, values, lengths);
    int parts[MaxParts];
    int digits[MaxParts];
    const int yearIndex = order == DateOrder::YearMonthDay ? 0 : 2;
    if (runs == 3) {
        for (int i = 0; i < 3; ++i) {
            parts[i] = values[i];
            digits[i] = lengths[i];
        }
        for (int i = 0; i < 3; ++i) {
            if (i != yearIndex && digits[i] > 2)
                return -1;
        }
    } else if (runs == 1 && (lengths[0] == 8 || lengths[0] == 6)) {
        const int yearWidth = lengths[0] - 4;
        const int widths[3] = {yearIndex == 0 ? yearWidth : 2, 2, yearIndex == 2 ? yearWidth : 2};
        cut(values[0], lengths[0], widths, 3, parts, digits);
    } else {
        return -1;
    }

    const int year = fullYear(parts[yearIndex], digits[yearIndex]);
    int month = 0;
    int day = 0;
    switch (order) {
    case DateOrder::YearMonthDay:
        month = parts[1];
        day = parts[2];
        break;
    case DateOrder::DayMonthYear:
        day = parts[0];
        month = parts[1];
        break;
    case DateOrder::MonthDayYear:
        month = parts[0];
        day = parts[1];
        break;
    }
    if (year < 0 || !QDate::isValid(year, month, day))
        return -1;
    return (year * 100 + month) * 100 + day;
}

template<typename Text>
int timeOf(const Text &text)
{
    int values[MaxParts];
    int lengths[MaxParts];
    const int runs = digitRuns(text, [](char16_t c) { return c == u':'; }, 6, values, lengths);
    int parts[MaxParts] = {0, 0, 0};
    int digits[MaxParts];
    if (runs == 2 || runs == 3) {
        for (int i = 0; i < runs; ++i) {
            if (lengths[i] > 2)
                return -1;
            parts[i] = values[i];
        }
    } else if (runs == 1 && (lengths[0] == 6 || lengths[0] == 4)) {
        const int widths[3] = {2, 2, 2};
        cut(values[0], lengths[0], widths, lengths[0] / 2, parts, digits);
    } else {
        return -1;
    }
    if (parts[0] > 23 || parts[1] > 59 || parts[2] > 59)
        return -1;
    return (parts[0] * 100 + parts[1]) * 100 + parts[2];
}

} // namespace

int readDate(QStringView text, DateOrder order)
{
    return dateOf(text, order);
}

int readDate(QLatin1String text, DateOrder order)
{
    return dateOf(text, order);
}

int readTime(QStringView text)
{
    return timeOf(text);
}

int readTime(QLatin1String text)
{
    return timeOf(text);
}

namespace {

// Text without the white space around it: any Unicode space for characters, ASCII
// blanks for bytes (a byte past ASCII is part of a UTF-8 sequence, not a space).
QStringView trimmedText(QStringView text)
{
    return text.trimmed();
}

QLatin1String trimmedText(QLatin1String text)
{
    int begin = 0;
    int end = text.size();
    while (begin < end && isBlank(unitAt(text, begin)))
        ++begin;
    while (end > begin && isBlank(unitAt(text, end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

template<typename Text>
bool tickMomentOf(Text date, Text time)
{
    // Wide enough for any market's history, narrow enough to catch a garbled field
    // (20241301 read day first is a day of the year 1301).
    auto plausible = [](int day) { return day >= 19000101 && day < 30000101; };
    if (!plausible(dateOf(date, DateOrder::YearMonthDay)) && !plausible(dateOf(date, DateOrder::DayMonthYear)))
        return false;
    Text clock = trimmedText(time);
    int dot = -1;
    for (int i = 0; i < int(clock.size()) && dot < 0; ++i) {
        if (unitAt(clock, i) == u'.')
            dot = i;
    }
    if (dot >= 0) {
        const int fraction = int(clock.size()) - dot - 1;
        if (fraction < 1 || fraction > 9)
            return false;
        for (int i = dot + 1; i < int(clock.size()); ++i) {
            const char16_t c = unitAt(clock, i);
            if (c < u'0' || c > u'9')
                return false;
        }
        clock = clock.left(dot);
        int colons = 0;
        for (int i = 0; i < int(clock.size()); ++i)
            colons += unitAt(clock, i) == u':';
        // A fraction belongs to a second: "09:15.5" names none.
        if (colons != 2 && !(clock.size() == 6 && colons == 0))
            return false;
    }
    return timeOf(clock) >= 0;
}

template<typename Text>
qint64 stampOf(Text date, Text time, DateOrder order, bool allowNoTime)
{
    const int day = dateOf(date, order);
    if (day < 0)
        return -1;
    const int clock = allowNoTime && trimmedText(time).isEmpty() ? NoTime : timeOf(time);
    if (clock < 0)
        return -1;
    return qint64(day) * 1000000 + clock;
}

} // namespace

bool isTickMoment(QStringView date, QStringView time)
{
    return tickMomentOf(date, time);
}

bool isTickMoment(QLatin1String date, QLatin1String time)
{
    return tickMomentOf(date, time);
}

qint64 stamp(QStringView date, QStringView time, DateOrder order, bool allowNoTime)
{
    return stampOf(date, time, order, allowNoTime);
}

qint64 stamp(QLatin1String date, QLatin1String time, DateOrder order, bool allowNoTime)
{
    return stampOf(date, time, order, allowNoTime);
}

} // namespace QuoteStamp
