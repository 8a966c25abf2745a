#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

class SecondSums;

// The import file text for queued tick lines: lines that are empty, mention
// "Failed" (any case), have fewer than 8 fields, carry no price above 0 or a date
// or time that is no real moment are dropped; fields past the eighth are cut, every field trimmed, the symbol renamed
// through symbolMap, the price and quantity rewritten in the tick line's form.
// With sums, a tick's line carries the summed quantity of its symbol's second so
// far, and of the ticks of one second only the last one's line is written (in the
// place of the first); late ticks and ticks whose date or time AmiBroker cannot
// read pass as they are. *kept (when given) receives the number of lines written.
QByteArray liveImportLines(const QByteArray &pending, const QHash<QString, QString> &symbolMap, int *kept = nullptr,
                           SecondSums *sums = nullptr);
