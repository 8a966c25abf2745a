#pragma once

#include <QDate>
#include <QString>
#include <QtGlobal>

#include <memory>

// The log a trader can send to support: every message of the program's logging
// categories ("quillmark.*") at info level and above, with its time and category,
// in <folder>/quillmark-YYYY-MM-DD.log, one file a day. Files of the last
// KeptDays days are kept, MaxTotalBytes at most in all. Messages still go where
// they went before (the console, the debugger).
//
// The thread that logs only queues the line; a thread of the log's own writes it,
// so a slow or full disk never holds the window.
class LogFile
{
public:
    static constexpr int KeptDays = 14;
    static constexpr qint64 MaxTotalBytes = 50 * 1024 * 1024;
    // Lines waiting beyond this are dropped (and counted in the log) rather than
    // held: a flood of messages must not grow without end.
    static constexpr qint64 MaxQueuedBytes = 4 * 1024 * 1024;

    // Starts writing into folder (created when needed) and takes over Qt's
    // message handler, handing every message on to the one it replaces. One at a
    // time; the destructor writes what is queued and gives the handler back.
    explicit LogFile(const QString &folder, qint64 maxTotalBytes = MaxTotalBytes);
    ~LogFile();
    Q_DISABLE_COPY_MOVE(LogFile)

    // "quillmark-2024-01-31.log"
    static QString fileNameFor(const QDate &day);
    // Waits until every line queued so far is written (the process is about to end
    // without running destructors).
    static void flushActive();

    struct Writer;

private:
    std::unique_ptr<Writer> m_writer;
};
