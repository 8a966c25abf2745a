#include "logfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

struct LogFile::Writer
{
    QString folder;
    qint64 maxTotalBytes = MaxTotalBytes;
    QtMessageHandler previous = nullptr;

    // Shared with the threads that log.
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable drained;
    std::deque<std::pair<QDate, QByteArray>> queue;
    qint64 queuedBytes = 0;
    qint64 droppedLines = 0;
    quint64 queuedCount = 0;
    quint64 writtenCount = 0;
    bool stopping = false;

    // The writer thread's own.
    std::thread thread;
    QFile file;
    QDate fileDay;
    qint64 totalBytes = 0; // of every log file in the folder

    void enqueue(const QDate &day, QByteArray line);
    void waitDrained();
    void run();
    void write(const QDate &day, const QByteArray &line);
    void open(const QDate &day);
    // The log files in the folder, oldest first: (day, path).
    QList<QPair<QDate, QString>> logFiles() const;
};

namespace {

std::mutex g_activeMutex;
LogFile::Writer *g_active = nullptr;

const char *levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "info";
}

void logMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    QtMessageHandler previous = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_activeMutex);
        if (LogFile::Writer *writer = g_active) {
            previous = writer->previous;
            const char *category = context.category ? context.category : "default";
            if (type != QtDebugMsg && qstrncmp(category, "quillmark", 9) == 0
                && (category[9] == '\0' || category[9] == '.')) {
                const QDateTime now = QDateTime::currentDateTime();
                QByteArray line = now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toLatin1();
                line += ' ';
                line += levelWord(type);
                line += ' ';
                line += category;
                line += ": ";
                // One message, one line, whatever it quotes.
                QString flat = text;
                flat.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
                line += flat.toUtf8();
                line += '\n';
                writer->enqueue(now.date(), std::move(line));
                if (type == QtFatalMsg)
                    writer->waitDrained();
            }
        }
    }
    if (previous)
        previous(type, context, text);
}

} // namespace

void LogFile::Writer::enqueue(const QDate &day, QByteArray line)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (queuedBytes + line.size() > MaxQueuedBytes) {
        ++droppedLines;
        return;
    }
    queuedBytes += line.size();
    queue.emplace_back(day, std::move(line));
    ++queuedCount;
    wake.notify_one();
}

void LogFile::Writer::waitDrained()
{
    std::unique_lock<std::mutex> lock(mutex);
    const quint64 target = queuedCount;
    // Bounded: a disk that hangs must not hang the program's end with it.
    drained.wait_for(lock, std::chrono::seconds(2), [&] { return writtenCount >= target; });
}

void LogFile::Writer::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return stopping || !queue.empty() || droppedLines > 0; });
        if (queue.empty() && droppedLines == 0 && stopping)
            break;
        std::deque<std::pair<QDate, QByteArray>> batch;
        batch.swap(queue);
        const qint64 dropped = droppedLines;
        droppedLines = 0;
        queuedBytes = 0;
        const quint64 taken = queuedCount;
        lock.unlock();

        for (const auto &entry : batch)
            write(entry.first, entry.second);
        if (dropped > 0) {
            const QDateTime now = QDateTime::currentDateTime();
            write(now.date(), now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toLatin1()
                                  + " warning quillmark.app: " + QByteArray::number(dropped)
                                  + " log lines were dropped (too many at once)\n");
        }
        if (file.isOpen())
            file.flush();

        lock.lock();
        writtenCount = taken;
        drained.notify_all();
    }
}

QList<QPair<QDate, QString>> LogFile::Writer::logFiles() const
{
    static const QRegularExpression pattern(QStringLiteral("^quillmark-(\\d{4}-\\d{2}-\\d{2})\\.log$"));
    QList<QPair<QDate, QString>> files;
    const QDir dir(folder);
    // Names sort by their day.
    for (const QString &name : dir.entryList({QStringLiteral("quillmark-*.log")}, QDir::Files, QDir::Name)) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch())
            continue;
        const QDate day = QDate::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd"));
        if (day.isValid())
            files.append({day, dir.filePath(name)});
    }
    return files;
}

void LogFile::Writer::open(const QDate &day)
{
    file.close();
    fileDay = day;
    QDir().mkpath(folder);
    totalBytes = 0;
    const QDate oldestKept = day.addDays(-(KeptDays - 1));
    for (const auto &entry : logFiles()) {
        if (entry.first < oldestKept)
            QFile::remove(entry.second);
        else
            totalBytes += QFileInfo(entry.second).size();
    }
    file.setFileName(QDir(folder).filePath(fileNameFor(day)));
    file.open(QIODevice::WriteOnly | QIODevice::Append);
}

void LogFile::Writer::write(const QDate &day, const QByteArray &line)
{
    if (day != fileDay || !file.isOpen())
        open(day);
    if (!file.isOpen())
        return;
    // Over the limit the oldest days go first; today's file is never cut short
    // from the front, so once it alone fills the limit further lines are left out.
    if (totalBytes + line.size() > maxTotalBytes) {
        for (const auto &entry : logFiles()) {
            if (totalBytes + line.size() <= maxTotalBytes || entry.first >= fileDay)
                break;
            const qint64 size = QFileInfo(entry.second).size();
            if (QFile::remove(entry.second))
                totalBytes -= size;
        }
        if (totalBytes + line.size() > maxTotalBytes)
            return;
    }
    if (file.write(line) == line.size())
        totalBytes += line.size();
}

LogFile::LogFile(const QString &folder, qint64 maxTotalBytes)
    : m_writer(new Writer)
{
    m_writer->folder = folder;
    m_writer->maxTotalBytes = maxTotalBytes;
    Writer *writer = m_writer.get();
    writer->thread = std::thread([writer] { writer->run(); });
    std::lock_guard<std::mutex> lock(g_activeMutex);
    g_active = writer;
    writer->previous = qInstallMessageHandler(logMessage);
}

LogFile::~LogFile()
{
    {
        std::lock_guard<std::mutex> lock(g_activeMutex);
        qInstallMessageHandler(m_writer->previous);
        if (g_active == m_writer.get())
            g_active = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(m_writer->mutex);
        m_writer->stopping = true;
        m_writer->wake.notify_one();
    }
    m_writer->thread.join();
}

QString LogFile::fileNameFor(const QDate &day)
{
    return QStringLiteral("quillmark-%1.log").arg(day.toString(QStringLiteral("yyyy-MM-dd")));
}

void LogFile::flushActive()
{
    std::lock_guard<std::mutex> lock(g_activeMutex);
    if (g_active)
        g_active->waitDrained();
}
