#pragma once

#include "platform/brokerautomation.h"

#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <optional>

// Stands in for AmiBroker's automation object where there is no AmiBroker, and
// keeps what it is given the way AmiBroker would. Tests, benchmarks and people read
// its files (all under "<root>/Amibroker/") to see what AmiBroker got and holds:
//
// "automation.log": every call, one line each: the method text as issued, then a
//   tab and the argument for calls that carry one.
//
// "Import(0,<data>,<format>)" reads the format definition and the data file (the
// result is true when both could be read, false otherwise) and then:
//
// "imported.txt": the data file's lines, appended verbatim (what AmiBroker was sent).
//
// "quotes.txt": what AmiBroker holds, rewritten whole after every import (unless
//   deferred, see setQuoteTableDeferred): one line
//   per quote, symbol by symbol (byte order of the UTF-8 name), each symbol's quotes
//   by date then time:
//       Ticker,YYYY-MM-DD,HH:MM:SS,Open,High,Low,Close,Volume,OpenInt
//   with an empty time for a quote without one (a daily bar, after that day's timed
//   quotes), numbers in the shortest decimal text that reads back to the same
//   value, without exponent, and a line feed after every line. Open, High and Low
//   a format does not name are the Close; Volume and OpenInt it does not name are 0.
//
// "import.log": one line per data line the format cannot read (AmiBroker's import
//   errors), appended: "<data file>:<line number>: <reason>: <line>", the reason
//   one of "too few fields", "no ticker", "bad date", "bad time", "bad number".
//
// The format definition is read as AmiBroker reads one: "$FORMAT" names the fields
// (Ticker, Date_YMD, Date_DMY, Date_MDY, Time, Open, High, Low, Close, Volume,
// OpenInt; Skip and any other name are passed over), "$SEPARATOR" the one separator
// character (default ","), "$SKIPLINES n" the lines to pass over at the top of the
// data file, "$TICKMODE 1" tick mode; other lines are ignored. Fields are trimmed,
// blank lines skipped. A line needs a ticker, a date and, where the format has a
// Time field, a time (QuoteStamp's rules) and numbers where it names prices or
// counts (an empty Volume or OpenInt is 0).
//
// Without tick mode a line overwrites the symbol's quote of the same date and
// time. In tick mode the first line of a symbol deletes every quote it held, and
// lines of the same date and time are all kept, in the order read.
//
// quotes.txt is the quote table: it is read again when something other than the
// stand-in has changed or removed it since its last write (another test step, a
// program run in a process of its own), so deleting it empties AmiBroker.
//
// It misbehaves as AmiBroker does when told to, by a test (setBusyFor and the
// rest) or by a person or script through "control.txt" in the same folder, one
// line, read again whenever it changes:
//   "normal"        answers every call
//   "busy SECONDS"  a modal dialog is up: every call is refused (Busy) for that long
//   "slow MS"       every Import takes that long before it answers
//   "crash"         the process dies: objects made before it are Gone; a new object
//                   can be made at once (Windows starts AmiBroker again for it)
//   "closed"        AmiBroker was closed: objects are Gone and no new one can be
//                   made until "normal" (it is started again)
//   "failing"       every call is answered with an error (Failed), journalled
// Refused and lost calls are not journalled: AmiBroker never saw them.
class BrokerStandIn : public QObject, public BrokerAutomation
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BrokerStandIn)

public:
    explicit BrokerStandIn(QObject *parent = nullptr);

    // The late-bound call as the ActiveX container offers it: the value of a call
    // AmiBroker took, an invalid variant otherwise.
    QVariant dynamicCall(const char *function, const QVariant &arg = QVariant());

    // The generic one-string call, reachable by name with a blocking queued
    // invocation from another thread.
    Q_INVOKABLE QVariant dynamicCall(const QString &function);

    // One attempt of a call and what became of it.
    Broker::Reply call(const QString &function, const QVariant &arg = QVariant()) override;

    // A refused call is tried again by whoever makes calls; the stand-in has no
    // message filter to tell (Windows' own object has).
    void setRetryBudgetMs(int) override {}

    // Makes createBrokerObject() hand out stand-ins where there is no AmiBroker
    // (a closed one cannot be made, as one that fails to start).
    static void install();

    // What the control file can say, for tests: each replaces the one before.
    enum class Behaviour { Normal, Busy, Slow, Crash, Closed, Failing };
    struct Command
    {
        Behaviour behaviour = Behaviour::Normal;
        int value = 0; // seconds for Busy, milliseconds for Slow
    };
    // A control file's text; false when it says nothing the stand-in understands.
    static bool parseCommand(const QByteArray &text, Command *command);
    static void apply(const Command &command);
    static void setBusyFor(int ms);
    static void setSlowImports(int ms);
    static void crash();
    static void setClosed(bool closed);
    static void setFailing(bool failing);
    static void behaveNormally();
    // Whether a new object can be made (not while closed).
    static bool canStart();
    // Whether calls are being refused now.
    static bool isBusy();
    // Reads the control file when it changed since the last look and applies it;
    // the command it applied, or nothing. A process that starts later than a
    // "crash" was written must not take it for its own: atStart reads the file as
    // the state to start in (a crash then counts as normal).
    static std::optional<Command> followControlFile(bool atStart = false);

    // Benchmarks time calls with this: it is called on the calling thread after each
    // call has been journaled and performed, with the method text. Empty to stop.
    using CallObserver = std::function<void(const QString &function)>;
    static void setCallObserver(CallObserver observer);

    // Benchmarks at thousands of symbols would mostly time the rewrite of quotes.txt
    // after every import. Deferred, imports change only the table in memory until
    // saveQuoteTable() writes it (true when quotes.txt was written or was already
    // up to date). Off by default.
    static void setQuoteTableDeferred(bool deferred);
    static bool saveQuoteTable();

    // Thread CPU time spent inside the stand-in's calls (the observer excluded),
    // summed over all calls on any thread since the process started, in
    // nanoseconds: the part of a run that is AmiBroker's and not ours. Stays 0
    // where the system has no per-thread CPU clock.
    static qint64 busyNs();

    // Bytes the quote table holds in memory (AmiBroker's database, which grows with
    // every new second of every symbol), so a benchmark can tell the program's own
    // memory from it.
    static qint64 quoteTableBytes();

private:
    bool performImport(const QString &function);

    quint64 m_generation; // objects of an earlier generation died with their process
};
