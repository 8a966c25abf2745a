#include "brokerstandin.h"

#include "common/quotestamp.h"
#include "common/installfiles.h"
#include "common/linereader.h"
#include "live/tickline.h"
#include "platform/installroot.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QSaveFile>
#include <QSet>
#include <QThread>
#include <QVector>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

Q_LOGGING_CATEGORY(lcBroker, "quillmark.broker", QtInfoMsg)

namespace {

using QuoteStamp::DateOrder;

// Calls may come from more than one object (a test's own and the updater's), and
// from more than one thread; the files and the quote table are shared by all.
QMutex g_journalMutex;
QMutex g_observerMutex;
BrokerStandIn::CallObserver g_observer;
std::atomic<bool> g_quoteTableDeferred{false};
std::atomic<qint64> g_busyNs{0};

// How the stand-in misbehaves, shared by every object and thread, as AmiBroker's
// one process is shared by every client.
struct StandInState
{
    QMutex mutex;
    QElapsedTimer clock;
    qint64 busyUntilMs = -1; // on clock
    int slowMs = 0;
    bool closed = false;
    bool failing = false;
    // The control file as last read: its path (the install root may change), and
    // whether it existed, its size and time.
    QString seenPath;
    bool seenExists = false;
    qint64 seenSize = -1;
    QDateTime seenModified;
};
StandInState &standInState()
{
    static StandInState b;
    if (!b.clock.isValid())
        b.clock.start();
    return b;
}
// Bumped by a crash or a close: objects of an earlier generation are dead.
std::atomic<quint64> g_generation{1};
constexpr quint64 DeadGeneration = 0;

// Where the C library offers no per-thread CPU clock, nothing is counted.
qint64 threadCpuNs()
{
#ifdef CLOCK_THREAD_CPUTIME_ID
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0)
        return 0;
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
#else
    return 0;
#endif
}

bool appendToFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    return file.write(bytes) == bytes.size();
}

enum class Field { Skip, Ticker, Date, Time, Open, High, Low, Close, Volume, OpenInt };

struct FormatDefinition
{
    QVector<Field> fields;
    DateOrder dateOrder = DateOrder::YearMonthDay;
    char separator = ',';
    int skipLines = 0;
    bool tickMode = false;
    bool hasTime = false;
    int fieldsNeeded = 0; // up to the last field that is not passed over
};

Field fieldNamed(const QByteArray &name, DateOrder *order)
{
    static const struct
    {
        const char *name;
        Field field;
    } names[] = {{"ticker", Field::Ticker}, {"time", Field::Time},     {"open", Field::Open},
                 {"high", Field::High},     {"low", Field::Low},       {"close", Field::Close},
                 {"volume", Field::Volume}, {"openint", Field::OpenInt}};
    const QByteArray lower = name.toLower();
    for (const auto &entry : names) {
        if (lower == entry.name)
            return entry.field;
    }
    if (lower == "date_ymd" || lower == "date_dmy" || lower == "date_mdy") {
        *order = lower == "date_ymd" ? DateOrder::YearMonthDay
                 : lower == "date_dmy" ? DateOrder::DayMonthYear
                                       : DateOrder::MonthDayYear;
        return Field::Date;
    }
    return Field::Skip;
}

FormatDefinition readFormat(const QByteArray &text)
{
    FormatDefinition format;
    for (const QByteArray &raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (!line.startsWith('$'))
            continue;
        int keyEnd = 0;
        while (keyEnd < line.size() && !std::isspace(static_cast<unsigned char>(line.at(keyEnd))))
            ++keyEnd;
        const QByteArray keyword = line.left(keyEnd).toUpper();
        const QByteArray value = line.mid(keyEnd).trimmed();
        if (keyword == "$FORMAT") {
            format.fields.clear();
            for (const QByteArray &name : value.split(','))
                format.fields.append(fieldNamed(name.trimmed(), &format.dateOrder));
        } else if (keyword == "$SEPARATOR") {
            if (value == "\\t" || value.toLower() == "tab")
                format.separator = '\t';
            else
                format.separator = value.isEmpty() ? ' ' : value.at(0);
        } else if (keyword == "$SKIPLINES") {
            format.skipLines = qMax(0, value.toInt());
        } else if (keyword == "$TICKMODE") {
            format.tickMode = value.toInt() != 0;
        }
    }
    for (int i = 0; i < format.fields.size(); ++i) {
        if (format.fields.at(i) != Field::Skip)
            format.fieldsNeeded = i + 1;
        if (format.fields.at(i) == Field::Time)
            format.hasTime = true;
    }
    return format;
}

struct Quote
{
    qint64 stamp = 0;
    double open = 0;
    double high = 0;
    double low = 0;
    double close = 0;
    double volume = 0;
    double openInt = 0;
};

bool readNumber(const char *b, const char *e, bool emptyIsZero, double *out)
{
    if (b == e) {
        *out = 0;
        return emptyIsZero;
    }
    return readDecimal(b, e, out);
}

bool readNumber(const QByteArray &text, bool emptyIsZero, double *out)
{
    return readNumber(text.constData(), text.constData() + text.size(), emptyIsZero, out);
}

// One data line under the format; the reason it cannot be read, or nullptr.
// *ticker points into the line.
const char *readQuote(const FormatDefinition &format, const char *b, const char *e, QLatin1String *ticker,
                      Quote *quote)
{
    if (format.fieldsNeeded == 0)
        return "too few fields";
    QLatin1String date;
    QLatin1String time;
    bool hasOpen = false;
    bool hasHigh = false;
    bool hasLow = false;
    *quote = Quote();
    *ticker = QLatin1String();
    const char *p = b;
    for (int i = 0; i < format.fieldsNeeded; ++i) {
        if (p > e)
            return "too few fields";
        const char *fieldEnd = static_cast<const char *>(std::memchr(p, format.separator, size_t(e - p)));
        if (!fieldEnd)
            fieldEnd = e;
        const char *fb = p;
        const char *fe = fieldEnd;
        p = fieldEnd + 1;
        trimBlanks(&fb, &fe);
        const QLatin1String part(fb, int(fe - fb));
        bool ok = true;
        switch (format.fields.at(i)) {
        case Field::Skip:
            break;
        case Field::Ticker:
            *ticker = part;
            break;
        case Field::Date:
            date = part;
            break;
        case Field::Time:
            time = part;
            break;
        case Field::Open:
            ok = readNumber(fb, fe, false, &quote->open);
            hasOpen = true;
            break;
        case Field::High:
            ok = readNumber(fb, fe, false, &quote->high);
            hasHigh = true;
            break;
        case Field::Low:
            ok = readNumber(fb, fe, false, &quote->low);
            hasLow = true;
            break;
        case Field::Close:
            ok = readNumber(fb, fe, false, &quote->close);
            break;
        case Field::Volume:
            ok = readNumber(fb, fe, true, &quote->volume);
            break;
        case Field::OpenInt:
            ok = readNumber(fb, fe, true, &quote->openInt);
            break;
        }
        if (!ok)
            return "bad number";
    }
    if (ticker->isEmpty())
        return "no ticker";
    const int day = QuoteStamp::readDate(date, format.dateOrder);
    if (day < 0)
        return "bad date";
    int clock = QuoteStamp::NoTime;
    if (format.hasTime) {
        clock = QuoteStamp::readTime(time);
        if (clock < 0)
            return "bad time";
    }
    quote->stamp = qint64(day) * 1000000 + clock;
    if (!hasOpen)
        quote->open = quote->close;
    if (!hasHigh)
        quote->high = quote->close;
    if (!hasLow)
        quote->low = quote->close;
    return nullptr;
}

void appendNumber(QByteArray &out, int value, int width)
{
    char digits[16];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value > 0 || n < width);
    while (n > 0)
        out.append(digits[--n]);
}

void appendQuoteLine(QByteArray &out, const QByteArray &ticker, const Quote &quote)
{
    const int day = QuoteStamp::datePart(quote.stamp);
    const int clock = QuoteStamp::timePart(quote.stamp);
    out.append(ticker);
    out.append(',');
    appendNumber(out, day / 10000, 4);
    out.append('-');
    appendNumber(out, day / 100 % 100, 2);
    out.append('-');
    appendNumber(out, day % 100, 2);
    out.append(',');
    if (clock != QuoteStamp::NoTime) {
        appendNumber(out, clock / 10000, 2);
        out.append(':');
        appendNumber(out, clock / 100 % 100, 2);
        out.append(':');
        appendNumber(out, clock % 100, 2);
    }
    for (const double value : {quote.open, quote.high, quote.low, quote.close, quote.volume, quote.openInt}) {
        out.append(',');
        appendPrice(out, value);
    }
    out.append('\n');
}

// What AmiBroker holds, kept in memory and in quotes.txt. Each symbol keeps the
// text of its lines, so a write re-forms only the symbols an import touched.
class QuoteTable
{
public:
    // Takes up the file at path when it is not the one last written here.
    void follow(const QString &path)
    {
        const QFileInfo info(path);
        if (path == m_path && info.exists() == m_exists
            && (!m_exists || (info.size() == m_size && info.lastModified() == m_modified)))
            return;
        m_symbols.clear();
        m_last = nullptr;
        m_path = path;
        m_exists = false;
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            load(file.readAll());
            remember(info);
        }
    }

    void startImport() { m_tickModeCleared.clear(); }

    void put(QLatin1String ticker, const Quote &quote, bool tickMode)
    {
        // Files run symbol by symbol: the symbol of the line before is the likely one.
        if (!m_last || ticker != QLatin1String(m_lastName)) {
            m_lastName = QByteArray(ticker.data(), ticker.size());
            m_last = &m_symbols[m_lastName];
        }
        SymbolQuotes &symbol = *m_last;
        symbol.dirty = true;
        m_changed = true;
        std::vector<Quote> &quotes = symbol.quotes;
        const auto byStamp = [](const Quote &a, const Quote &b) { return a.stamp < b.stamp; };
        if (tickMode) {
            if (!m_tickModeCleared.contains(m_lastName)) {
                m_tickModeCleared.insert(m_lastName);
                quotes.clear();
            }
            quotes.insert(std::upper_bound(quotes.begin(), quotes.end(), quote, byStamp), quote);
            return;
        }
        if (quotes.empty() || quotes.back().stamp < quote.stamp) {
            quotes.push_back(quote);
            return;
        }
        const auto range = std::equal_range(quotes.begin(), quotes.end(), quote, byStamp);
        if (range.first == range.second) {
            quotes.insert(range.first, quote);
            return;
        }
        *range.first = quote;
        quotes.erase(range.first + 1, range.second);
    }

    qint64 memoryBytes() const
    {
        qint64 bytes = 0;
        for (const auto &entry : m_symbols) {
            bytes += qint64(entry.second.quotes.capacity() * sizeof(Quote)) + entry.second.text.capacity()
                     + entry.first.capacity() + qint64(sizeof(entry));
        }
        return bytes;
    }

    bool save()
    {
        if (!m_changed && m_exists)
            return true;
        QByteArray all;
        for (auto &entry : m_symbols) {
            SymbolQuotes &symbol = entry.second;
            if (symbol.dirty) {
                symbol.text.clear();
                for (const Quote &quote : symbol.quotes)
                    appendQuoteLine(symbol.text, entry.first, quote);
                symbol.dirty = false;
            }
            all += symbol.text;
        }
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        QSaveFile file(m_path);
        if (!file.open(QIODevice::WriteOnly) || file.write(all) != all.size() || !file.commit())
            return false;
        m_changed = false;
        remember(QFileInfo(m_path));
        return true;
    }

private:
    struct SymbolQuotes
    {
        std::vector<Quote> quotes;
        QByteArray text;
        bool dirty = true;
    };

    void remember(const QFileInfo &info)
    {
        m_exists = info.exists();
        m_size = info.size();
        m_modified = info.lastModified();
    }

    void load(const QByteArray &text)
    {
        for (const QByteArray &line : text.split('\n')) {
            if (line.isEmpty())
                continue;
            const QList<QByteArray> parts = line.split(',');
            Quote quote;
            const qint64 stamp = parts.size() != 9 ? -1
                                                   : QuoteStamp::stamp(QString::fromUtf8(parts.at(1)),
                                                                       QString::fromUtf8(parts.at(2)),
                                                                       DateOrder::YearMonthDay, true);
            double *values[] = {&quote.open, &quote.high, &quote.low, &quote.close, &quote.volume, &quote.openInt};
            bool ok = stamp >= 0 && !parts.at(0).isEmpty();
            for (int i = 0; ok && i < 6; ++i)
                ok = readNumber(parts.at(3 + i), false, values[i]);
            if (!ok) {
                qCWarning(lcBroker) << "quote table line not understood:" << line;
                continue;
            }
            quote.stamp = stamp;
            put(QLatin1String(parts.at(0).constData(), parts.at(0).size()), quote, false);
        }
        // What was just read is what the file holds.
        m_changed = false;
        for (auto &entry : m_symbols)
            entry.second.dirty = true;
    }

    std::map<QByteArray, SymbolQuotes> m_symbols; // byte order of the names
    SymbolQuotes *m_last = nullptr;               // entries of a std::map stay where they are
    QByteArray m_lastName;
    QSet<QByteArray> m_tickModeCleared;
    QString m_path;
    bool m_exists = false;
    qint64 m_size = -1;
    QDateTime m_modified;
    bool m_changed = false;
};

QuoteTable &quoteTable()
{
    static QuoteTable table;
    return table;
}

} // namespace

BrokerStandIn::BrokerStandIn(QObject *parent)
    : QObject(parent)
{
    followControlFile();
    m_generation = canStart() ? g_generation.load() : DeadGeneration;
}

bool BrokerStandIn::parseCommand(const QByteArray &text, Command *command)
{
    const QList<QByteArray> words = text.simplified().toLower().split(' ');
    const QByteArray word = words.value(0);
    bool ok = true;
    const int value = words.size() > 1 ? words.at(1).toInt(&ok) : 0;
    if (!ok || value < 0 || words.size() > 2)
        return false;
    if (word == "normal" && words.size() == 1)
        *command = Command{Behaviour::Normal, 0};
    else if (word == "busy" && words.size() == 2)
        *command = Command{Behaviour::Busy, value};
    else if (word == "slow" && words.size() == 2)
        *command = Command{Behaviour::Slow, value};
    else if (word == "crash" && words.size() == 1)
        *command = Command{Behaviour::Crash, 0};
    else if (word == "closed" && words.size() == 1)
        *command = Command{Behaviour::Closed, 0};
    else if (word == "failing" && words.size() == 1)
        *command = Command{Behaviour::Failing, 0};
    else
        return false;
    return true;
}

void BrokerStandIn::apply(const Command &command)
{
    switch (command.behaviour) {
    case Behaviour::Normal:
        behaveNormally();
        break;
    case Behaviour::Busy:
        setBusyFor(command.value * 1000);
        break;
    case Behaviour::Slow:
        setSlowImports(command.value);
        break;
    case Behaviour::Crash:
        crash();
        break;
    case Behaviour::Closed:
        setClosed(true);
        break;
    case Behaviour::Failing:
        setFailing(true);
        break;
    }
}

void BrokerStandIn::setBusyFor(int ms)
{
    StandInState &b = standInState();
    QMutexLocker lock(&b.mutex);
    b.busyUntilMs = ms > 0 ? b.clock.elapsed() + ms : -1;
}

void BrokerStandIn::setSlowImports(int ms)
{
    StandInState &b = standInState();
    QMutexLocker lock(&b.mutex);
    b.slowMs = qMax(0, ms);
}

void BrokerStandIn::crash()
{
    StandInState &b = standInState();
    QMutexLocker lock(&b.mutex);
    // A new process starts with no dialog up and its usual pace.
    b.busyUntilMs = -1;
    b.slowMs = 0;
    ++g_generation;
}

void BrokerStandIn::setClosed(bool closed)
{
    StandInState &b = standInState();
    QMutexLocker lock(&b.mutex);
    if (closed && !b.closed) {
        b.busyUntilMs = -1;
        b.slowMs = 0;
        ++g_generation;
    }
    b.closed = closed;
}

void BrokerStandIn::setFailing(bool failing)
{
    StandInState &b = standInState();
    QMutexLocker lock(&b.mutex);
    b.failing = failing;
}

void BrokerStandIn::behaveNormally()
{
    setFailing(false);
    setClosed(false);
    setBusyFor(0);
    setSlowImports(0);
}

bool BrokerStandIn::canStart()
{
    StandInState &b = standInState();
    QMutexLocker lock(&b.mutex);
    return !b.closed;
}

void BrokerStandIn::install()
{
    setBrokerStandInMaker([]() -> BrokerAutomation * {
        followControlFile();
        return canStart() ? new BrokerStandIn() : nullptr;
    });
}

bool BrokerStandIn::isBusy()
{
    StandInState &b = standInState();
    QMutexLocker lock(&b.mutex);
    return b.busyUntilMs >= 0 && b.clock.elapsed() < b.busyUntilMs;
}

std::optional<BrokerStandIn::Command> BrokerStandIn::followControlFile(bool atStart)
{
    const QString path = Platform::installPath(QLatin1String(InstallFiles::StandInControl));
    const QFileInfo info(path);
    const bool exists = info.exists();
    StandInState &b = standInState();
    {
        QMutexLocker lock(&b.mutex);
        const bool same = path == b.seenPath && exists == b.seenExists
                          && (!exists || (info.size() == b.seenSize && info.lastModified() == b.seenModified));
        if (same)
            return std::nullopt;
        const bool wasThere = path == b.seenPath && b.seenExists;
        b.seenPath = path;
        b.seenExists = exists;
        b.seenSize = exists ? info.size() : -1;
        b.seenModified = exists ? info.lastModified() : QDateTime();
        // No file, and none before: nothing was said.
        if (!exists && !wasThere)
            return std::nullopt;
    }
    Command command; // a removed file means normal again
    if (exists) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || !parseCommand(file.read(256), &command)) {
            qCWarning(lcBroker) << "control file not understood:" << path;
            return std::nullopt;
        }
    }
    if (atStart && command.behaviour == Behaviour::Crash)
        command = Command();
    apply(command);
    return command;
}

void BrokerStandIn::setCallObserver(CallObserver observer)
{
    QMutexLocker lock(&g_observerMutex);
    g_observer = std::move(observer);
}

void BrokerStandIn::setQuoteTableDeferred(bool deferred)
{
    g_quoteTableDeferred = deferred;
}

bool BrokerStandIn::saveQuoteTable()
{
    QMutexLocker lock(&g_journalMutex);
    QuoteTable &table = quoteTable();
    table.follow(Platform::installPath(QLatin1String(InstallFiles::StandInQuotes)));
    return table.save();
}

qint64 BrokerStandIn::quoteTableBytes()
{
    QMutexLocker lock(&g_journalMutex);
    return quoteTable().memoryBytes();
}

qint64 BrokerStandIn::busyNs()
{
    return g_busyNs.load(std::memory_order_relaxed);
}

QVariant BrokerStandIn::dynamicCall(const char *function, const QVariant &arg)
{
    const Broker::Reply reply = call(QString::fromUtf8(function), arg);
    return reply.done() ? reply.value : QVariant();
}

QVariant BrokerStandIn::dynamicCall(const QString &function)
{
    const Broker::Reply reply = call(function, QVariant());
    return reply.done() ? reply.value : QVariant();
}

Broker::Reply BrokerStandIn::call(const QString &function, const QVariant &arg)
{
    followControlFile();
    if (m_generation != g_generation.load())
        return Broker::Reply{Broker::Outcome::Gone, QVariant()};
    if (isBusy())
        return Broker::Reply{Broker::Outcome::Busy, QVariant()};
    const bool isImport = function.startsWith(QLatin1String("Import("));
    if (isImport) {
        int slowMs = 0;
        {
            StandInState &b = standInState();
            QMutexLocker lock(&b.mutex);
            slowMs = b.slowMs;
        }
        if (slowMs > 0)
            QThread::msleep(static_cast<unsigned long>(slowMs));
    }

    const qint64 startNs = threadCpuNs();
    QByteArray line = function.toUtf8();
    if (arg.isValid())
        line += '\t' + arg.toString().toUtf8();
    line += '\n';
    {
        QMutexLocker lock(&g_journalMutex);
        if (!appendToFile(Platform::installPath(QLatin1String(InstallFiles::AutomationJournal)), line))
            qCWarning(lcBroker) << "cannot write the automation journal";
    }
    qCDebug(lcBroker) << "call" << function << arg;

    bool failing = false;
    {
        StandInState &b = standInState();
        QMutexLocker lock(&b.mutex);
        failing = b.failing;
    }
    const QVariant result = failing ? QVariant() : isImport ? QVariant(performImport(function)) : QVariant(true);
    g_busyNs.fetch_add(threadCpuNs() - startNs, std::memory_order_relaxed);
    CallObserver observer;
    {
        QMutexLocker lock(&g_observerMutex);
        observer = g_observer;
    }
    if (observer)
        observer(function);
    return Broker::Reply{failing ? Broker::Outcome::Failed : Broker::Outcome::Done, result};
}

// "Import(0,<data>,<format>)": the type, then the data path, then the format path
// after the last comma (a data path may itself hold a comma).
bool BrokerStandIn::performImport(const QString &function)
{
    if (!function.endsWith(QLatin1Char(')')))
        return false;
    const QString inner = function.mid(7, function.size() - 8);
    const int typeEnd = inner.indexOf(QLatin1Char(','));
    const int formatStart = inner.lastIndexOf(QLatin1Char(','));
    if (typeEnd < 0 || formatStart <= typeEnd)
        return false;
    const QString dataPath = inner.mid(typeEnd + 1, formatStart - typeEnd - 1);
    const QString formatPath = inner.mid(formatStart + 1);

    QFile formatFile(formatPath);
    if (!formatFile.open(QIODevice::ReadOnly))
        return false;
    const FormatDefinition format = readFormat(formatFile.readAll());
    QFile data(dataPath);
    if (!data.open(QIODevice::ReadOnly))
        return false;

    QMutexLocker lock(&g_journalMutex);
    const QString importedPath = Platform::installPath(QLatin1String(InstallFiles::ImportedJournal));
    QDir().mkpath(QFileInfo(importedPath).absolutePath());
    QFile imported(importedPath);
    if (!imported.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;

    QuoteTable &table = quoteTable();
    table.follow(Platform::installPath(QLatin1String(InstallFiles::StandInQuotes)));
    table.startImport();
    QByteArray errors;
    const QByteArray dataName = dataPath.toUtf8();
    int lineNumber = 0;
    QLatin1String ticker;
    Quote quote;
    bool copied = true;
    LineReader reader(data);
    const char *b = nullptr;
    const char *e = nullptr;
    while (reader.next(&b, &e)) {
        // What AmiBroker was sent, as sent; a last line gets its line feed so that
        // the lines of successive imports do not run into each other.
        const qint64 length = e - b;
        if (imported.write(b, length) != length || !imported.putChar('\n'))
            copied = false;
        if (e > b && e[-1] == '\r')
            --e;
        ++lineNumber;
        if (lineNumber <= format.skipLines || std::all_of(b, e, isBlankByte))
            continue;
        if (const char *reason = readQuote(format, b, e, &ticker, &quote)) {
            errors += dataName + ':' + QByteArray::number(lineNumber) + ": " + reason + ": " + QByteArray(b, int(e - b))
                      + '\n';
            continue;
        }
        table.put(ticker, quote, format.tickMode);
    }
    const bool read = !reader.failed();
    if (!g_quoteTableDeferred && !table.save())
        qCWarning(lcBroker) << "cannot write the quote table";
    if (!errors.isEmpty()
        && !appendToFile(Platform::installPath(QLatin1String(InstallFiles::StandInImportLog)), errors))
        qCWarning(lcBroker) << "cannot write the import log";
    return read && copied;
}
