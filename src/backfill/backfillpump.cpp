#include "backfillpump.h"

#include "amibroker/livedataupdator.h"
#include "api/serverprofile.h"
#include "common/installfiles.h"
#include "common/messagebox.h"
#include "common/settingskeys.h"
#include "backfill/backfillurls.h"
#include "symbols/symbolselection.h"
#include "backfill/mydownloader.h"
#include "platform/installroot.h"
#include "symbols/mappingstore.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

#include <algorithm>

Q_LOGGING_CATEGORY(lcBackfill, "quillmark.backfill", QtInfoMsg)

namespace {

const char ButtonBackfill[] = "Backfill";
const char ButtonStop[] = "Stop";
const char ButtonInitiated[] = "Backfill Initiated";

bool g_longBackfillWarned = false;

QString text(const char *value)
{
    return QString::fromUtf8(value);
}

QString backfillDestination()
{
    return Platform::installPathFwd(QLatin1String(InstallFiles::BackfillFolder)) + QLatin1Char('/');
}

bool autoEodWanted()
{
    return QSettings().value(QLatin1String(Keys::AutoEodBackfill), true).toBool();
}

void storeEodPending(bool pending)
{
    QSettings store;
    store.setValue(QLatin1String(Keys::Eod1yBackfillPending), pending);
    store.sync();
}

// Leaves nothing of an earlier job for the next import to pick up: the unpacked
// files, and the import's chunks and mapped copies (its error log stays).
void cleanBackfillFolders()
{
    const QDir::Filters files = QDir::Files | QDir::Hidden | QDir::System;
    QDir backfill(Platform::installPathFwd(QLatin1String(InstallFiles::BackfillFolder)));
    if (backfill.exists()) {
        const QStringList names = backfill.entryList(files);
        for (const QString &name : names)
            backfill.remove(name);
    }
    QDir work(Platform::installPathFwd(QLatin1String(InstallFiles::WorkFolder)));
    if (work.exists()) {
        const QStringList names = work.entryList(files);
        for (const QString &name : names) {
            if (name.startsWith(QLatin1String(BackfillWorkFiles::ChunkPrefix))
                || name.startsWith(QLatin1String(BackfillWorkFiles::ProcessedPrefix)))
                work.remove(name);
        }
    }
}

// Everything a URL needs from the server's profile, read once per batch of jobs.
struct UrlParts
{
    QString scheme;
    QString path;
    QString eod1yPath;
    QString clientId;
    QString secureKey;
    QVector<MappingEntry> mapping;

    UrlParts(const ServerProfile &profile, bool slowWanted)
        : scheme(profile.urlScheme)
        , path(BackfillUrls::chosenPath(profile.backfillPath, profile.backfillPathSlow, slowWanted))
        , eod1yPath(profile.eod1yPath)
        , clientId(profile.clientId)
        , secureKey(profile.secureKey)
        , mapping(readMappingEntries())
    {
    }

    QString intraday(const QString &symbol, const QString &days) const
    {
        return BackfillUrls::intradayUrl(scheme, path, clientId, secureKey, days,
                                         BackfillUrls::symbolText(symbol, mapping));
    }
    QString eod1y(const QString &symbol) const
    {
        return BackfillUrls::eod1yUrl(scheme, eod1yPath, clientId, secureKey, BackfillUrls::symbolText(symbol, mapping));
    }
    // Intraday jobs for the symbols, each followed by its one-year end-of-day job when wanted.
    void append(QStringList &queue, const QStringList &symbols, const QString &days, bool withEod) const
    {
        for (const QString &symbol : symbols) {
            queue.append(intraday(symbol, days));
            if (withEod && !eod1yPath.isEmpty())
                queue.append(eod1y(symbol));
        }
    }
};

} // namespace

BackfillPump::BackfillPump(const Parts &parts, QObject *parent)
    : QObject(parent)
    , m_updater(parts.updater)
    , m_downloader(parts.downloader)
    , m_profile(parts.profile)
    , m_selection(parts.selection)
    , m_enabledExchanges(parts.enabledExchanges)
    , m_slowWanted(parts.slowWanted)
    , m_widgets(parts.widgets)
    , m_continueTimer(new QTimer(this))
    , m_words(new QObject(this))
{
    m_continueTimer->setObjectName(QStringLiteral("backfillContinuation"));
    m_continueTimer->setSingleShot(true);
    m_continueTimer->setInterval(NextJobAfterFailureMs);
    connect(m_continueTimer, &QTimer::timeout, this, &BackfillPump::afterFailure);

    // The clean-up runs before the downloader's own abort, which it connects
    // only when it sends its first request.
    connect(m_downloader->timeoutTimer, &QTimer::timeout, this, &BackfillPump::downloadTimedOut,
            Qt::UniqueConnection);
    // A finished import first resets the button, then the pump sets it for the next
    // job. Which job an import belongs to is the pump's state, so these stay connected.
    connect(m_updater, &liveDataUpdator::backfillDone, this, &BackfillPump::showImportDone);
    connect(m_updater, &liveDataUpdator::backfillDone, this, &BackfillPump::intradayImportDone);
    connect(m_updater, &liveDataUpdator::eodBackfillDone, this, &BackfillPump::eodImportDone);
    // What the downloader says for the trader is told whatever job it runs: these
    // hang on a context of their own, which the per-job disconnects leave alone.
    connect(m_downloader, &MyDownloader::refused, m_words, [this](const QString &reason) { archiveRefused(reason); });
    connect(m_downloader, &MyDownloader::waitingForDisk, m_words, [this] { waitingForDisk(); });
    connect(m_downloader, &MyDownloader::diskRoomAgain, m_words, [this] { diskRoomAgain(); });
}

BackfillPump::~BackfillPump() = default;

void BackfillPump::archiveRefused(const QString &reason)
{
    const QString symbols = BackfillUrls::sentSymbols(m_downloader->currentUrl().toString());
    emit message(symbols.isEmpty() ? QStringLiteral("Backfill refused: %1").arg(reason)
                                              : QStringLiteral("Backfill for %1 refused: %2").arg(symbols, reason));
}

void BackfillPump::waitingForDisk()
{
    // The job's transfer is over; its clock must not drop it while it waits.
    m_downloader->timeoutTimer->stop();
    emit message(backfillPausedForDiskText());
}

void BackfillPump::diskRoomAgain()
{
    emit message(backfillGoesOnText());
}

bool BackfillPump::longBackfillWarned()
{
    return g_longBackfillWarned;
}

void BackfillPump::setLongBackfillWarned(bool warned)
{
    g_longBackfillWarned = warned;
}

QStringList BackfillPump::backfillableSymbols() const
{
    QStringList kept;
    const QStringList feeds = m_enabledExchanges();
    const QStringList &symbols = m_selection->symbols();
    const QStringList &exchanges = m_selection->exchanges();
    for (int i = 0; i < symbols.size(); ++i) {
        if (feeds.contains(exchanges.value(i)))
            kept << symbols.at(i);
    }
    std::stable_sort(kept.begin(), kept.end(), [](const QString &a, const QString &b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    return kept;
}

void BackfillPump::enqueue(const QString &url)
{
    m_queue.append(url);
}

void BackfillPump::setButton(const char *caption, bool enabled)
{
    m_widgets.button->setText(text(caption));
    m_widgets.button->setEnabled(enabled);
}

void BackfillPump::disconnectDownloader()
{
    disconnect(m_downloader, nullptr, m_updater, nullptr);
    disconnect(m_downloader, nullptr, this, nullptr);
}

void BackfillPump::startRun(bool automatic)
{
    // A new run supersedes whatever was handed out, and a next job that was
    // about to follow a failure: that job is this run's now.
    m_continueTimer->stop();
    m_failedDialogJob = false;
    if (m_state == State::DialogJob)
        abandonDialogJob();
    m_stopAfterDialog = false;
    m_state = State::Idle;
    m_autoRunning = automatic;
    pump();
}

void BackfillPump::endRun()
{
    m_state = State::Idle;
    m_busy = false;
    m_currentJobIsEod = false;
    m_barPrepared = false;
    m_textVisible = false;
    m_lastIntradaySymbols.clear();
    m_autoRunning = false;
}

void BackfillPump::abandonDialogJob()
{
    disconnectDownloader();
    m_state = State::Idle;
}

void BackfillPump::startupRun()
{
    const bool autoEod = autoEodWanted();
    m_queue.clear();
    const UrlParts parts(*m_profile, m_slowWanted());
    parts.append(m_queue, backfillableSymbols(), m_widgets.autoDays->currentText(), autoEod);

    QSettings store;
    store.setValue(QLatin1String(Keys::LastIntradaySymbols), m_selection->symbols());
    store.setValue(QLatin1String(Keys::Eod1yBackfillPending), autoEod);
    store.sync();

    m_eodChainPending = autoEod;
    startRun(true);
}

void BackfillPump::backfillNewSymbols(const QStringList &symbols)
{
    if (symbols.isEmpty())
        return;
    const int days = BackfillUrls::autoDays(m_widgets.autoDays->currentText());
    // Anything running (a queued run, the dialog's job) takes these jobs afterwards.
    const bool idle = m_state == State::Idle;
    UrlParts(*m_profile, m_slowWanted()).append(m_queue, symbols, QString::number(days), autoEodWanted());
    if (idle)
        startRun(true);
}

int BackfillPump::fillGap(qint64 outageMs)
{
    if (outageMs < m_gapFillRules.minOutageMs)
        return 0;
    if (!QSettings().value(QLatin1String(Keys::GapFillEnabled), true).toBool())
        return 0;
    if (m_lastGapFill.isValid() && m_lastGapFill.elapsed() < m_gapFillRules.minSpacingMs) {
        qCInfo(lcBackfill) << "outage of" << outageMs << "ms: the last gap fill is too recent";
        return 0;
    }
    const QStringList symbols = backfillableSymbols();
    if (symbols.isEmpty())
        return 0;
    m_lastGapFill.start();

    // The same request as a row's "Backfill" for one day; anything running goes first.
    const bool idle = m_state == State::Idle;
    UrlParts(*m_profile, m_slowWanted()).append(m_queue, symbols, QStringLiteral("1"), false);
    const qint64 seconds = qRound64(double(outageMs) / 1000.0);
    emit message(symbols.size() == 1
                                ? QStringLiteral("Connection lost for %1 s; filling the gap for 1 symbol").arg(seconds)
                                : QStringLiteral("Connection lost for %1 s; filling the gap for %2 symbols")
                                      .arg(seconds)
                                      .arg(symbols.size()));
    if (idle)
        startRun(true);
    return symbols.size();
}

void BackfillPump::mainButtonClicked()
{
    QPushButton *button = m_widgets.button;
    if (button->text() == text(ButtonInitiated))
        setButton(ButtonBackfill, true);
    if (button->text() == text(ButtonStop)) {
        // The current job completes; the pump stops before the next one.
        if (m_state == State::DialogJob)
            m_stopAfterDialog = true;
        else if (m_state == State::QueueJob)
            m_state = State::Stopping;
        return;
    }

    m_queue.clear();
    if (m_updater->isRunning()) {
        m_updater->terminate();
        m_updater->wait();
    }
    UrlParts(*m_profile, m_slowWanted()).append(m_queue, backfillableSymbols(), m_widgets.days->currentText(),
                               false);
    storeEodPending(false);
    m_eodChainPending = false;
    startRun(false);
}

void BackfillPump::rowButtonClicked(const QString &symbol, const QString &exchange)
{
    // Checked before the queue is touched: a refused click must not cut short a
    // run that is going on.
    if (!m_enabledExchanges().contains(exchange) || !m_selection->contains(symbol))
        return;
    QStringList &queue = m_queue;
    queue.clear();
    queue.append(UrlParts(*m_profile, m_slowWanted()).intraday(symbol, m_widgets.days->currentText()));
    startRun(false);
}

void BackfillPump::pump()
{
    if (m_busy)
        return;
    m_busy = true;
    m_continueTimer->stop();
    m_failedDialogJob = false;
    // Whoever pumps now replaces the dialog's download with a queued job.
    if (m_state == State::DialogJob)
        abandonDialogJob();
    m_widgets.button->setEnabled(false);

    if (!m_autoRunning && !g_longBackfillWarned) {
        bool ok = false;
        const int days = m_widgets.days->currentText().toInt(&ok, 10);
        if (ok && days > LongBackfillDays) {
            g_longBackfillWarned = true;
            showMessageBox(m_widgets.button->window(), 2, QStringLiteral("Performance Warning"),
                           QStringLiteral("Downloading more than 60 days Backfill might slow down performance."),
                           QMessageBox::Ok);
        }
    }

    if (m_state == State::Stopping) {
        disconnectDownloader();
        setButton(ButtonBackfill, true);
        m_queue.clear();
        m_downloader->retryTimer->stop();
        endRun();
        qCInfo(lcBackfill) << "backfill stopped by the user";
        return;
    }

    cleanBackfillFolders();

    if (m_queue.isEmpty()) {
        m_downloader->retryTimer->stop();
        m_widgets.bar->setValue(100);
        m_widgets.bar->setFormat(QStringLiteral("\u2713 Full Backfill Complete"));
        m_widgets.bar->setStyleSheet(text(BackfillUrls::IntradayStyle));
        setButton(ButtonBackfill, true);
        endRun();
        return;
    }

    const QString url = m_queue.takeFirst();
    const bool eodJob = BackfillUrls::isEodJob(url, m_profile->eod1yPath);
    const QString symbols = BackfillUrls::sentSymbols(url);
    if (!eodJob)
        m_lastIntradaySymbols = symbols;
    m_currentJobIsEod = eodJob;

    if (!m_barPrepared) {
        m_barPrepared = true;
        if (!m_textVisible) {
            m_widgets.bar->setTextVisible(true);
            m_textVisible = true;
        }
        m_widgets.bar->setValue(0);
        if (eodJob) {
            m_widgets.bar->setStyleSheet(text(BackfillUrls::EodStyle));
            m_widgets.bar->setFormat(QStringLiteral("EOD Backfill: %1...").arg(m_lastIntradaySymbols));
        } else {
            m_widgets.bar->setStyleSheet(text(BackfillUrls::IntradayStyle));
            m_widgets.bar->setFormat(QStringLiteral("Intraday Backfill: %1...").arg(symbols));
        }
    }

    qCDebug(lcBackfill) << (eodJob ? "end-of-day job" : "intraday job") << symbols;
    m_downloader->initialize(BackfillUrls::jobFileName(m_profile->clientId), url, backfillDestination(), 0);
    m_downloader->retryTimer->stop();

    disconnectDownloader();
    if (eodJob)
        connect(m_downloader, &MyDownloader::downloadfinished, m_updater, &liveDataUpdator::doEodBackfill,
                Qt::UniqueConnection);
    else
        connect(m_downloader, &MyDownloader::downloadfinished, m_updater, &liveDataUpdator::doBackFill,
                Qt::UniqueConnection);
    connect(m_downloader, &MyDownloader::responseError, this, &BackfillPump::jobFailed, Qt::UniqueConnection);
    connect(m_downloader, &MyDownloader::updateProgress2, this, &BackfillPump::updateProgress, Qt::UniqueConnection);

    setButton(ButtonStop, true);
    m_downloader->retryTimer->start(RequestDelayMs);
    m_downloader->timeoutTimer->start(MyDownloader::TransferTimeoutMs);
    m_state = State::QueueJob;
    m_busy = false;
}

void BackfillPump::updateProgress(const QString &progress, const QString &speed)
{
    QProgressBar *bar = m_widgets.bar;
    bar->setValue(BackfillUrls::progressValue(progress));
    const auto *source = qobject_cast<const MyDownloader *>(sender());
    if (!source)
        source = m_downloader;
    bar->setFormat(BackfillUrls::progressCaption(BackfillUrls::sentSymbols(source->currentUrl().toString()), speed));
}

void BackfillPump::jobFailed()
{
    m_downloader->retryTimer->stop();
    m_downloader->timeoutTimer->stop();
    cleanBackfillFolders();
    m_downloader->fileName.clear();
    setButton(ButtonBackfill, true);
    m_autoRunning = false;

    if (m_state == State::DialogJob) {
        // The dialog's job is not part of a run: pumping an empty queue after it
        // would report a full backfill as complete although this one failed.
        disconnectDownloader();
        m_failedDialogJob = true;
        m_state = State::Idle;
        if (m_stopAfterDialog)
            m_queue.clear();
        else if (!m_queue.isEmpty())
            m_state = State::QueueJob; // jobs added meanwhile follow it
        m_stopAfterDialog = false;
    }
    // Later than the downloader's own retry, which it schedules after reporting.
    m_continueTimer->start();
}

void BackfillPump::afterFailure()
{
    if (m_failedDialogJob) {
        m_failedDialogJob = false;
        m_widgets.bar->setFormat(QStringLiteral("EOD Backfill Failed"));
    }
    if (m_state == State::Idle) {
        // Nothing follows; the failed job is given up, retries included.
        m_downloader->retryTimer->stop();
        return;
    }
    pump();
}

void BackfillPump::downloadTimedOut()
{
    m_downloader->retryTimer->stop();
    m_downloader->timeoutTimer->stop();
    jobFailed();
}

void BackfillPump::showImportDone()
{
    setButton(ButtonBackfill, true);
}

void BackfillPump::intradayImportDone()
{
    if (m_state == State::QueueJob || m_state == State::Stopping)
        pump();
}

void BackfillPump::eodImportDone()
{
    if (m_state == State::DialogJob)
        dialogJobDone();
    else if (m_state == State::QueueJob || m_state == State::Stopping)
        pump();
}

void BackfillPump::dialogJobRequested(const QString &symbol, bool selectedOnly)
{
    m_updater->eodSelectedOnly = selectedOnly;
    storeEodPending(false);
    disconnectDownloader();

    if (m_widgets.button->text() == text(ButtonStop)) {
        m_downloader->retryTimer->stop();
        setButton(ButtonBackfill, true);
        m_widgets.bar->setFormat(QStringLiteral("Backfill Stopped"));
        // The running job has just lost its connections and can never pull the
        // next one: end the run, or later runs would wait behind a stale queue.
        m_downloader->timeoutTimer->stop();
        m_queue.clear();
        m_continueTimer->stop();
        m_stopAfterDialog = false;
        endRun();
        return;
    }

    // A queued job about to follow a failure waits behind this one instead of
    // replacing its download.
    m_continueTimer->stop();
    m_failedDialogJob = false;

    const bool slow = m_slowWanted();
    const ServerProfile &profile = (*m_profile);
    const QString base = BackfillUrls::chosenPath(profile.backfillPath, profile.backfillPathSlow, slow);
    const QString url = BackfillUrls::eodArchiveUrl(base, profile.oneDayBackfillPath,
                                                    serverNameFor(symbol, readMappingEntries()), QDate::currentDate());
    qCInfo(lcBackfill) << "end-of-day archive" << url;

    m_widgets.bar->setValue(0);
    m_widgets.bar->setFormat(QStringLiteral("Starting EOD Backfill..."));
    m_downloader->initialize(QLatin1String(InstallFiles::BackfillArchive), url, backfillDestination(), 0);

    connect(m_downloader, &MyDownloader::downloadfinished, this, &BackfillPump::dialogDownloadFinished,
            Qt::UniqueConnection);
    connect(m_downloader, &MyDownloader::downloadfinished, m_downloader->retryTimer, &QTimer::stop, Qt::UniqueConnection);
    connect(m_downloader, &MyDownloader::responseError, this, &BackfillPump::jobFailed, Qt::UniqueConnection);
    connect(m_downloader, &MyDownloader::updateProgress2, this, &BackfillPump::dialogProgress, Qt::UniqueConnection);

    setButton(ButtonStop, true);
    m_state = State::DialogJob;
    m_stopAfterDialog = false;
    m_downloader->retryTimer->start(DialogRequestDelayMs);
}

void BackfillPump::dialogProgress(const QString &progress, const QString &speed)
{
    QProgressBar *bar = m_widgets.bar;
    bar->setFormat(QStringLiteral("Downloading: %1 (%2)").arg(progress, speed));
    int value = 0;
    if (BackfillUrls::dialogProgressValue(progress, &value))
        bar->setValue(value);
}

void BackfillPump::dialogDownloadFinished()
{
    // The previous request's thread only emits one signal; let it end so start()
    // is not silently ignored.
    if (m_updater->isRunning())
        m_updater->wait();
    m_updater->runMode = 1;
    m_updater->start(QThread::InheritPriority);
}

void BackfillPump::dialogJobDone()
{
    m_widgets.bar->setValue(100);
    m_widgets.bar->setFormat(QStringLiteral("EOD Backfill Done"));
    setButton(ButtonBackfill, true);
    disconnect(m_downloader, &MyDownloader::downloadfinished, this, &BackfillPump::dialogDownloadFinished);
    connect(m_downloader, &MyDownloader::downloadfinished, m_updater, &liveDataUpdator::doBackFill,
            Qt::UniqueConnection);
    QFile::remove(Platform::installPath(QLatin1String(InstallFiles::BackfillArchive)));

    m_state = State::Idle;
    QStringList &queue = m_queue;
    if (m_stopAfterDialog)
        queue.clear();
    m_stopAfterDialog = false;
    // Jobs added while the dialog's job ran go on now.
    if (!queue.isEmpty())
        pump();
}
