#pragma once

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

class liveDataUpdator;

// "AmiBroker's view equals the stream": what AmiBroker should hold after a stream
// of ticks (per symbol and second, the last tick's price and open interest and
// the summed quantity of all its ticks), and what its stand-in holds (quotes.txt).

struct ViewQuote
{
    double price = 0;
    qint64 quantity = 0;
    double openInterest = 0;
};

// Keyed by symbol and QuoteStamp.
using QuoteKey = QPair<QString, qint64>;
using QuoteView = QMap<QuoteKey, ViewQuote>;

// Tick lines ("type,symbol,date,time,price,quantity,oi,vol"), symbols renamed
// through map. Lines AmiBroker could not take (fewer than 8 fields, a date or time
// it cannot read, no price above 0, "Failed") are left out.
QuoteView streamView(const QByteArray &tickLines, const QHash<QString, QString> &map = {});
// Adds tick lines to a view, as streamView does.
void addTicks(QuoteView &view, const QByteArray &tickLines, const QHash<QString, QString> &map = {});

// The stand-in's quote table text (quotes.txt): close, volume and open interest.
QuoteView quotesView(const QByteArray &quotesText);
// What the stand-in holds in the test's install root now.
QuoteView brokerView();

// Quotes that differ, are missing or extra; the first few described in *samples.
int viewDifferences(const QuoteView &want, const QuoteView &got, QStringList *samples = nullptr);

// The line-level check that still holds once seconds are summed: every line
// AmiBroker was sent is a state the stream passed through (a tick's line with the
// sum of its second so far, for a stream in time order). The lines that are not.
int linesOffTheStream(const QByteArray &importedLines, const QByteArray &tickLines);

// The import format definitions we ship, copied into the install root (the
// stand-in reads them, as AmiBroker does).
bool installFormatDefinitions();

// Returns once what AmiBroker's thread has queued now (a cycle under way) is done.
void waitForAmiBrokersThread(liveDataUpdator *u);
