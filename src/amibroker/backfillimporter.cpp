#include "backfillimporter.h"

#include "amibroker/brokerlink.h"
#include "common/linereader.h"
#include "amibroker/symbolrenamer.h"
#include "live/tickline.h"
#include "platform/diskspace.h"
#include "platform/installroot.h"
#include "symbols/mappingstore.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTimer>

#include <cstring>

Q_DECLARE_LOGGING_CATEGORY(lcAmi)

namespace {

constexpr int WriteFlushBytes = 1024 * 1024;
constexpr int MinimumDataBytes = 100;
constexpr int IntradayProbeBytes = 100;
constexpr int EodProbeBytes = 200;

bool flushTo(QFile &file, QByteArray &pending)
{
    if (pending.isEmpty())
        return true;
    const bool ok = file.write(pending) == pending.size();
    // resize keeps the reserved buffer; clear would free it and fault in fresh pages.
    pending.resize(0);
    return ok;
}

// "Failed" lines are error answers of the data server, never data.
bool mentionsFailedExactly(const char *b, const char *e)
{
    for (const char *p = b; e - p >= 6; ++p) {
        p = static_cast<const char *>(std::memchr(p, 'F', size_t(e - p - 5)));
        if (!p)
            return false;
        if (std::memcmp(p, "Failed", 6) == 0)
            return true;
    }
    return false;
}

void removeIfExists(const QString &path)
{
    if (!path.isEmpty() && QFile::exists(path))
        QFile::remove(path);
}

} // namespace

QString backfillPausedForDiskText()
{
    return QStringLiteral("Backfill paused: the disk holding %1 is full")
        .arg(QDir::toNativeSeparators(Platform::installRoot()));
}

QString backfillGoesOnText()
{
    return QStringLiteral("Backfill goes on: there is room on the disk again");
}

bool isJunkBackfillFile(const QString &path, int probeBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true;
    if (file.size() < MinimumDataBytes)
        return true;
    QByteArray head = file.read(qMax(0, probeBytes));
    const int zero = head.indexOf('\0');
    if (zero >= 0)
        head.truncate(zero);
    const QString text = QString::fromUtf8(head);
    static const char *const markers[] = {"<!DOCTYPE", "<html", "No data", "not found"};
    for (const char *marker : markers) {
        if (text.contains(QLatin1String(marker), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

struct BackfillImporter::Job
{
    enum class Step { NextFile, Map, FillChunk, ImportChunk, NextEodFile, ImportEodFile };

    Step next = Step::NextFile;
    BackfillLimits limits;
    QStringList files;
    int index = -1;
    QFile errorLog;
    // End-of-day jobs.
    QStringList selected;
    bool selectedOnly = false;
    bool pending1y = false;
    // The intraday file under way.
    QString sourcePath;
    QString mappedPath;
    bool mapped = false;
    QFile in;
    std::unique_ptr<LineReader> reader;
    int counter = 1;         // of the chunk being filled
    int chunkCount = 0;      // rollovers of this file so far
    bool lineWaiting = false; // a kept line did not fit the chunk just filled
    QString chunk;
    int attempts = 0;
    const char *failureText = nullptr;
    // The end-of-day file under way.
    QString eodPath;
};

BackfillImporter::BackfillImporter(BrokerLink *link, const Paths &paths, QObject *parent)
    : QObject(parent)
    , m_link(link)
    , m_paths(paths)
{
    m_wakeUp = new QTimer(this);
    m_wakeUp->setObjectName(QStringLiteral("backfillImportStep"));
    m_wakeUp->setSingleShot(true);
    connect(m_wakeUp, &QTimer::timeout, this, &BackfillImporter::step);
    // A job waiting for AmiBroker goes on as soon as it answers again.
    connect(m_link, &BrokerLink::answeringAgain, this, [this] {
        if (m_waitingForBroker)
            later(0);
    });
}

BackfillImporter::~BackfillImporter() = default;

void BackfillImporter::setRetryIntervals(int diskMs, int brokerMs)
{
    m_diskRetryMs = diskMs;
    m_brokerRetryMs = brokerMs;
}

bool BackfillImporter::isIdle() const
{
    return !m_job && m_waiting.isEmpty();
}

void BackfillImporter::importIntraday(const BackfillLimits &limits)
{
    if (m_job) {
        m_waiting.append([this, limits] { importIntraday(limits); });
        return;
    }
    const QDir dir(QDir::toNativeSeparators(m_paths.backfillFolder));
    QStringList files;
    if (dir.exists()) {
        QDir().mkpath(m_paths.workFolder);
        files = dir.entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Unsorted);
    }
    if (files.isEmpty()) {
        emit intradayDone();
        startNext();
        return;
    }
    m_job = std::make_unique<Job>();
    m_job->limits = limits;
    m_job->files = files;
    m_job->errorLog.setFileName(QDir(m_paths.workFolder).filePath(QLatin1String(BackfillWorkFiles::ErrorLog)));
    if (!m_job->errorLog.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        qCWarning(lcAmi) << "cannot open the backfill error log";
    m_job->next = Job::Step::NextFile;
    later(0);
}

void BackfillImporter::importEod(const QStringList &selectedSymbols, bool selectedOnly, bool pending1y)
{
    if (m_job) {
        m_waiting.append([=] { importEod(selectedSymbols, selectedOnly, pending1y); });
        return;
    }
    m_job = std::make_unique<Job>();
    m_job->selected = selectedSymbols;
    m_job->selectedOnly = selectedOnly;
    m_job->pending1y = pending1y;
    m_job->files = QDir(m_paths.backfillFolder)
                       .entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Unsorted);
    m_job->next = Job::Step::NextEodFile;
    later(0);
}

void BackfillImporter::startNext()
{
    if (!m_job && !m_waiting.isEmpty())
        m_waiting.takeFirst()();
}

void BackfillImporter::later(int ms)
{
    m_wakeUp->start(qMax(0, ms));
}

void BackfillImporter::step()
{
    if (!m_job)
        return;
    m_waitingForBroker = false;
    switch (m_job->next) {
    case Job::Step::NextFile:
        nextIntradayFile();
        break;
    case Job::Step::Map:
        mapFile();
        break;
    case Job::Step::FillChunk:
        fillChunk();
        break;
    case Job::Step::ImportChunk:
        importChunk();
        break;
    case Job::Step::NextEodFile:
        nextEodFile();
        break;
    case Job::Step::ImportEodFile:
        importEodFile();
        break;
    }
}

void BackfillImporter::waitForDisk()
{
    if (!m_waitingForDisk) {
        m_waitingForDisk = true;
        qCWarning(lcAmi) << "the disk holding" << m_paths.workFolder << "is full; the backfill import waits for room";
        emit waitingForDisk();
    }
    later(m_diskRetryMs);
}

void BackfillImporter::waitForAmiBroker()
{
    // Not an attempt: AmiBroker never saw the chunk. Tried again when AmiBroker
    // answers again (a new object), or after a while (a dialog closed).
    m_waitingForBroker = true;
    later(m_brokerRetryMs);
}

void BackfillImporter::logError(const char *message, const QString &path)
{
    QFile &log = m_job->errorLog;
    if (!log.isOpen())
        return;
    const QString line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"))
                         + QLatin1String(message) + QDir::toNativeSeparators(path) + QLatin1Char('\n');
    log.write(line.toUtf8());
    log.flush();
}

QString BackfillImporter::chunkPath(int counter) const
{
    return QDir::toNativeSeparators(m_paths.workFolder + QLatin1Char('/')
                                    + QLatin1String(BackfillWorkFiles::ChunkPrefix)
                                    + QStringLiteral("%1").arg(counter, 3, 10, QLatin1Char('0'))
                                    + QLatin1String(BackfillWorkFiles::ChunkSuffix));
}

void BackfillImporter::nextIntradayFile()
{
    Job &job = *m_job;
    if (++job.index >= job.files.size()) {
        finishIntraday();
        return;
    }
    const QString name = job.files.at(job.index);
    job.sourcePath = QDir::toNativeSeparators(QDir(QDir::toNativeSeparators(m_paths.backfillFolder)).filePath(name));
    if (isJunkBackfillFile(job.sourcePath, IntradayProbeBytes)) {
        QFile::remove(job.sourcePath);
        later(0);
        return;
    }
    job.mappedPath = QDir::toNativeSeparators(m_paths.workFolder + QLatin1Char('/')
                                              + QLatin1String(BackfillWorkFiles::ProcessedPrefix) + name);
    mapFile();
}

void BackfillImporter::mapFile()
{
    Job &job = *m_job;
    bool outOfSpace = false;
    job.mapped = applySymbolMapping(job.sourcePath, job.mappedPath, &outOfSpace);
    if (!job.mapped && outOfSpace) {
        // Unmapped data would reach AmiBroker under the old names: wait for room.
        job.next = Job::Step::Map;
        waitForDisk();
        return;
    }
    if (m_waitingForDisk) {
        m_waitingForDisk = false;
        emit diskRoomAgain();
    }
    const QString fileToChunk = job.mapped ? job.mappedPath : job.sourcePath;
    job.in.setFileName(fileToChunk);
    if (!job.in.open(QIODevice::ReadOnly)) {
        logError(" - cannot open ", fileToChunk);
        finishFile();
        return;
    }
    job.reader = std::make_unique<LineReader>(job.in);
    job.counter = 1;
    job.chunkCount = 0;
    job.lineWaiting = false;
    fillChunk();
}

void BackfillImporter::fillChunk()
{
    Job &job = *m_job;
    job.next = Job::Step::FillChunk;
    job.chunk = chunkPath(job.counter);
    QFile chunk(job.chunk);
    if (!chunk.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (Platform::failedForSpace(chunk, m_paths.workFolder)) {
            waitForDisk();
            return;
        }
        logError(job.counter == 1 ? " - cannot open chunk " : " - cannot open next chunk ", job.chunk);
        finishFile();
        return;
    }

    const qint64 chunkStart = job.reader->offset();
    const qint64 limit = job.limits.chunkBytes;
    QByteArray pending;
    pending.reserve(WriteFlushBytes + 65536);
    qint64 bytes = 0;
    bool whole = true; // every write of the chunk reached the disk
    job.lineWaiting = false;
    const char *b = nullptr;
    const char *e = nullptr;
    while (job.reader->next(&b, &e)) {
        trimBlanks(&b, &e);
        if (b == e || mentionsFailedExactly(b, e))
            continue;
        const qint64 lineBytes = qint64(e - b) + 1;
        // An empty chunk takes the line whatever its length: a long line gets a
        // chunk of its own instead of an empty chunk being imported before it.
        if (bytes > 0 && bytes + lineBytes > limit) {
            job.reader->seek(job.reader->lineStart());
            job.lineWaiting = true;
            break;
        }
        pending.append(b, int(e - b));
        pending.append('\n');
        bytes += lineBytes;
        if (pending.size() >= WriteFlushBytes)
            whole = flushTo(chunk, pending) && whole;
    }
    whole = flushTo(chunk, pending) && whole;
    whole = chunk.flush() && whole;
    const bool outOfSpace = !whole && Platform::failedForSpace(chunk, m_paths.workFolder);
    chunk.close();
    whole = whole && chunk.error() == QFileDevice::NoError;

    if (!whole) {
        // A cut chunk would be imported as if whole.
        QFile::remove(job.chunk);
        if (outOfSpace) {
            job.reader->seek(chunkStart);
            job.lineWaiting = false;
            waitForDisk();
            return;
        }
        logError(" - cannot write chunk ", job.chunk);
        afterChunk();
        return;
    }
    if (m_waitingForDisk) {
        m_waitingForDisk = false;
        emit diskRoomAgain();
    }
    if (bytes == 0) {
        QFile::remove(job.chunk);
        finishFile();
        return;
    }
    job.attempts = 0;
    job.failureText = job.lineWaiting ? " - failed to import " : " - failed to import final ";
    job.next = Job::Step::ImportChunk;
    // Gives the closed chunk time to settle before AmiBroker opens it.
    later(job.limits.pauseBeforeImportMs);
}

void BackfillImporter::importChunk()
{
    Job &job = *m_job;
    const Broker::Reply reply =
        m_link->call(QStringLiteral("Import(%1,%2,%3)").arg(QString::number(0), job.chunk, m_paths.backfillFormat));
    if (reply.unanswered()) {
        waitForAmiBroker();
        return;
    }
    if (!reply.done() || reply.value.isNull()) {
        if (++job.attempts < job.limits.attempts) {
            later(job.limits.retryPauseMs);
            return;
        }
        logError(job.failureText, job.chunk);
    }
    QFile::remove(job.chunk);
    afterChunk();
}

void BackfillImporter::afterChunk()
{
    Job &job = *m_job;
    if (!job.lineWaiting) {
        finishFile();
        return;
    }
    if (++job.chunkCount > job.limits.maxChunks) {
        logError(" - exceeded max chunks for ", job.sourcePath);
        finishFile();
        return;
    }
    ++job.counter;
    job.next = Job::Step::FillChunk;
    later(0);
}

void BackfillImporter::finishFile()
{
    Job &job = *m_job;
    job.reader.reset();
    job.in.close();
    if (job.mapped)
        removeIfExists(job.mappedPath);
    QFile::remove(job.sourcePath);
    job.next = Job::Step::NextFile;
    later(0);
}

void BackfillImporter::finishIntraday()
{
    m_job->errorLog.close();
    m_job.reset();
    emit intradayDone();
    startNext();
}

void BackfillImporter::nextEodFile()
{
    Job &job = *m_job;
    if (++job.index >= job.files.size()) {
        finishEod();
        return;
    }
    const QString name = job.files.at(job.index);
    job.eodPath = QDir::toNativeSeparators(QDir(m_paths.backfillFolder).filePath(name));
    if (isJunkBackfillFile(job.eodPath, EodProbeBytes)) {
        QFile::remove(job.eodPath);
        later(0);
        return;
    }
    QString symbol = name;
    if (symbol.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive))
        symbol.chop(4);
    if (!job.pending1y && job.selectedOnly && !job.selected.contains(symbol)) {
        QFile::remove(job.eodPath);
        later(0);
        return;
    }
    importEodFile();
}

void BackfillImporter::importEodFile()
{
    Job &job = *m_job;
    job.next = Job::Step::ImportEodFile;
    const Broker::Reply reply =
        m_link->call(QStringLiteral("Import(%1,%2,%3)").arg(QString::number(0), job.eodPath, m_paths.eodFormat));
    if (reply.unanswered()) {
        waitForAmiBroker();
        return;
    }
    // One attempt: the result is not examined.
    QFile::remove(job.eodPath);
    job.next = Job::Step::NextEodFile;
    later(0);
}

void BackfillImporter::finishEod()
{
    QDir(m_paths.backfillFolder).removeRecursively();
    QDir().mkpath(m_paths.backfillFolder);
    m_job.reset();
    emit eodDone();
    startNext();
}

bool BackfillImporter::applySymbolMapping(const QString &source, const QString &target, bool *outOfSpace)
{
    if (outOfSpace)
        *outOfSpace = false;
    if (source.isEmpty() || target.isEmpty())
        return false;
    const SymbolRenamer renamer(mappingOldToNew(readMappingEntries()));

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QString folder = QFileInfo(target).absolutePath();
    QDir().mkpath(folder);
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (outOfSpace)
            *outOfSpace = Platform::failedForSpace(out, folder);
        return false;
    }

    QByteArray pending;
    pending.reserve(WriteFlushBytes + 65536);
    bool ok = true;
    LineReader reader(in);
    const char *b = nullptr;
    const char *e = nullptr;
    while (ok && reader.next(&b, &e)) {
        if (e > b && e[-1] == '\r')
            --e;
        renamer.appendMapped(b, e, pending);
        pending.append('\n');
        if (pending.size() >= WriteFlushBytes)
            ok = flushTo(out, pending);
    }
    ok = ok && !reader.failed() && flushTo(out, pending) && out.flush();
    if (!ok && outOfSpace)
        *outOfSpace = Platform::failedForSpace(out, folder);
    out.close();
    if (!ok || out.error() != QFileDevice::NoError) {
        // A truncated copy would be imported as if whole.
        qCWarning(lcAmi) << "symbol mapping failed for" << source;
        QFile::remove(target);
        return false;
    }
    return true;
}
