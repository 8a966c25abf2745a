// The main window's side of backfill: building job URLs, the queue pump that
// hands one job at a time to the downloader, progress captions, Stop, failures
// and the single end-of-day job of the end-of-day dialog.
#include "app/quillmark2.h"
#include "ui_quillmark2.h"

#include "amibroker/livedataupdator.h"
#include "app/installfiles.h"
#include "app/messagebox.h"
#include "app/settingskeys.h"
#include "backfill/backfillpumpstate.h"
#include "backfill/backfillurls.h"
#include "backfill/eoddata.h"
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
#include <QTimer>

#include <algorithm>

Q_LOGGING_CATEGORY(lcBackfill, "quillmark.backfill", QtInfoMsg)

namespace {

// Names of the import's working files in the work folder (mapped copies, chunks).

// Column of the selected-symbols table that holds each row's "Backfill" button.
constexpr int BackfillButtonColumn = 3;
constexpr int PumpRequestDelayMs = 50;
constexpr int DialogRequestDelayMs = 10;
constexpr int NextJobAfterFailureMs = 100;
constexpr int LongBackfillDays = 60;

QString key(const char *name)
{
    return QLatin1String(name);
}

QString text(const char *value)
{
    return QString::fromUtf8(value);
}

const char ButtonBackfill[] = "Backfill";
const char ButtonStop[] = "Stop";
const char ButtonInitiated[] = "Backfill Initiated";

QString backfillDestination()
{
    return Platform::installPathFwd(QLatin1String(InstallFiles::BackfillFolder)) + QLatin1Char('/');
}

void setButton(QPushButton *button, const char *caption, bool enabled)
{
    button->setText(text(caption));
    button->setEnabled(enabled);
}

// Symbols of the selected-symbols table that may be backfilled: an enabled feed
// and still selected. Sorted ignoring case.
QStringList tableSymbols(const quillmark2 &window)
{
    QStringList kept;
    if (!window.ui || !window.updater)
        return kept;
    const QStringList feeds = window.enabledFeedExchanges();
    const QTableWidget *table = window.ui->displayTableWidget;
    for (int row = 0; row < table->rowCount(); ++row) {
        const auto *button = qobject_cast<const QPushButton *>(table->cellWidget(row, BackfillButtonColumn));
        if (!button)
            continue;
        const QString symbol = button->objectName();
        const QString exchange = button->property("exchName").toString();
        if (feeds.contains(exchange) && window.updater->selectedSymbols.contains(symbol))
            kept << symbol;
    }
    std::stable_sort(kept.begin(), kept.end(), [](const QString &a, const QString &b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    return kept;
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

    QString intraday(const QString &symbol, const QString &days) const
    {
        return BackfillUrls::intradayUrl(scheme, path, clientId, secureKey, days,
                                         BackfillUrls::symbolText(symbol, mapping));
    }
    QString eod1y(const QString &symbol) const
    {
        return BackfillUrls::eod1yUrl(scheme, eod1yPath, clientId, secureKey, BackfillUrls::symbolText(symbol, mapping));
    }
};

UrlParts urlParts(const quillmark2 &window)
{
    UrlParts parts;
    parts.scheme = window.urlScheme;
    const bool slow = window.settingsDialog && window.settingsDialog->slowBackfillFlag;
    parts.path = BackfillUrls::chosenPath(window.backfillPath, window.backfillPathSlow, slow);
    parts.eod1yPath = window.eod1yPath;
    parts.clientId = window.ui->machineIDLabel->text();
    parts.secureKey = window.secureKey;
    parts.mapping = readMappingEntries();
    return parts;
}

bool autoEodWanted()
{
    return QSettings().value(key(Keys::AutoEodBackfill), true).toBool();
}

} // namespace

void BackfillPumpState::resetRun()
{
    busy = false;
    currentJobIsEod = false;
    barPrepared = false;
    textVisible = false;
    lastIntradaySymbols.clear();
    jobInFlight = false;
}

BackfillPumpState &BackfillPumpState::instance()
{
    static BackfillPumpState state;
    return state;
}

void quillmark2::do5DayBackfill()
{
    if (!updater || !ui)
        return;
    const bool autoEod = autoEodWanted();
    updater->backfillQueue.clear();
    const QString days = ui->autoFilldaysBox->currentText();
    const UrlParts parts = urlParts(*this);
    const QStringList symbols = tableSymbols(*this);
    for (const QString &symbol : symbols) {
        updater->backfillQueue.append(parts.intraday(symbol, days));
        if (autoEod && !eod1yPath.isEmpty())
            updater->backfillQueue.append(parts.eod1y(symbol));
    }

    QSettings store;
    store.setValue(key(Keys::LastIntradaySymbols), updater->selectedSymbols);
    store.setValue(key(Keys::Eod1yBackfillPending), autoEod);
    store.sync();

    autoBackfillRunning = true;
    eodChainPending = autoEod;
    doAutoBackFill();
}

void quillmark2::backfillNewSymbols(const QStringList &symbols)
{
    if (symbols.isEmpty() || !updater || !ui)
        return;
    const int days = BackfillUrls::autoDays(ui->autoFilldaysBox->currentText());
    const bool autoEod = autoEodWanted();

    // The last job of a run is off the queue while it downloads; a pump started
    // now would replace it, so an empty queue alone does not mean "idle".
    const bool idle = updater->backfillQueue.isEmpty() && !BackfillPumpState::instance().jobInFlight;

    const UrlParts parts = urlParts(*this);
    for (const QString &symbol : symbols) {
        updater->backfillQueue.append(parts.intraday(symbol, QString::number(days)));
        if (autoEod && !eod1yPath.isEmpty())
            updater->backfillQueue.append(parts.eod1y(symbol));
    }

    if (idle) {
        backfillStopRequested = false;
        autoBackfillRunning = true;
        doAutoBackFill();
    }
}

void quillmark2::doAutoBackFill()
{
    BackfillPumpState &state = BackfillPumpState::instance();
    if (state.busy || !ui || !updater || !downloader)
        return;
    state.busy = true;
    // Whatever brought us here, the job handed out last has ended or is replaced.
    state.jobInFlight = false;
    ui->backfillButton->setEnabled(false);

    if (!autoBackfillRunning && !state.warnedOnce) {
        bool ok = false;
        const int days = ui->daysBox->currentText().toInt(&ok, 10);
        if (ok && days > LongBackfillDays) {
            state.warnedOnce = true;
            showMessageBox(this, 2, QStringLiteral("Performance Warning"),
                           QStringLiteral("Downloading more than 60 days Backfill might slow down performance."),
                           QMessageBox::Ok);
        }
    }

    if (backfillStopRequested) {
        disconnect(downloader, &MyDownloader::downloadfinished, updater, &liveDataUpdator::doBackFill);
        disconnect(downloader, &MyDownloader::responseError, this, &quillmark2::responseError);
        disconnect(downloader, &MyDownloader::updateProgress2, this, &quillmark2::updateProgress2);
        setButton(ui->backfillButton, ButtonBackfill, true);
        updater->backfillQueue.clear();
        downloader->retryTimer->stop();
        backfillStopRequested = false;
        state.resetRun();
        qCInfo(lcBackfill) << "backfill stopped by the user";
        return;
    }

    cleanBackfillFolders();
    connect(updater, &liveDataUpdator::doAutoBackfill, this, &quillmark2::doAutoBackFill, Qt::UniqueConnection);

    if (updater->backfillQueue.isEmpty()) {
        downloader->retryTimer->stop();
        ui->progressBarRT->setValue(100);
        ui->progressBarRT->setFormat(QStringLiteral("\u2713 Full Backfill Complete"));
        ui->progressBarRT->setStyleSheet(text(BackfillUrls::IntradayStyle));
        setButton(ui->backfillButton, ButtonBackfill, true);
        autoBackfillRunning = false;
        state.resetRun();
        return;
    }

    const QString url = updater->backfillQueue.takeFirst();
    const bool eodJob = BackfillUrls::isEodJob(url, eod1yPath);
    const QString symbols = BackfillUrls::sentSymbols(url);
    if (!eodJob)
        state.lastIntradaySymbols = symbols;
    state.currentJobIsEod = eodJob;

    if (!state.barPrepared) {
        state.barPrepared = true;
        if (!state.textVisible) {
            ui->progressBarRT->setTextVisible(true);
            state.textVisible = true;
        }
        ui->progressBarRT->setValue(0);
        if (eodJob) {
            ui->progressBarRT->setStyleSheet(text(BackfillUrls::EodStyle));
            ui->progressBarRT->setFormat(QStringLiteral("EOD Backfill: %1...").arg(state.lastIntradaySymbols));
        } else {
            ui->progressBarRT->setStyleSheet(text(BackfillUrls::IntradayStyle));
            ui->progressBarRT->setFormat(QStringLiteral("Intraday Backfill: %1...").arg(symbols));
        }
    }

    qCDebug(lcBackfill) << (eodJob ? "end-of-day job" : "intraday job") << symbols;
    downloader->initialize(BackfillUrls::jobFileName(ui->machineIDLabel->text()), url, backfillDestination(), 0);
    downloader->retryTimer->stop();

    disconnect(downloader, nullptr, updater, nullptr);
    disconnect(downloader, nullptr, this, nullptr);
    if (eodJob) {
        connect(downloader, &MyDownloader::downloadfinished, updater, &liveDataUpdator::doEodBackfill,
                Qt::UniqueConnection);
        connect(updater, &liveDataUpdator::eodBackfillDone, this, &quillmark2::doAutoBackFill, Qt::UniqueConnection);
    } else {
        connect(downloader, &MyDownloader::downloadfinished, updater, &liveDataUpdator::doBackFill,
                Qt::UniqueConnection);
        connect(updater, &liveDataUpdator::backfillDone, this, &quillmark2::doAutoBackFill, Qt::UniqueConnection);
    }
    connect(downloader, &MyDownloader::responseError, this, &quillmark2::responseError, Qt::UniqueConnection);
    connect(downloader, &MyDownloader::updateProgress2, this, &quillmark2::updateProgress2, Qt::UniqueConnection);

    setButton(ui->backfillButton, ButtonStop, true);
    downloader->retryTimer->start(PumpRequestDelayMs);
    downloader->timeoutTimer->start(MyDownloader::TransferTimeoutMs);
    state.jobInFlight = true;
    state.busy = false;
}

void quillmark2::backfillButtonClicked(bool clicked)
{
    Q_UNUSED(clicked)
    auto *button = qobject_cast<QPushButton *>(sender());
    if (!button || !updater || !ui)
        return;
    const QString symbol = button->objectName();
    const QString exchange = button->property("exchName").toString();
    // Checked before the queue is touched: a refused click must not cut short a
    // run that is going on.
    if (!enabledFeedExchanges().contains(exchange) || !updater->selectedSymbols.contains(symbol))
        return;

    updater->backfillQueue.clear();
    // A Stop meant for an earlier job must not swallow this new request.
    backfillStopRequested = false;
    updater->backfillQueue.append(urlParts(*this).intraday(symbol, ui->daysBox->currentText()));
    autoBackfillRunning = false;
    doAutoBackFill();
}

void quillmark2::updateProgress2(QString progress, QString speed)
{
    if (!ui)
        return;
    ui->progressBarRT->setValue(BackfillUrls::progressValue(progress));
    const auto *source = qobject_cast<const MyDownloader *>(sender());
    if (!source)
        source = downloader;
    const QString symbols = source ? BackfillUrls::sentSymbols(source->currentUrl().toString()) : QString();
    ui->progressBarRT->setFormat(BackfillUrls::progressCaption(symbols, speed));
}

void quillmark2::on_backfillButton_clicked()
{
    if (!ui || !updater)
        return;
    if (ui->backfillButton->text() == text(ButtonInitiated))
        setButton(ui->backfillButton, ButtonBackfill, true);
    if (ui->backfillButton->text() == text(ButtonStop)) {
        backfillStopRequested = true;
        return;
    }

    updater->backfillQueue.clear();
    if (updater->isRunning()) {
        updater->terminate();
        updater->wait();
    }
    const QString days = ui->daysBox->currentText();
    const UrlParts parts = urlParts(*this);
    const QStringList symbols = tableSymbols(*this);
    for (const QString &symbol : symbols)
        updater->backfillQueue.append(parts.intraday(symbol, days));

    QSettings store;
    store.setValue(key(Keys::Eod1yBackfillPending), false);
    store.sync();
    // A Stop pressed during an end-of-day dialog job is never honoured by the
    // pump; it must not swallow this new run.
    backfillStopRequested = false;
    eodChainPending = false;
    autoBackfillRunning = false;
    doAutoBackFill();
}

void quillmark2::backfillStarted()
{
    if (ui)
        setButton(ui->backfillButton, ButtonInitiated, false);
}

void quillmark2::backfillDone()
{
    if (ui)
        setButton(ui->backfillButton, ButtonBackfill, true);
}

void quillmark2::responseError()
{
    if (downloader) {
        downloader->retryTimer->stop();
        downloader->timeoutTimer->stop();
    }
    cleanBackfillFolders();
    if (downloader)
        downloader->fileName.clear();
    if (ui)
        setButton(ui->backfillButton, ButtonBackfill, true);
    autoBackfillRunning = false;

    BackfillPumpState &state = BackfillPumpState::instance();
    if (state.dialogJob) {
        // An end-of-day dialog job is not part of a queued run: running the pump
        // would report a full backfill as complete although this one failed.
        state.dialogJob = false;
        if (updater)
            disconnect(updater, &liveDataUpdator::eodBackfillDone, this, &quillmark2::eodBackfillDone);
        QTimer::singleShot(NextJobAfterFailureMs, this, [this]() {
            // The downloader schedules its own retry after reporting; the job is given up.
            if (downloader)
                downloader->retryTimer->stop();
            if (ui)
                ui->progressBarRT->setFormat(QStringLiteral("EOD Backfill Failed"));
        });
        return;
    }
    QTimer::singleShot(NextJobAfterFailureMs, this, &quillmark2::doAutoBackFill);
}

void quillmark2::onDownloadTimeout()
{
    if (downloader) {
        downloader->retryTimer->stop();
        downloader->timeoutTimer->stop();
    }
    cleanBackfillFolders();
    responseError();
}

void quillmark2::cleanBackfillFolders()
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

void quillmark2::on_pushButton_clicked()
{
    auto *dialog = new eoddata(this);
    dialog->setModal(true);
    connect(dialog, &eoddata::doBackfill, this, &quillmark2::eodBackfillButton_clicked);
    dialog->show();
}

void quillmark2::eodBackfillButton_clicked(QString symbol)
{
    if (!ui || !updater || !downloader)
        return;
    BackfillPumpState &state = BackfillPumpState::instance();

    if (const auto *dialog = qobject_cast<const eoddata *>(sender()))
        updater->eodSelectedOnly = dialog->selectedOnly;
    else
        updater->eodSelectedOnly = QSettings().value(key(Keys::SelectedSymbolsBackfill), true).toBool();

    {
        QSettings store;
        store.setValue(key(Keys::Eod1yBackfillPending), false);
        store.sync();
    }

    disconnect(downloader, nullptr, updater, nullptr);
    disconnect(downloader, nullptr, this, nullptr);

    if (ui->backfillButton->text() == text(ButtonStop)) {
        downloader->retryTimer->stop();
        setButton(ui->backfillButton, ButtonBackfill, true);
        ui->progressBarRT->setFormat(QStringLiteral("Backfill Stopped"));
        // The running job has just lost its connections and can never pull the
        // next one: end the run, or later runs would wait behind a stale queue.
        downloader->timeoutTimer->stop();
        updater->backfillQueue.clear();
        backfillStopRequested = false;
        autoBackfillRunning = false;
        state.resetRun();
        state.dialogJob = false;
        return;
    }

    // This job is not queued: a completion must not pump the queue.
    disconnect(updater, &liveDataUpdator::backfillDone, this, &quillmark2::doAutoBackFill);
    disconnect(updater, &liveDataUpdator::eodBackfillDone, this, &quillmark2::doAutoBackFill);

    const bool slow = settingsDialog && settingsDialog->slowBackfillFlag;
    const QString base = BackfillUrls::chosenPath(backfillPath, backfillPathSlow, slow);
    const QString url = BackfillUrls::eodArchiveUrl(base, oneDayBackfillPath,
                                                    serverNameFor(symbol, readMappingEntries()), QDate::currentDate());
    qCInfo(lcBackfill) << "end-of-day archive" << url;

    ui->progressBarRT->setValue(0);
    ui->progressBarRT->setFormat(QStringLiteral("Starting EOD Backfill..."));
    downloader->initialize(QLatin1String(InstallFiles::BackfillArchive), url, backfillDestination(), 0);

    connect(downloader, &MyDownloader::downloadfinished, this, &quillmark2::doEodBackfill, Qt::UniqueConnection);
    connect(downloader, &MyDownloader::downloadfinished, downloader->retryTimer, &QTimer::stop, Qt::UniqueConnection);
    connect(downloader, &MyDownloader::responseError, this, &quillmark2::responseError, Qt::UniqueConnection);
    connect(downloader, &MyDownloader::updateProgress2, this, [this](const QString &progress, const QString &speed) {
        ui->progressBarRT->setFormat(QStringLiteral("Downloading: %1 (%2)").arg(progress, speed));
        int value = 0;
        if (BackfillUrls::dialogProgressValue(progress, &value))
            ui->progressBarRT->setValue(value);
    });
    connect(updater, &liveDataUpdator::eodBackfillDone, this, &quillmark2::eodBackfillDone, Qt::UniqueConnection);

    setButton(ui->backfillButton, ButtonStop, true);
    state.dialogJob = true;
    downloader->retryTimer->start(DialogRequestDelayMs);
}

void quillmark2::doEodBackfill()
{
    if (!updater)
        return;
    // The previous request's thread only emits one signal; let it end so start()
    // is not silently ignored.
    if (updater->isRunning())
        updater->wait();
    updater->runMode = 1;
    updater->start(QThread::InheritPriority);
}

void quillmark2::eodBackfillDone()
{
    BackfillPumpState::instance().dialogJob = false;
    if (ui) {
        ui->progressBarRT->setValue(100);
        ui->progressBarRT->setFormat(QStringLiteral("EOD Backfill Done"));
        setButton(ui->backfillButton, ButtonBackfill, true);
    }
    if (downloader && updater) {
        disconnect(downloader, &MyDownloader::downloadfinished, this, &quillmark2::doEodBackfill);
        connect(downloader, &MyDownloader::downloadfinished, updater, &liveDataUpdator::doBackFill,
                Qt::UniqueConnection);
        // Only this dialog job reports here; later queued end-of-day jobs must not.
        disconnect(updater, &liveDataUpdator::eodBackfillDone, this, &quillmark2::eodBackfillDone);
    }
    QFile::remove(Platform::installPath(QLatin1String(InstallFiles::BackfillArchive)));
}
