#include "livedataupdator.h"

#include "amibroker/backfillimporter.h"
#include "common/quotestamp.h"
#include "amibroker/symbolrenamer.h"
#include "common/installfiles.h"
#include "common/settingskeys.h"
#include "live/tickbuffer.h"
#include "live/tickline.h"
#include "platform/installroot.h"
#include "symbols/mappingstore.h"
#include "symbols/symbolselection.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QSettings>
#include <QTimer>
#include <QVector>

#include <cmath>
#include <limits>
#include <cstring>

Q_DECLARE_LOGGING_CATEGORY(lcAmi)

namespace {

constexpr int ReadBlockBytes = 1024 * 1024;
constexpr int LiveCyclePauseMs = 50;

qint64 countLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    qint64 lines = 0;
    char last = '\n';
    for (QByteArray block; !(block = file.read(ReadBlockBytes)).isEmpty();) {
        lines += block.count('\n');
        last = block.back();
    }
    return last == '\n' ? lines : lines + 1;
}

} // namespace

liveDataUpdator::liveDataUpdator(QObject *parent)
    : QThread(parent)
    , m_ticks(std::make_unique<TickBuffer>())
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

    heldImportPath = installPath(QLatin1String(InstallFiles::HeldImportFile));

    // The automation object is made on its own thread (COM initialises that thread's
    // apartment) and used and destroyed there only.
    qRegisterMetaType<BrokerLink::State>("BrokerLink::State");
    m_brokerThread = new QThread(this);
    m_brokerThread->setObjectName(QStringLiteral("amibroker"));
    m_brokerHome = new QObject;
    m_brokerHome->moveToThread(m_brokerThread);
    m_brokerThread->start();
    // What the automation thread tells is kept on this thread, for the window.
    connect(this, &liveDataUpdator::amiBrokerStateChanged, this,
            [this](BrokerLink::State state, const QDateTime &, qint64 held) {
                m_brokerState = state;
                m_heldTicksSeen = held;
            });
    onBrokerThread([this] {
        amiBroker = new BrokerLink(databasePath);
        m_importer = new BackfillImporter(amiBroker, BackfillImporter::Paths{backfillFolder, workFolder,
                                                                             backfillFormatPath, eodFormatPath});
        // Its jobs end on its thread; the window hears of them on this one.
        connect(m_importer, &BackfillImporter::intradayDone, this, &liveDataUpdator::backfillDone);
        connect(m_importer, &BackfillImporter::eodDone, this, &liveDataUpdator::eodBackfillDone);
        connect(m_importer, &BackfillImporter::waitingForDisk, this,
                [this] { emit backfillMessage(backfillPausedForDiskText()); });
        connect(m_importer, &BackfillImporter::diskRoomAgain, this,
                [this] { emit backfillMessage(backfillGoesOnText()); });
        connect(amiBroker, &BrokerLink::stateChanged, amiBroker,
                [this](BrokerLink::State state, const QDateTime &since) { brokerStateChanged(state, since); });
        // Lines held meanwhile go in with the next cycle.
        connect(amiBroker, &BrokerLink::answeringAgain, this, &liveDataUpdator::scheduleLiveImport,
                Qt::QueuedConnection);
        m_held.lines = countLines(heldImportPath);
        m_held.ticks = m_held.lines;
        m_held.fromEarlierRun = m_held.lines > 0;
        if (amiBroker->state() != BrokerLink::State::Answering)
            brokerStateChanged(amiBroker->state(), amiBroker->stateSince());
        else if (m_held.fromEarlierRun)
            publishBrokerState();
    });
    if (m_held.fromEarlierRun)
        qCInfo(lcAmi) << m_held.lines << "lines held for AmiBroker by an earlier run wait for the database to open";

    connect(this, &liveDataUpdator::doeodbackfill, this, &liveDataUpdator::doEodBackfill);

    heldTicksRetry = new QTimer(this);
    heldTicksRetry->setObjectName(QStringLiteral("heldTicksRetry"));
    heldTicksRetry->setInterval(HeldTicksRetryMs);
    connect(heldTicksRetry, &QTimer::timeout, this, &liveDataUpdator::scheduleLiveImport);
    if (m_held.fromEarlierRun)
        setHolding(true);
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
        delete m_importer;
        m_importer = nullptr;
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

Broker::Reply liveDataUpdator::brokerCall(const char *function, const QVariant &arg)
{
    Broker::Reply reply;
    onBrokerThread([&] {
        if (amiBroker)
            reply = amiBroker->call(QString::fromUtf8(function), arg);
    });
    return reply;
}

void liveDataUpdator::loadDatabase()
{
    QMetaObject::invokeMethod(
        m_brokerHome,
        [this] {
            if (!amiBroker || amiBroker->loadDatabase().unanswered())
                return; // a new object opens it when AmiBroker is back
            if (m_held.fromEarlierRun) {
                m_held.fromEarlierRun = false;
                QMetaObject::invokeMethod(this, &liveDataUpdator::scheduleLiveImport, Qt::QueuedConnection);
            }
        },
        Qt::QueuedConnection);
}

Broker::Reply liveDataUpdator::importReply(const QString &file, const QString &formatFile)
{
    // One pass over the placeholders, so a "%" in a path is never read as one.
    const QByteArray call = QStringLiteral("Import(%1,%2,%3)").arg(QString::number(0), file, formatFile).toUtf8();
    return brokerCall(call.constData());
}

QVariant liveDataUpdator::importIntoAmiBroker(QString file, QString formatFile)
{
    const Broker::Reply reply = importReply(file, formatFile);
    return reply.done() ? reply.value : QVariant();
}

void liveDataUpdator::updateDataAmi()
{
    LiveCycleResult result;
    onBrokerThread([&] { result = runLiveCycle(); });
    finishLiveCycle(result);
}

liveDataUpdator::LiveCycleResult liveDataUpdator::runLiveCycle()
{
    symbolMap = mappingOldToNew(readMappingEntries());

    // While lines are held for AmiBroker, new ones join them, in stream order.
    const bool holding = m_held.lines > 0;
    const QString path = holding ? heldImportPath : rtImportPath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile importFile(path);
    // Opened before the ticks are taken: when it cannot be written they stay
    // queued for the next cycle instead of being lost.
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Text
                                     | (holding ? QIODevice::Append : QIODevice::Truncate);
    if (!importFile.open(mode)) {
        qCWarning(lcAmi) << "cannot write" << path;
        return LiveCycleResult{true, importFile.errorString(), holding};
    }
    const qint64 heldBytes = importFile.size();

    // Every tick line since the last cycle, in arrival order: each reaches exactly
    // one import however many batches arrived meanwhile.
    const QByteArray pending = m_ticks->takePending();
    const int ticks = pending.count('\n');

    int kept = 0;
    const QByteArray out = liveImportLines(pending, symbolMap, &kept, &m_secondSums);
    const bool written = importFile.write(out) == out.size() && importFile.flush();
    importFile.close();
    // Lines that can be neither imported nor kept go back to the queue, to be tried
    // again from the sums they started from.
    auto giveBack = [&](const QString &reason) {
        m_secondSums.discard();
        m_ticks->requeue(pending);
        if (holding)
            QFile::resize(path, heldBytes); // what was held before stays whole
        return LiveCycleResult{true, reason, holding};
    };
    if (kept > 0 && (!written || importFile.error() != QFileDevice::NoError)) {
        // A full disk: the next cycle tries these lines again instead of losing them.
        qCWarning(lcAmi) << "incomplete import file; cycle skipped";
        return giveBack(importFile.errorString());
    }
    if (holding) {
        m_secondSums.commit();
        m_held.lines += kept;
        m_held.ticks += ticks;
        m_episodeTicks += ticks;
        if (m_held.fromEarlierRun) {
            publishBrokerState();
            return LiveCycleResult{false, QString(), true};
        }
    } else if (kept == 0) {
        m_secondSums.commit();
        return LiveCycleResult();
    }

    const Broker::Reply reply = importReply(path, liveFormatPath);
    if (reply.unanswered()) {
        if (!holding) {
            if (!holdLines(path, kept, ticks))
                return giveBack(QStringLiteral("the lines AmiBroker did not take cannot be kept in %1")
                                    .arg(QDir::toNativeSeparators(heldImportPath)));
            m_secondSums.commit();
        }
        publishBrokerState();
        return LiveCycleResult{false, QString(), true};
    }
    if (!holding)
        m_secondSums.commit();
    const qint64 taken = holding ? m_held.ticks : ticks;
    if (reply.outcome == Broker::Outcome::Failed)
        qCWarning(lcAmi) << "AmiBroker could not import" << path << "(" << taken << "ticks )";
    if (holding)
        heldImported();
    brokerCall("RefreshAll()");
    QThread::msleep(LiveCyclePauseMs);
    // The end of the cycle, its pause included.
    if (reply.done())
        emit ticksImported(int(qMin<qint64>(taken, std::numeric_limits<int>::max())));
    return LiveCycleResult();
}

bool liveDataUpdator::holdLines(const QString &file, qint64 lines, qint64 ticks)
{
    // A rename keeps them in one step; where it cannot (a file in the way), a copy.
    QFile::remove(heldImportPath);
    if (!QFile::rename(file, heldImportPath)) {
        QFile from(file);
        QFile to(heldImportPath);
        bool ok = from.open(QIODevice::ReadOnly) && to.open(QIODevice::WriteOnly | QIODevice::Truncate);
        while (ok && !from.atEnd()) {
            const QByteArray block = from.read(ReadBlockBytes);
            ok = !block.isEmpty() && to.write(block) == block.size();
        }
        ok = ok && to.flush();
        to.close();
        if (!ok || to.error() != QFileDevice::NoError) {
            qCWarning(lcAmi) << "cannot keep the lines AmiBroker did not take in" << heldImportPath << to.errorString();
            QFile::remove(heldImportPath);
            return false;
        }
    }
    m_held.lines = lines;
    m_held.ticks = ticks;
    m_episodeTicks += ticks;
    qCInfo(lcAmi) << "AmiBroker did not take" << ticks << "ticks; holding them in" << heldImportPath;
    return true;
}

void liveDataUpdator::heldImported()
{
    const Held held = m_held;
    m_held = Held();
    QFile::remove(heldImportPath);
    qCInfo(lcAmi) << "imported" << held.ticks << "held ticks";
    if (m_episodeStart.isValid()) {
        if (amiBroker->state() == BrokerLink::State::Answering)
            brokerStateChanged(BrokerLink::State::Answering, amiBroker->stateSince());
    } else {
        // Lines an earlier run of the program left behind.
        emit amiBrokerMessage(QStringLiteral("%1 held for AmiBroker by the last run imported")
                                  .arg(held.ticks == 1 ? QStringLiteral("1 tick")
                                                       : QStringLiteral("%1 ticks").arg(QLocale(QLocale::English).toString(held.ticks))));
        publishBrokerState();
    }
}

void liveDataUpdator::brokerStateChanged(BrokerLink::State state, const QDateTime &since)
{
    if (state != BrokerLink::State::Answering) {
        if (!m_episodeStart.isValid()) {
            m_episodeStart = since;
            m_episodeWasGone = false;
            m_episodeTicks = 0;
        }
        if (state == BrokerLink::State::Gone)
            m_episodeWasGone = true;
    } else if (m_episodeStart.isValid() && m_held.lines == 0) {
        // Said once per episode, when nothing is left waiting; a dialog that went
        // away before anything had to be held is no news.
        if (m_episodeTicks > 0 || m_episodeWasGone) {
            const QString at = QStringLiteral("HH:mm:ss");
            const QString ticks = m_episodeTicks == 1 ? QStringLiteral("1 tick")
                                                      : QStringLiteral("%1 ticks").arg(QLocale(QLocale::English).toString(m_episodeTicks));
            emit amiBrokerMessage(m_episodeTicks > 0
                                      ? QStringLiteral("AmiBroker stopped answering at %1; %2 held and imported when it "
                                                       "answered again at %3")
                                            .arg(m_episodeStart.toString(at), ticks,
                                                 QDateTime::currentDateTime().toString(at))
                                      : QStringLiteral("AmiBroker stopped answering at %1 and answered again at %2")
                                            .arg(m_episodeStart.toString(at), QDateTime::currentDateTime().toString(at)));
        }
        m_episodeStart = QDateTime();
        m_episodeTicks = 0;
    }
    publishBrokerState();
}

void liveDataUpdator::publishBrokerState()
{
    if (!amiBroker)
        return;
    emit amiBrokerStateChanged(amiBroker->state(), amiBroker->stateSince(), m_held.ticks);
}

void liveDataUpdator::finishLiveCycle(const LiveCycleResult &result)
{
    // The held-ticks state belongs to the updater's own thread, as its timer does.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, result] { finishLiveCycle(result); }, Qt::QueuedConnection);
        return;
    }
    setLiveImportBlocked(result.blocked, result.reason);
    setHolding(result.holding);
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
    // AmiBroker must not be started again for a program on its way out; lines it
    // cannot take now stay held for the next start.
    onBrokerThread([this] {
        if (amiBroker)
            amiBroker->stopRecreating();
    });
    if (m_ticks->hasPending() || m_holding)
        updateDataAmi();
}

void liveDataUpdator::setHolding(bool holding)
{
    m_holding = holding;
    // The same retry that brings ticks the import file could not take brings lines
    // held for AmiBroker in once it answers.
    if (liveImportIsBlocked || m_holding)
        heldTicksRetry->start();
    else
        heldTicksRetry->stop();
}

void liveDataUpdator::setLiveImportBlocked(bool blocked, const QString &reason)
{
    if (blocked == liveImportIsBlocked)
        return;
    liveImportIsBlocked = blocked;
    if (blocked || m_holding)
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
    return BackfillImporter::applySymbolMapping(source, target);
}

void liveDataUpdator::doBackFill()
{
    const BackfillLimits limits = backfillLimits;
    QMetaObject::invokeMethod(m_importer, [this, limits] { m_importer->importIntraday(limits); }, Qt::QueuedConnection);
}

void liveDataUpdator::setSelection(const SymbolSelection *selection)
{
    m_selection = selection;
}

void liveDataUpdator::doEodBackfill()
{
    const bool pending = QSettings().value(QLatin1String(Keys::Eod1yBackfillPending), false).toBool();
    const QStringList selected = m_selection ? m_selection->symbols() : QStringList();
    const bool selectedOnly = eodSelectedOnly;
    QMetaObject::invokeMethod(
        m_importer, [this, selected, selectedOnly, pending] { m_importer->importEod(selected, selectedOnly, pending); },
        Qt::QueuedConnection);
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
