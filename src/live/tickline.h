#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

class QJsonArray;
class QJsonObject;
class QJsonValue;

// The tick line: "type,symbol,ltd,ltt,ltp,ltq,oi,vol\n", one per kept record of a
// "batch" frame. The live import formats prices and quantities with the same
// functions, so both sides write the same text for the same number.

// Shortest decimal text that reads back to the same double, never in exponent
// form: 24567.85, 123456.7, 1234567, 5.
QString formatPrice(double value);
void appendPrice(QByteArray &out, double value);

// Nearest integer, ties towards positive infinity (2.5 -> 3, -2.5 -> -2).
// Non-finite input gives 0; values beyond the qint64 range are clamped.
qint64 roundHalfUp(double value);

// A JSON number, or a string holding one. False for anything else, and for
// non-finite values ("inf", "nan"), which no price or quantity can be.
bool readTickNumber(const QJsonValue &value, double *out);

// Whether a tick's last trade date and time name a real moment, in the forms
// data servers send: dates year first or day first, with "-", "/" or "." between
// the parts or none (20240131, 2024-01-31, 31/01/2024, 31-Jan-2024), times with
// or without ":" and seconds, with or without a fraction (09:15:01, 9:15,
// 091501, 09:15:01.250). "31:63:00", "2026-13-45", an empty text or a word is
// none: AmiBroker would file such a tick as a corrupt bar.
bool isTickDate(QStringView text);
bool isTickTime(QStringView text);

// Appends the tick line of one record; false (nothing appended) when the record
// is dropped: empty symbol, price missing, not numeric or not above 0, a date or
// time that is no real moment, or a text field holding a comma or line break
// that would break the line apart.
bool appendTickLine(const QJsonObject &record, QByteArray &out);

// The tick lines of a "records" array, in array order; non-objects are dropped.
QByteArray tickLinesFromRecords(const QJsonArray &records);
