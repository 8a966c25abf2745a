#include "livedataupdator.h"

#include "amibroker/quotestamp.h"
#include "amibroker/symbolrenamer.h"
#include "app/installfiles.h"
#include "app/settingskeys.h"
#include "live/tickbuffer.h"
#include "live/tickline.h"
#include "platform/installroot.h"
#include "symbols/mappingstore.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSettings>
#include <QTimer>
#include <QVector>

#include <charconv>
#include <cmath>
#include <cstring>

Q_LOGGING_CATEGORY(lcAmi, "quillmark.amibroker", QtInfoMsg)

namespace {

constexpr int ReadBlockBytes = 1024 * 1024;
constexpr int WriteFlushBytes = 1024 * 1024;
constexpr int LiveCyclePauseMs = 50;
constexpr int MinimumDataBytes = 100;

inline bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Streams a file line by line in large blocks, without a copy per line. The
// callback gets each line without its line feed; false stops the walk. Returns
// false on a read error.
template<typename Fn>
bool forEachLine(QFile &file, Fn &&fn)
{
    QByteArray buffer;
    int carried = 0; // bytes of an unfinished line kept from the previous block
    for (;;) {
        buffer.resize(carried + ReadBlockBytes);
        const qint64 got = file.read(buffer.data() + carried, ReadBlockBytes);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        const char *start = buffer.constData();
        const char *end = start + carried + got;
        const char *p = start;
        while (p < end) {
            const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            if (!nl)
                break;
            if (!fn(p, nl))
                return true;
            p = nl + 1;
        }
        carried = int(end - p);
        if (carried > 0 && p != start)
            std::memmove(buffer.data(), p, size_t(carried));
    }
    if (carried > 0)
        fn(buffer.constData(), buffer.constData() + carried);
    return true;
}

bool flushTo(QFile &file, QByteArray &pending)
{
    if (pending.isEmpty())
        return true;
    const bool ok = file.write(pending) == pending.size();
    // resize keeps the reserved buffer; clear would free it and fault in fresh pages.
    pending.resize(0);
    return ok;
}

void appendErrorLine(QFile &log, const char *message, const QString &path)
{
    if (!log.isOpen())
        return;
    const QString line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"))
                         + QLatin1String(message) + QDir::toNativeSeparators(path) + QLatin1Char('\n');
    log.write(line.toUtf8());
    log.flush();
}

void removeIfExists(const QString &path)
{
    if (!path.isEmpty() && QFile::exists(path))
        QFile::remove(path);
}

} // namespace

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

namespace {

constexpr int TickFields = 8;

QLatin1String trimmedBytes(const char *b, const char *e)
{
    while (b < e && isBlank(*b))
        ++b;
    while (e > b && isBlank(e[-1]))
        --e;
    return QLatin1String(b, int(e - b));
}

// The first eight fields of a tick line, trimmed, as views into the line (or into
// spare, for a line past ASCII); false for a line that is dropped before its
// fields are read: empty, "Failed", fewer than eight fields.
bool tickFields(const char *b, const char *e, QLatin1String (&parts)[TickFields], QByteArray (&spare)[TickFields])
{
    const QLatin1String line = trimmedBytes(b, e);
    b = line.data();
    e = b + line.size();
    if (!isAscii(b, e)) {
        // Rare: white space and case past ASCII as the text's characters have them.
        const QString text = QString::fromUtf8(b, int(e - b)).trimmed();
        if (text.isEmpty() || text.contains(QLatin1String("Failed"), Qt::CaseInsensitive))
            return false;
        const QStringList fields = text.split(QLatin1Char(','));
        if (fields.size() < TickFields)
            return false;
        for (int i = 0; i < TickFields; ++i) {
            spare[i] = fields.at(i).trimmed().toUtf8();
            parts[i] = QLatin1String(spare[i].constData(), spare[i].size());
        }
        return true;
    }
    if (b == e || mentionsFailed(b, e) || splitFields(b, e, parts, TickFields) < TickFields)
        return false;
    for (QLatin1String &part : parts)
        part = trimmedBytes(part.data(), part.data() + part.size());
    return true;
}

// A number field as QString::toDouble reads it (C locale, a leading '+' allowed,
// nothing after it); false when it is none or not finite.
bool readFieldNumber(QLatin1String field, double *value)
{
    const char *b = field.data();
    const char *e = b + field.size();
    if (b < e && *b == '+' && e - b > 1 && b[1] != '-' && b[1] != '+')
        ++b;
    const auto result = std::from_chars(b, e, *value);
    return result.ec == std::errc() && result.ptr == e && qIsFinite(*value);
}

void appendField(QByteArray &out, QLatin1String field)
{
    out.append(field.data(), field.size());
}

} // namespace

QByteArray liveImportLines(const QByteArray &pending, const QHash<QString, QString> &symbolMap, int *kept,
                           SecondSums *sums)
{
    QHash<QByteArray, QByteArray> renames;
    for (auto it = symbolMap.cbegin(); it != symbolMap.cend(); ++it)
        renames.insert(it.key().toUtf8(), it.value().toUtf8());

    // Lines in import order. The second in progress of a symbol keeps the place of
    // its first line in this cycle and takes the text of its latest.
    QVector<QByteArray> lines;
    QHash<QByteArray, int> placeOfSecond;
    QLatin1String parts[TickFields];
    QByteArray spare[TickFields];
    forEachTextLine(pending, [&](const char *lineStart, const char *lineEnd) {
        if (!tickFields(lineStart, lineEnd, parts, spare) || !QuoteStamp::isTickMoment(parts[2], parts[3])
            || !tickLineFieldsAllowed(parts, TickFields))
            return;

        QByteArray symbol = QByteArray::fromRawData(parts[1].data(), parts[1].size());
        if (!symbol.isEmpty() && !renames.isEmpty()) {
            const auto mapped = renames.constFind(symbol);
            if (mapped != renames.cend())
                symbol = mapped.value();
            if (holdsForbiddenTickCharacter(symbol.constBegin(), symbol.constEnd()))
                return;
        }
        double price = 0;
        if (!readFieldNumber(parts[4], &price) || price <= 0 || price > MaxTickNumber)
            return;
        double quantity = 0;
        if (!readFieldNumber(parts[5], &quantity))
            quantity = 0;
        if (std::fabs(quantity) > MaxTickNumber)
            return;
        qint64 carried = roundHalfUp(quantity);

        int place = -1;
        bool opensPlace = false;
        // A stamp AmiBroker cannot read gives a line it refuses anyway: passed on as it is.
        const qint64 stamp = sums ? QuoteStamp::stamp(parts[2], parts[3]) : -1;
        if (stamp >= 0) {
            switch (sums->add(symbol, stamp, &carried)) {
            case SecondSums::Kind::NewSecond:
                opensPlace = true;
                break;
            case SecondSums::Kind::SameSecond:
                place = placeOfSecond.value(symbol, -1);
                opensPlace = place < 0;
                break;
            case SecondSums::Kind::Late:
                break;
            }
        }

        QByteArray text;
        text.reserve(int(lineEnd - lineStart) + symbol.size() + 32);
        appendField(text, parts[0]);
        text.append(',');
        text.append(symbol);
        text.append(',');
        appendField(text, parts[2]);
        text.append(',');
        appendField(text, parts[3]);
        text.append(',');
        appendPrice(text, price);
        text.append(',');
        text.append(QByteArray::number(carried));
        text.append(',');
        appendField(text, parts[6]);
        text.append(',');
        appendField(text, parts[7]);
        text.append('\n');
        if (place >= 0) {
            lines[place] = std::move(text);
        } else {
            lines.append(std::move(text));
            if (opensPlace)
                placeOfSecond.insert(QByteArray(symbol.constData(), symbol.size()), lines.size() - 1);
        }
    });
    if (kept)
        *kept = lines.size();
    int total = 0;
    for (const QByteArray &line : qAsConst(lines))
        total += line.size();
    QByteArray out;
    out.reserve(total);
    for (const QByteArray &line : qAsConst(lines))
        out += line;
    return out;
}

liveDataUpdator::liveDataUpdator(QObject *parent)
    : QThread(parent)
{
    using Platform::installPath;
    using Platform::installPathFwd;
    databasePath = installPath(QLatin1String(InstallFiles::DatabaseFolder));
    rtImportPath = installPath(QLatin1String(InstallFiles::ImportFile));
    liveFormatPath = installPath(QLatin1String(InstallFiles::LiveFormat));
    eodFormatPath = installPath(QLatin1String(InstallFiles::EodFormat));
    backfillFormatPath = installPath(QLatin1String(InstallFiles::BackfillFormat));
    rtSocketPath = installPath(QLatin1String(InstallFiles::TickFile));
    installFolder = installPathFwd();
    backfillFolder = installPathFwd(QLatin1String(InstallFiles::BackfillFolder));
    workFolder = installPath(QLatin1String(InstallFiles::WorkFolder));

    // The automation object is made on its own thread (COM initialises that thread's
    // apartment) and used and destroyed there only.
    m_brokerThread = new QThread(this);
    m_brokerThread->setObjectName(QStringLiteral("amibroker"));
    m_brokerHome = new QObject;
    m_brokerHome->moveToThread(m_brokerThread);
    m_brokerThread->start();
    onBrokerThread([this] { amiBroker = createBrokerObject(); });
    if (!amiBroker)
        qCWarning(lcAmi) << "AmiBroker's automation object is not available";

    connect(this, &liveDataUpdator::doeodbackfill, this, &liveDataUpdator::doEodBackfill);

    heldTicksRetry = new QTimer(this);
    heldTicksRetry->setObjectName(QStringLiteral("heldTicksRetry"));
    heldTicksRetry->setInterval(HeldTicksRetryMs);
    connect(heldTicksRetry, &QTimer::timeout, this, &liveDataUpdator::scheduleLiveImport);
}

liveDataUpdator::~liveDataUpdator()
{
    if (isRunning()) {
        quit();
        wait();
    }
    // Cycles already scheduled run first (the queue keeps its order), then the
    // automation object goes on the thread that made it.
    onBrokerThread([this] {
        delete amiBroker;
        amiBroker = nullptr;
    });
    m_brokerThread->quit();
    m_brokerThread->wait();
    delete m_brokerHome;
}

template<typename Fn>
void liveDataUpdator::onBrokerThread(Fn &&fn)
{
    if (QThread::currentThread() == m_brokerThread)
        fn();
    else
        QMetaObject::invokeMethod(m_brokerHome, std::forward<Fn>(fn), Qt::BlockingQueuedConnection);
}

QVariant liveDataUpdator::brokerCall(const char *function, const QVariant &arg)
{
    QVariant result;
    onBrokerThread([&] {
        if (amiBroker)
            result = amiBroker->dynamicCall(function, arg);
    });
    return result;
}

QVariant liveDataUpdator::importIntoAmiBroker(QString file, QString formatFile)
{
    // One pass over the placeholders, so a "%" in a path is never read as one.
    const QByteArray call = QStringLiteral("Import(%1,%2,%3)").arg(QString::number(0), file, formatFile).toUtf8();
    return brokerCall(call.constData());
}

void liveDataUpdator::updateDataAmi()
{
    LiveCycleResult result;
    onBrokerThread([&] { result = runLiveCycle(); });
    finishLiveCycle(result);
}

liveDataUpdator::LiveCycleResult liveDataUpdator::runLiveCycle()
{
    LiveCycleResult result;
    symbolMap = mappingOldToNew(readMappingEntries());

    QDir().mkpath(QFileInfo(rtImportPath).absolutePath());
    QFile importFile(rtImportPath);
    // Opened before the ticks are taken: when it cannot be written they stay
    // queued for the next cycle instead of being lost.
    if (!importFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        qCWarning(lcAmi) << "cannot write" << rtImportPath;
        return LiveCycleResult{true, importFile.errorString()};
    }

    // Every tick line since the last cycle, in arrival order: each reaches exactly
    // one import however many batches arrived meanwhile.
    const QByteArray pending = takePendingTicks();

    int kept = 0;
    const QByteArray out = liveImportLines(pending, symbolMap, &kept, &m_secondSums);
    const bool written = importFile.write(out) == out.size();
    importFile.close();
    if (kept > 0 && (!written || importFile.error() != QFileDevice::NoError)) {
        // A full disk: the next cycle tries these lines again instead of losing them,
        // from the sums they started from.
        m_secondSums.discard();
        requeuePendingTicks(pending);
        qCWarning(lcAmi) << "incomplete import file; cycle skipped";
        return LiveCycleResult{true, importFile.errorString()};
    }
    m_secondSums.commit();
    if (kept == 0)
        return result;

    importIntoAmiBroker(rtImportPath, liveFormatPath);
    brokerCall("RefreshAll()");
    QThread::msleep(LiveCyclePauseMs);
    // The end of the cycle, its pause included.
    emit ticksImported(pending.count('\n'));
    return result;
}

void liveDataUpdator::finishLiveCycle(const LiveCycleResult &result)
{
    // The held-ticks state belongs to the updater's own thread, as its timer does.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, result] { finishLiveCycle(result); }, Qt::QueuedConnection);
        return;
    }
    setLiveImportBlocked(result.blocked, result.reason);
}

void liveDataUpdator::scheduleLiveImport()
{
    if (liveImportScheduled.exchange(true))
        return;
    // Behind whatever the automation object's thread has waiting: a backfill
    // import handed over meanwhile keeps its turn.
    QMetaObject::invokeMethod(
        m_brokerHome,
        [this] {
            liveImportScheduled = false;
            finishLiveCycle(runLiveCycle());
        },
        Qt::QueuedConnection);
}

void liveDataUpdator::importHeldTicks()
{
    heldTicksRetry->stop();
    if (hasPendingTicks())
        updateDataAmi();
}

void liveDataUpdator::setLiveImportBlocked(bool blocked, const QString &reason)
{
    if (blocked == liveImportIsBlocked)
        return;
    liveImportIsBlocked = blocked;
    if (blocked)
        heldTicksRetry->start();
    else
        heldTicksRetry->stop();
    if (blocked)
        emit liveImportBlocked(reason);
    else
        emit liveImportResumed();
}

bool liveDataUpdator::applySymbolMapping(const QString &source, const QString &target)
{
    if (source.isEmpty() || target.isEmpty())
        return false;
    const SymbolRenamer renamer(mappingOldToNew(readMappingEntries()));

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;

    QByteArray pending;
    pending.reserve(WriteFlushBytes + 65536);
    bool ok = true;
    const bool readOk = forEachLine(in, [&](const char *b, const char *e) {
        if (e > b && e[-1] == '\r')
            --e;
        renamer.appendMapped(b, e, pending);
        pending.append('\n');
        if (pending.size() >= WriteFlushBytes && !flushTo(out, pending)) {
            ok = false;
            return false;
        }
        return true;
    });
    ok = ok && readOk && flushTo(out, pending) && out.flush();
    out.close();
    if (!ok || out.error() != QFileDevice::NoError) {
        // A truncated copy would be imported as if whole.
        qCWarning(lcAmi) << "symbol mapping failed for" << source;
        QFile::remove(target);
        return false;
    }
    return true;
}

QString liveDataUpdator::chunkPath(int counter) const
{
    return QDir::toNativeSeparators(workFolder + QLatin1Char('/')
                                    + QLatin1String(BackfillWorkFiles::ChunkPrefix)
                                    + QStringLiteral("%1").arg(counter, 3, 10, QLatin1Char('0'))
                                    + QLatin1String(BackfillWorkFiles::ChunkSuffix));
}

void liveDataUpdator::pauseBeforeImport()
{
    // Gives the closed chunk time to settle before AmiBroker opens it; without
    // AmiBroker there is nobody to wait for.
    if (amiBroker)
        QThread::msleep(static_cast<unsigned long>(qMax(0, backfillLimits.pauseBeforeImportMs)));
}

bool liveDataUpdator::importChunkWithRetries(const QString &chunkPath)
{
    for (int attempt = 1; attempt <= backfillLimits.attempts; ++attempt) {
        if (!importIntoAmiBroker(chunkPath, backfillFormatPath).isNull())
            return true;
        // Waiting helps a busy AmiBroker, not a missing one, and not after the last try.
        if (amiBroker && attempt < backfillLimits.attempts)
            QThread::msleep(static_cast<unsigned long>(qMax(0, backfillLimits.retryPauseMs)));
    }
    return false;
}

void liveDataUpdator::chunkAndImport(const QString &sourcePath, const QString &fileToChunk, QFile &errorLog)
{
    QFile in(fileToChunk);
    if (!in.open(QIODevice::ReadOnly)) {
        appendErrorLine(errorLog, " - cannot open ", fileToChunk);
        return;
    }

    int counter = 1;
    QString currentPath = chunkPath(counter);
    QFile chunk(currentPath);
    if (!chunk.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        appendErrorLine(errorLog, " - cannot open chunk ", currentPath);
        return;
    }

    const qint64 limit = backfillLimits.chunkBytes;
    QByteArray pending;
    pending.reserve(WriteFlushBytes + 65536);
    qint64 bytes = 0;
    int chunkCount = 0;
    bool anyKept = false;
    bool chunkWhole = true; // every write of the current chunk reached the disk

    // Closes the chunk and imports it, unless it could not be written whole (a
    // full disk): a cut chunk would be imported as if whole. Either way it goes.
    auto finishChunk = [&](const char *importFailure) {
        chunkWhole = flushTo(chunk, pending) && chunkWhole;
        chunkWhole = chunk.flush() && chunkWhole;
        const qint64 size = chunk.size();
        chunk.close();
        chunkWhole = chunkWhole && chunk.error() == QFileDevice::NoError;
        chunk.unsetError();
        if (!chunkWhole) {
            appendErrorLine(errorLog, " - cannot write chunk ", currentPath);
        } else if (size > 0) {
            pauseBeforeImport();
            if (!importChunkWithRetries(currentPath))
                appendErrorLine(errorLog, importFailure, currentPath);
        }
        QFile::remove(currentPath);
        chunkWhole = true;
    };

    forEachLine(in, [&](const char *b, const char *e) {
        while (b < e && isBlank(*b))
            ++b;
        while (e > b && isBlank(e[-1]))
            --e;
        if (b == e)
            return true;
        const qint64 lineBytes = qint64(e - b) + 1;
        // "Failed" lines are error answers of the data server, never data.
        for (const char *p = b; e - p >= 6; ++p) {
            p = static_cast<const char *>(std::memchr(p, 'F', size_t(e - p - 5)));
            if (!p)
                break;
            if (std::memcmp(p, "Failed", 6) == 0)
                return true;
        }
        // An empty chunk takes the line whatever its length: a long line gets a
        // chunk of its own instead of an empty chunk being imported before it.
        if (bytes > 0 && bytes + lineBytes > limit) {
            finishChunk(" - failed to import ");
            ++chunkCount;
            if (chunkCount > backfillLimits.maxChunks) {
                appendErrorLine(errorLog, " - exceeded max chunks for ", sourcePath);
                return false;
            }
            ++counter;
            currentPath = chunkPath(counter);
            chunk.setFileName(currentPath);
            if (!chunk.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                appendErrorLine(errorLog, " - cannot open next chunk ", currentPath);
                return false;
            }
            bytes = 0;
        }
        pending.append(b, int(e - b));
        pending.append('\n');
        bytes += lineBytes;
        anyKept = true;
        if (pending.size() >= WriteFlushBytes)
            chunkWhole = flushTo(chunk, pending) && chunkWhole;
        return true;
    });
    in.close();

    if (!anyKept) {
        chunk.close();
        QFile::remove(currentPath);
        return;
    }
    if (chunk.isOpen())
        finishChunk(" - failed to import final ");
}

void liveDataUpdator::doBackFill()
{
    const QString folder = QDir::toNativeSeparators(backfillFolder);
    QDir dir(folder);
    if (!dir.exists()) {
        emit backfillDone();
        return;
    }
    QDir().mkpath(workFolder);
    const QStringList files = dir.entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Unsorted);
    if (files.isEmpty()) {
        emit backfillDone();
        return;
    }

    QFile errorLog(QDir(workFolder).filePath(QLatin1String(BackfillWorkFiles::ErrorLog)));
    if (!errorLog.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        qCWarning(lcAmi) << "cannot open the backfill error log";

    for (const QString &name : files) {
        // The window stays responsive between files of a long import.
        QCoreApplication::processEvents();

        const QString sourcePath = QDir::toNativeSeparators(dir.filePath(name));
        if (isJunkBackfillFile(sourcePath, 100)) {
            QFile::remove(sourcePath);
            continue;
        }
        const QString mappedPath = QDir::toNativeSeparators(
            workFolder + QLatin1Char('/') + QLatin1String(BackfillWorkFiles::ProcessedPrefix) + name);
        const bool mapped = applySymbolMapping(sourcePath, mappedPath);
        chunkAndImport(sourcePath, mapped ? mappedPath : sourcePath, errorLog);
        if (mapped)
            removeIfExists(mappedPath);
        QFile::remove(sourcePath);
    }

    errorLog.close();
    emit backfillDone();
}

void liveDataUpdator::doEodBackfill()
{
    const bool pending = QSettings().value(QLatin1String(Keys::Eod1yBackfillPending), false).toBool();
    QDir dir(backfillFolder);
    const QStringList files = dir.entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString &name : files) {
        const QString path = QDir::toNativeSeparators(dir.filePath(name));
        if (isJunkBackfillFile(path, 200)) {
            QFile::remove(path);
            continue;
        }
        QString symbol = name;
        if (symbol.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive))
            symbol.chop(4);
        if (!pending && eodSelectedOnly && !selectedSymbols.contains(symbol)) {
            QFile::remove(path);
            continue;
        }
        importIntoAmiBroker(path, eodFormatPath);
        QFile::remove(path);
    }
    dir.removeRecursively();
    QDir().mkpath(backfillFolder);
    emit eodBackfillDone();
}

void liveDataUpdator::do5DayFastBackfill()
{
}

void liveDataUpdator::run()
{
    // The import itself runs on the main thread, which hands its calls to AmiBroker over.
    if (runMode == 1)
        emit doeodbackfill();
}
