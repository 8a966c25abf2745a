#pragma once

#include <QDate>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

class HttpServer;
class HttpResponder;
struct HttpRequest;

// How the backfill routes answer, to exercise the downloader's failure paths.
enum class BackfillAnswer {
    Normal,       // a zip of generated bars
    Trickle,      // the same zip, a few bytes at a time (see setTrickle)
    ServerError,  // HTTP 500
    HtmlPage,     // status 200 with an HTML error page instead of a zip
    HtmlInZip,    // a zip whose files hold an HTML page
    NoData,       // a zip whose files hold "No data"
    Truncated,    // a zip cut short at the source (served whole at its short length)
    CutTransfer,  // the full length announced, half of it sent, then the connection dropped
    NoLength,     // the zip without a Content-Length (the connection close ends it)
    ZipSlip,      // a zip with one good file and an entry "../<name>"
    AbsolutePath, // a zip with one good file and an entry at an absolute path
    Symlink,      // a zip with a symbolic link entry pointing outside
    ZipBomb,      // a small zip of zeros that unpacks to the bomb size (setBombSize)
    LyingZip,     // the same, its headers declaring a kilobyte per entry
    TrailingLine, // the zip and then a line feed, as a server script that echoes one
    Stall         // never answers
};

// The reference server's backfill archives: intraday bars, one year of daily bars,
// and the end-of-day feed archives, all generated on request as zips of
// comma-separated text files. Counts requests and the bar lines served per symbol.
//
// Intraday file lines: Date,Ticker,Time,Open,High,Low,Close,Volume,OpenInt
//   (2024-01-31,NIFTY-I,09:15:00,21650.25,21655.10,21648.00,21652.40,1200,56000)
// End-of-day file lines: Date,Ticker,Open,High,Low,Close,Volume,OpenInt
class FeedSimBackfill : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FeedSimBackfill)
public:
    static constexpr char IntradayRoute[] = "/backfill/intraday";
    static constexpr char SlowRoute[] = "/backfill/slow";
    static constexpr char Eod1yRoute[] = "/backfill/eod1y";
    static constexpr char EodArchiveRoute[] = "/backfillS21/e/";
    static constexpr int BarsPerDay = 375; // 09:15 to 15:29
    static constexpr int MaxDays = 400;
    static constexpr char SlipName[] = "feedsim_slip.txt";

    // Registers the routes on the server (which must outlive this object).
    explicit FeedSimBackfill(HttpServer *server, QObject *parent = nullptr);

    void setAnswer(BackfillAnswer answer) { m_answer = answer; }
    BackfillAnswer answer() const { return m_answer; }
    // The next n requests fail with HTTP 500, then the chosen answer resumes.
    void failNext(int n) { m_failNext = n; }
    // Trickle pace: bytes per step and the pause between steps.
    void setTrickle(int bytesPerStep, int intervalMs);
    // Last trading day of generated data; today when not set.
    void setEndDate(const QDate &date) { m_endDate = date; }
    QDate endDate() const;
    // What the ZipBomb and LyingZip answers unpack to, in entries of at most 16 MiB.
    void setBombSize(qint64 bytes) { m_bombBytes = bytes; }
    // Where the AbsolutePath answer's entry points (an absolute path).
    void setAbsoluteTarget(const QString &path) { m_absoluteTarget = path; }
    QString absoluteTarget() const { return m_absoluteTarget; }

    int requestCount() const { return m_requests; }
    int linesServed(const QString &symbol) const { return m_lines.value(symbol); }
    QHash<QString, int> linesServed() const { return m_lines; }
    void resetCounts();

    // Generated content, deterministic for a symbol and dates.
    static QByteArray intradayFile(const QString &symbol, int days, const QDate &endDate);
    static QByteArray dailyFile(const QString &symbol, const QDate &from, const QDate &to);
    // Symbols in a feed's end-of-day archive ("CASH", "FUTURE", "COMM", "SPOT").
    static QStringList feedSymbols(const QString &feed);
    // Trading days (Monday to Friday) ending at endDate, oldest first.
    static QList<QDate> tradingDays(int count, const QDate &endDate);
    // Name of a symbol's file inside an archive.
    static QString entryName(const QString &symbol);

signals:
    // Every backfill request: its path and its query as sent ("uid=...&d=1&send=A").
    void backfillRequested(const QString &path, const QString &query);

private:
    struct File
    {
        QString symbol;
        QByteArray content;
    };
    void handleIntraday(const HttpRequest &request, HttpResponder *responder);
    void handleEod1y(const HttpRequest &request, HttpResponder *responder);
    void handleEodArchive(const HttpRequest &request, HttpResponder *responder);
    // Answers with the files in the current mode.
    void deliver(HttpResponder *responder, const QVector<File> &files);
    void countLines(const QVector<File> &files);
    bool takeFailure(HttpResponder *responder);

    BackfillAnswer m_answer = BackfillAnswer::Normal;
    int m_failNext = 0;
    int m_trickleBytes = 256;
    int m_trickleIntervalMs = 20;
    QDate m_endDate;
    QString m_absoluteTarget = QStringLiteral("/tmp/feedsim_absolute.txt");
    qint64 m_bombBytes = qint64(64) * 1024 * 1024;
    int m_requests = 0;
    QHash<QString, int> m_lines;
};
