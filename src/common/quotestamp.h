#pragma once

#include <QLatin1String>
#include <QStringView>
#include <QtGlobal>

// How AmiBroker's ASCII import reads the date and time fields of a quote, and
// the one number both become: yyyymmddhhmmss. Two lines with the same stamp are
// the same quote to AmiBroker (a later one overwrites an earlier one), which is
// what the live import needs to know to add up a second's volume, and what
// AmiBroker's stand-in keys its quote table by.
namespace QuoteStamp {

enum class DateOrder { YearMonthDay, DayMonthYear, MonthDayYear };

// The time part of a quote without a time (a daily bar): after every time of its day.
inline constexpr int NoTime = 240000;

// yyyymmdd for a date in the given order, or -1 when it is no valid date. The
// parts are either run together (20240131, 240131) or split by one of / \ - .
// (2024-01-31, 31/1/2024). Two-digit years are 1950 to 2049.
int readDate(QStringView text, DateOrder order);
int readDate(QLatin1String text, DateOrder order);

// hhmmss for HH:MM:SS, HH:MM, HHMMSS or HHMM (hours 0-23, minutes and seconds
// 0-59; one-digit parts are allowed where colons split them), or -1.
int readTime(QStringView text);
int readTime(QLatin1String text);

// The stamp of a date and time read as above; -1 when either cannot be read.
// An empty time with allowNoTime gives the daily bar's NoTime.
qint64 stamp(QStringView date, QStringView time, DateOrder order = DateOrder::YearMonthDay, bool allowNoTime = false);
qint64 stamp(QLatin1String date, QLatin1String time, DateOrder order = DateOrder::YearMonthDay,
             bool allowNoTime = false);

// Whether a tick's date and time name a real moment in a form a data server
// sends: the date read year first or day first, the time with an optional
// fraction of a second after its seconds (09:15:01.250, 091501.5). "31:63:00",
// "2026-13-45", an empty text or a word is none: AmiBroker would file such a
// tick as a corrupt bar.
bool isTickMoment(QStringView date, QStringView time);
// The same for bytes (a byte past ASCII is no digit, separator or blank).
bool isTickMoment(QLatin1String date, QLatin1String time);

inline int datePart(qint64 stamp) { return int(stamp / 1000000); }
inline int timePart(qint64 stamp) { return int(stamp % 1000000); }

} // namespace QuoteStamp
