#pragma once

#include "symbols/mappingstore.h"

#include <QDate>
#include <QString>
#include <QVector>

// How the main window composes backfill addresses and reads them back for its
// captions. Pure functions, so the texts the server and the user see can be
// checked without a window or a network.
namespace BackfillUrls {

// Progress bar style sheets: green for intraday jobs and the completed run,
// blue for one-year end-of-day jobs.
extern const char IntradayStyle[];
extern const char EodStyle[];

// The server's name for a selected symbol (mapping applied new -> old), with
// every "&" sent as "%26" so it does not split the query. Nothing else is encoded.
QString symbolText(const QString &symbol, const QVector<MappingEntry> &entries);

// The slow path when the user asked for it and the server offers one.
QString chosenPath(const QString &backfillPath, const QString &backfillPathSlow, bool slowWanted);

// scheme://path?uid=<id>&hash=<key>&d=<days>&send=<symbol text>
QString intradayUrl(const QString &scheme, const QString &path, const QString &clientId,
                    const QString &secureKey, const QString &days, const QString &symbolText);

// scheme://eod1yPath?uid=<id>&hash=<key>&send=<symbol text> (no day count).
QString eod1yUrl(const QString &scheme, const QString &eod1yPath, const QString &clientId,
                 const QString &secureKey, const QString &symbolText);

// A queued job is a one-year end-of-day job when the server offers that path and
// the URL contains it.
bool isEodJob(const QString &url, const QString &eod1yPath);

// The symbols a URL asks for: after the last "send=", up to the next "&", with
// "%26" turned back into "&". Empty without "send=".
QString sentSymbols(const QString &url);

// "backfill_<ID>.zip" for the client identifier (white space simplified, upper case).
QString jobFileName(const QString &clientId);

// Bar value for a downloader progress text such as " 42.5% ": rounded half up,
// clamped to 0..100; 0 when it is not a number.
int progressValue(const QString &progress);

// "(<symbols>) <speed>", or just the speed when there are no symbols; an empty
// speed shows as "--".
QString progressCaption(const QString &symbols, const QString &speed);

// For the end-of-day dialog job: the number before "%" truncated, when it is one.
bool dialogProgressValue(const QString &progress, int *value);

// Days for a run started by adding symbols: the box's text when it is a positive
// number, else 5.
int autoDays(const QString &text);

// The end-of-day archive address for a dialog job. With "://" in oneDayBackfillPath
// it is that address with "/1/" turned into "/e/" followed by the archive name;
// otherwise scheme://host[:port] of the chosen path, "/backfillS21/e/", the date,
// "/", oneDayBackfillPath, "/", the archive name.
QString eodArchiveUrl(const QString &chosenPath, const QString &oneDayBackfillPath,
                      const QString &serverName, const QDate &today);

} // namespace BackfillUrls
