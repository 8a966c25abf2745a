#include "backfillpump.h"

#include "app/quillmark2.h"
#include "ui_quillmark2.h"

#include "amibroker/livedataupdator.h"
#include "app/installfiles.h"
#include "app/messagebox.h"
#include "app/settingskeys.h"
#include "backfill/backfillurls.h"
#include "symbols/symbolselection.h"
#include "backfill/mydownloader.h"
#include "platform/installroot.h"
#include "symbols/mappingstore.h"
#include "ui/settings.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>

Q_LOGGING_CATEGORY(lcBackfill, "quillmark.backfill", QtInfoMsg)

namespace {

// Column of the selected-symbols table that holds each row's "Backfill" button.
constexpr int BackfillButtonColumn = 3;

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

// Everything a URL needs from the window, read once per batch of jobs.
struct UrlParts
{
    QString scheme;
    QString path;
    QString eod1yPath;
    QString clientId;
    QString secureKey;
    QVector<MappingEntry> mapping;

    explicit UrlParts(const quillmark2 &window)
        : scheme(window.profile().urlScheme)
        , path(BackfillUrls::chosenPath(window.profile().backfillPath, window.profile().backfillPathSlow,
                                        window.settingsDialog && window.settingsDialog->slowBackfillFlag))
        , eod1yPath(window.profile().eod1yPath)
        , clientId(window.profile().clientId)
        , secureKey(window.profile().secureKey)
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

// Symbols of the selected-symbols table that may be backfilled: an enabled feed
// and still selected. Sorted ignoring case.
QStringList tableSymbols(const quillmark2 &window)
{
    QStringList kept;
    const QStringList feeds = window.enabledFeedExchanges();
    const QTableWidget *table = window.ui->displayTableWidget;
    for (int row = 0; row < table->rowCount(); ++row) {
        const auto *button = qobject_cast<const QPushButton *>(table->cellWidget(row, BackfillButtonColumn));
        if (!button)
            continue;
        const QString symbol = button->objectName();
        const QString exchange = button->property("exchName").toString();
        if (feeds.contains(exchange) && window.selection()->contains(symbol))
            kept << symbol;
    }
    std::stable_sort(kept.begin(), kept.end(), [](const QString &a, const QString &b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    return kept;
}

} // namespace

BackfillPump::BackfillPump(quillmark2 *window)
    : QObject(window)
    , m_window(window)
    , m_continueTimer(new QTimer(this))
{
    m_continueTimer->setObjectName(QStringLiteral("backfillContinuation"));
    m_continueTimer->setSingleShot(true);
    m_continueTimer->setInterval(NextJobAfterFailureMs);
    connect(m_continueTimer, &QTimer::timeout, this, &BackfillPump::afterFailure);

    // The clean-up runs before the downloader's own abort, which it connects
    // only when it sends its first request.
    connect(m_window->downloader->timeoutTimer, &QTimer::timeout, this, &BackfillPump::downloadTimedOut,
            Qt::UniqueConnection);
    // Which job an import belongs to is the pump's state, so these stay connected.
    connect(m_window->updater, &liveDataUpdator::backfillDone, this, &BackfillPump::intradayImportDone);
    connect(m_window->updater, &liveDataUpdator::eodBackfillDone, this, &BackfillPump::eodImportDone);
    // What the downloader says for the trader goes to the messages panel whatever
    // job it runs (the per-job connections to the pump come and go).
    MyDownloader *downloader = m_window->downloader;
    QObject *panel = m_window->ui->messageBox;
    connect(downloader, &MyDownloader::refused, panel, [this](const QString &reason) { archiveRefused(reason); });
    connect(downloader, &MyDownloader::waitingForDisk, panel, [this] { waitingForDisk(); });
    connect(downloader, &MyDownloader::diskRoomAgain, panel, [this] { diskRoomAgain(); });
}

BackfillPump::~BackfillPump() = default;

void BackfillPump::archiveRefused(const QString &reason)
{
    const QString symbols = BackfillUrls::sentSymbols(m_window->downloader->currentUrl().toString());
    m_window->appendMessage(symbols.isEmpty() ? QStringLiteral("Backfill refused: %1").arg(reason)
                                              : QStringLiteral("Backfill for %1 refused: %2").arg(symbols, reason));
}

void BackfillPump::waitingForDisk()
{
    // The job's transfer is over; its clock must not drop it while it waits.
    m_window->downloader->timeoutTimer->stop();
    m_window->appendMessage(backfillPausedForDiskText());
}

void BackfillPump::diskRoomAgain()
{
    m_window->appendMessage(backfillGoesOnText());
}

bool BackfillPump::longBackfillWarned()
{
    return g_longBackfillWarned;
}

void BackfillPump::setLongBackfillWarned(bool warned)
{
    g_longBackfillWarned = warned;
}

void BackfillPump::setButton(const char *caption, bool enabled)
{
    m_window->ui->backfillButton->setText(text(caption));
    m_window->ui->backfillButton->setEnabled(enabled);
}

void BackfillPump::disconnectDownloader()
{
    disconnect(m_window->downloader, nullptr, m_window->updater, nullptr);
    disconnect(m_window->downloader, nullptr, this, nullptr);
    disconnect(m_window->downloader, nullptr, m_window, nullptr);
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
    liveDataUpdator *updater = m_window->updater;
    const bool autoEod = autoEodWanted();
    updater->backfillQueue.clear();
    const UrlParts parts(*m_window);
    parts.append(updater->backfillQueue, tableSymbols(*m_window), m_window->ui->autoFilldaysBox->currentText(),
                 autoEod);

    QSettings store;
    store.setValue(QLatin1String(Keys::LastIntradaySymbols), m_window->selection()->symbols());
    store.setValue(QLatin1String(Keys::Eod1yBackfillPending), autoEod);
    store.sync();

    m_eodChainPending = autoEod;
    startRun(true);
}

void BackfillPump::backfillNewSymbols(const QStringList &symbols)
{
    if (symbols.isEmpty())
        return;
    const int days = BackfillUrls::autoDays(m_window->ui->autoFilldaysBox->currentText());
    // Anything running (a queued run, the dialog's job) takes these jobs afterwards.
    const bool idle = m_state == State::Idle;
    UrlParts(*m_window).append(m_window->updater->backfillQueue, symbols, QString::number(days), autoEodWanted());
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
    const QStringList symbols = tableSymbols(*m_window);
    if (symbols.isEmpty())
        return 0;
    m_lastGapFill.start();

    // The same request as a row's "Backfill" for one day; anything running goes first.
    const bool idle = m_state == State::Idle;
    UrlParts(*m_window).append(m_window->updater->backfillQueue, symbols, QStringLiteral("1"), false);
    const qint64 seconds = qRound64(double(outageMs) / 1000.0);
    m_window->appendMessage(symbols.size() == 1
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
    QPushButton *button = m_window->ui->backfillButton;
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

    liveDataUpdator *updater = m_window->updater;
    updater->backfillQueue.clear();
    if (updater->isRunning()) {
        updater->terminate();
        updater->wait();
    }
    UrlParts(*m_window).append(updater->backfillQueue, tableSymbols(*m_window), m_window->ui->daysBox->currentText(),
                               false);
    storeEodPending(false);
    m_eodChainPending = false;
    startRun(false);
}

void BackfillPump::rowButtonClicked(const QString &symbol, const QString &exchange)
{
    // Checked before the queue is touched: a refused click must not cut short a
    // run that is going on.
    if (!m_window->enabledFeedExchanges().contains(exchange) || !m_window->selection()->contains(symbol))
        return;
    QStringList &queue = m_window->updater->backfillQueue;
    queue.clear();
    queue.append(UrlParts(*m_window).intraday(symbol, m_window->ui->daysBox->currentText()));
    startRun(false);
}

void BackfillPump::pump()
{
    Ui::quillmark2 *ui = m_window->ui;
    liveDataUpdator *updater = m_window->updater;
    MyDownloader *downloader = m_window->downloader;
    if (m_busy || !ui)
        return;
    m_busy = true;
    m_continueTimer->stop();
    m_failedDialogJob = false;
    // Whoever pumps now replaces the dialog's download with a queued job.
    if (m_state == State::DialogJob)
        abandonDialogJob();
    ui->backfillButton->setEnabled(false);

    if (!m_autoRunning && !g_longBackfillWarned) {
        bool ok = false;
        const int days = ui->daysBox->currentText().toInt(&ok, 10);
        if (ok && days > LongBackfillDays) {
            g_longBackfillWarned = true;
            showMessageBox(m_window, 2, QStringLiteral("Performance Warning"),
                           QStringLiteral("Downloading more than 60 days Backfill might slow down performance."),
                           QMessageBox::Ok);
        }
    }

    if (m_state == State::Stopping) {
        disconnectDownloader();
        setButton(ButtonBackfill, true);
        updater->backfillQueue.clear();
        downloader->retryTimer->stop();
        endRun();
        qCInfo(lcBackfill) << "backfill stopped by the user";
        return;
    }

    cleanBackfillFolders();

    if (updater->backfillQueue.isEmpty()) {
        downloader->retryTimer->stop();
        ui->progressBarRT->setValue(100);
        ui->progressBarRT->setFormat(QStringLiteral("\u2713 Full Backfill Complete"));
        ui->progressBarRT->setStyleSheet(text(BackfillUrls::IntradayStyle));
        setButton(ButtonBackfill, true);
        endRun();
        return;
    }

    const QString url = updater->backfillQueue.takeFirst();
    const bool eodJob = BackfillUrls::isEodJob(url, m_window->profile().eod1yPath);
    const QString symbols = BackfillUrls::sentSymbols(url);
    if (!eodJob)
        m_lastIntradaySymbols = symbols;
    m_currentJobIsEod = eodJob;

    if (!m_barPrepared) {
        m_barPrepared = true;
        if (!m_textVisible) {
            ui->progressBarRT->setTextVisible(true);
            m_textVisible = true;
        }
        ui->progressBarRT->setValue(0);
        if (eodJob) {
            ui->progressBarRT->setStyleSheet(text(BackfillUrls::EodStyle));
            ui->progressBarRT->setFormat(QStringLiteral("EOD Backfill: %1...").arg(m_lastIntradaySymbols));
        } else {
            ui->progressBarRT->setStyleSheet(text(BackfillUrls::IntradayStyle));
            ui->progressBarRT->setFormat(QStringLiteral("Intraday Backfill: %1...").arg(symbols));
        }
    }

    qCDebug(lcBackfill) << (eodJob ? "end-of-day job" : "intraday job") << symbols;
    downloader->initialize(BackfillUrls::jobFileName(m_window->profile().clientId), url, backfillDestination(), 0);
    downloader->retryTimer->stop();

    disconnectDownloader();
    if (eodJob)
        connect(downloader, &MyDownloader::downloadfinished, updater, &liveDataUpdator::doEodBackfill,
                Qt::UniqueConnection);
    else
        connect(downloader, &MyDownloader::downloadfinished, updater, &liveDataUpdator::doBackFill,
                Qt::UniqueConnection);
    connect(downloader, &MyDownloader::responseError, this, &BackfillPump::jobFailed, Qt::UniqueConnection);
    connect(downloader, &MyDownloader::updateProgress2, this, &BackfillPump::updateProgress, Qt::UniqueConnection);

    setButton(ButtonStop, true);
    downloader->retryTimer->start(RequestDelayMs);
    downloader->timeoutTimer->start(MyDownloader::TransferTimeoutMs);
    m_state = State::QueueJob;
    m_busy = false;
}

void BackfillPump::updateProgress(const QString &progress, const QString &speed)
{
    QProgressBar *bar = m_window->ui->progressBarRT;
    bar->setValue(BackfillUrls::progressValue(progress));
    const auto *source = qobject_cast<const MyDownloader *>(sender());
    if (!source)
        source = m_window->downloader;
    bar->setFormat(BackfillUrls::progressCaption(BackfillUrls::sentSymbols(source->currentUrl().toString()), speed));
}

void BackfillPump::jobFailed()
{
    MyDownloader *downloader = m_window->downloader;
    downloader->retryTimer->stop();
    downloader->timeoutTimer->stop();
    cleanBackfillFolders();
    downloader->fileName.clear();
    setButton(ButtonBackfill, true);
    m_autoRunning = false;

    if (m_state == State::DialogJob) {
        // The dialog's job is not part of a run: pumping an empty queue after it
        // would report a full backfill as complete although this one failed.
        disconnectDownloader();
        m_failedDialogJob = true;
        m_state = State::Idle;
        if (m_stopAfterDialog)
            m_window->updater->backfillQueue.clear();
        else if (!m_window->updater->backfillQueue.isEmpty())
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
        m_window->ui->progressBarRT->setFormat(QStringLiteral("EOD Backfill Failed"));
    }
    if (m_state == State::Idle) {
        // Nothing follows; the failed job is given up, retries included.
        m_window->downloader->retryTimer->stop();
        return;
    }
    pump();
}

void BackfillPump::downloadTimedOut()
{
    m_window->downloader->retryTimer->stop();
    m_window->downloader->timeoutTimer->stop();
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
    liveDataUpdator *updater = m_window->updater;
    MyDownloader *downloader = m_window->downloader;
    Ui::quillmark2 *ui = m_window->ui;
    updater->eodSelectedOnly = selectedOnly;
    storeEodPending(false);
    disconnectDownloader();

    if (ui->backfillButton->text() == text(ButtonStop)) {
        downloader->retryTimer->stop();
        setButton(ButtonBackfill, true);
        ui->progressBarRT->setFormat(QStringLiteral("Backfill Stopped"));
        // The running job has just lost its connections and can never pull the
        // next one: end the run, or later runs would wait behind a stale queue.
        downloader->timeoutTimer->stop();
        updater->backfillQueue.clear();
        m_continueTimer->stop();
        m_stopAfterDialog = false;
        endRun();
        return;
    }

    // A queued job about to follow a failure waits behind this one instead of
    // replacing its download.
    m_continueTimer->stop();
    m_failedDialogJob = false;

    const bool slow = m_window->settingsDialog && m_window->settingsDialog->slowBackfillFlag;
    const ServerProfile &profile = m_window->profile();
    const QString base = BackfillUrls::chosenPath(profile.backfillPath, profile.backfillPathSlow, slow);
    const QString url = BackfillUrls::eodArchiveUrl(base, profile.oneDayBackfillPath,
                                                    serverNameFor(symbol, readMappingEntries()), QDate::currentDate());
    qCInfo(lcBackfill) << "end-of-day archive" << url;

    ui->progressBarRT->setValue(0);
    ui->progressBarRT->setFormat(QStringLiteral("Starting EOD Backfill..."));
    downloader->initialize(QLatin1String(InstallFiles::BackfillArchive), url, backfillDestination(), 0);

    connect(downloader, &MyDownloader::downloadfinished, this, &BackfillPump::dialogDownloadFinished,
            Qt::UniqueConnection);
    connect(downloader, &MyDownloader::downloadfinished, downloader->retryTimer, &QTimer::stop, Qt::UniqueConnection);
    connect(downloader, &MyDownloader::responseError, this, &BackfillPump::jobFailed, Qt::UniqueConnection);
    connect(downloader, &MyDownloader::updateProgress2, this, &BackfillPump::dialogProgress, Qt::UniqueConnection);

    setButton(ButtonStop, true);
    m_state = State::DialogJob;
    m_stopAfterDialog = false;
    downloader->retryTimer->start(DialogRequestDelayMs);
}

void BackfillPump::dialogProgress(const QString &progress, const QString &speed)
{
    QProgressBar *bar = m_window->ui->progressBarRT;
    bar->setFormat(QStringLiteral("Downloading: %1 (%2)").arg(progress, speed));
    int value = 0;
    if (BackfillUrls::dialogProgressValue(progress, &value))
        bar->setValue(value);
}

void BackfillPump::dialogDownloadFinished()
{
    liveDataUpdator *updater = m_window->updater;
    // The previous request's thread only emits one signal; let it end so start()
    // is not silently ignored.
    if (updater->isRunning())
        updater->wait();
    updater->runMode = 1;
    updater->start(QThread::InheritPriority);
}

void BackfillPump::dialogJobDone()
{
    Ui::quillmark2 *ui = m_window->ui;
    MyDownloader *downloader = m_window->downloader;
    ui->progressBarRT->setValue(100);
    ui->progressBarRT->setFormat(QStringLiteral("EOD Backfill Done"));
    setButton(ButtonBackfill, true);
    disconnect(downloader, &MyDownloader::downloadfinished, this, &BackfillPump::dialogDownloadFinished);
    connect(downloader, &MyDownloader::downloadfinished, m_window->updater, &liveDataUpdator::doBackFill,
            Qt::UniqueConnection);
    QFile::remove(Platform::installPath(QLatin1String(InstallFiles::BackfillArchive)));

    m_state = State::Idle;
    QStringList &queue = m_window->updater->backfillQueue;
    if (m_stopAfterDialog)
        queue.clear();
    m_stopAfterDialog = false;
    // Jobs added while the dialog's job ran go on now.
    if (!queue.isEmpty())
        pump();
}
