#include "quillmark2.h"
#include "ui_quillmark2.h"

#include "amibroker/amibrokercontrol.h"
#include "amibroker/livedataupdator.h"
#include "common/installfiles.h"
#include "common/messagebox.h"
#include "app/processexit.h"
#include "common/settingskeys.h"
#include "backfill/backfillpump.h"
#include "backfill/eoddata.h"
#include "backfill/mydownloader.h"
#include "live/livesession.h"
#include "platform/installroot.h"
#include "platform/processes.h"
#include "platform/windowfront.h"
#include "symbols/feedcatalogue.h"
#include "symbols/selectioncontroller.h"
#include "symbols/symbolselection.h"
#include "ui/settings.h"
#include "ui/widgetfont.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QSettings>
#include <QTimer>
#include <QUrl>

Q_LOGGING_CATEGORY(lcApp, "quillmark.app", QtInfoMsg)

namespace {

LiveHealth::BrokerState shownState(BrokerLink::State state)
{
    switch (state) {
    case BrokerLink::State::Busy:
        return LiveHealth::BrokerState::Busy;
    case BrokerLink::State::Gone:
        return LiveHealth::BrokerState::NotRunning;
    case BrokerLink::State::Answering:
        break;
    }
    return LiveHealth::BrokerState::Answering;
}

} // namespace

quillmark2::quillmark2(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::quillmark2)
{
    ui->setupUi(this);

    ui->machineIDLabel_2->setStyleSheet(QStringLiteral("QLineEdit { background-color: white; }"));
    ui->machineIDLabel_2->setPlaceholderText(QStringLiteral("Type symbol name to search..."));
    ui->machineIDLabel_2->setClearButtonEnabled(true);
    ui->machineIDLabel_2->setToolTip(QStringLiteral("Search symbols by typing name"));
    ui->machineIDLabel_2->setReadOnly(false);

    setVerdanaOnTree(this, 13);

    ui->daysBox->setMaxVisibleItems(20);
    ui->autoFilldaysBox->setMaxVisibleItems(10);

    m_uptime.start();
    buildUptimeOverlay();

    setWindowTitle(QLatin1String(ProductAddress)
                   + QStringLiteral(" (Quillmark %1)").arg(QCoreApplication::applicationVersion()));
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint);

    checkSingleInstance();

    m_downloader = new MyDownloader(QLatin1String(InstallFiles::BackfillArchive), QStringLiteral("http://127.0.0.1/"),
                                    Platform::installPathFwd(QLatin1String(InstallFiles::BackfillFolder))
                                        + QLatin1Char('/'));
    if (m_downloader->retryTimer)
        m_downloader->retryTimer->stop();

    m_settingsDialog = new settings(this);
    // Queued: the flag is taken from the stored key once the dialog's OK has finished.
    connect(m_settingsDialog, &settings::controlAmibrokerEnabled, this, &quillmark2::on_controlAmibrokerEnabled,
            Qt::QueuedConnection);

    m_selection = new SymbolSelection(this);
    SelectionController::Widgets symbolWidgets;
    symbolWidgets.window = this;
    symbolWidgets.list = ui->symbolsListWidget;
    symbolWidgets.search = ui->machineIDLabel_2;
    symbolWidgets.table = ui->displayTableWidget;
    symbolWidgets.count = ui->SymbolsSelected;
    symbolWidgets.mapping = ui->MappingButton;
    symbolWidgets.feeds = {ui->cashBox, ui->futureBox, ui->optionBox, ui->commBox, ui->currBox,
                           ui->spotBox, ui->SXOPTBox,  ui->SXOPTBox2, ui->ForexBox};
    m_symbols = new SelectionController(m_selection, symbolWidgets, this);

    m_updater = new liveDataUpdator();
    m_updater->setSelection(m_selection);
    connect(m_updater, &liveDataUpdator::amiBrokerMessage, this, &quillmark2::appendMessage);
    connect(m_updater, &liveDataUpdator::backfillMessage, this, &quillmark2::appendMessage);

    m_live = new LiveSession(m_updater->tickBuffer(), m_selection, &m_profile,
                             LiveSession::Widgets{this, ui->statusLabel, ui->healthLabel, ui->displayTableWidget},
                             this);
    connect(m_live, &LiveSession::batchArrived, m_updater, &liveDataUpdator::scheduleLiveImport);
    connect(m_live, &LiveSession::message, this, &quillmark2::appendMessage);
    connect(m_updater, &liveDataUpdator::liveImportBlocked, m_live,
            [this](const QString &reason) { m_live->importBlocked(reason, m_updater->rtImportPath); });
    connect(m_updater, &liveDataUpdator::liveImportResumed, m_live, &LiveSession::importResumed);
    connect(m_updater, &liveDataUpdator::ticksImported, m_live, &LiveSession::ticksImported);
    connect(m_updater, &liveDataUpdator::amiBrokerStateChanged, m_live,
            [this](BrokerLink::State state, const QDateTime &since, qint64 heldTicks) {
                m_live->amiBrokerState(shownState(state), since, heldTicks);
            });

    BackfillPump::Parts pumpParts;
    pumpParts.updater = m_updater;
    pumpParts.downloader = m_downloader;
    pumpParts.profile = &m_profile;
    pumpParts.selection = m_selection;
    pumpParts.enabledExchanges = [this] { return enabledFeedExchanges(); };
    pumpParts.slowWanted = [this] { return m_settingsDialog->slowBackfillFlag; };
    pumpParts.widgets = BackfillPump::Widgets{ui->backfillButton, ui->progressBarRT, ui->daysBox, ui->autoFilldaysBox};
    m_backfill = new BackfillPump(pumpParts, this);
    connect(m_backfill, &BackfillPump::message, this, &quillmark2::appendMessage);
    connect(m_live, &LiveSession::outageEnded, m_backfill, [this](qint64 durationMs) { m_backfill->fillGap(durationMs); });

    connect(m_symbols, &SelectionController::symbolsAdded, this, &quillmark2::backfillNewSymbols);
    connect(m_symbols, &SelectionController::edited, this, &quillmark2::updateThreads);
    connect(m_symbols, &SelectionController::rowBackfillRequested, m_backfill, &BackfillPump::rowButtonClicked);
    connect(m_symbols, &SelectionController::rowRemoved, this, &quillmark2::deleteButton);

    m_amiBroker = new AmiBrokerControl(
        m_updater, [this] { return m_settingsDialog->controlAmibrokerFlag; },
        [this] {
            m_settingsDialog->controlAmibrokerFlag = false;
            QSettings settings;
            settings.setValue(QLatin1String(Keys::ControlAmibroker), false);
            settings.sync();
        },
        this);

    ui->progressBar->setTextVisible(true);
    ui->progressBar->setAlignment(Qt::AlignCenter);
    ui->progressBarRT->setTextVisible(true);
    ui->progressBarRT->setAlignment(Qt::AlignCenter);

    QSettings settings;
    if (settings.value(QLatin1String(Keys::FirstRun), true).toBool()) {
        if (ui->spotBox->isEnabled())
            ui->spotBox->setChecked(true); // its toggled slot records the feed
        if (ui->autofillCheckBox->isEnabled())
            ui->autofillCheckBox->setChecked(true);
        if (ui->autoFilldaysBox->isEnabled())
            ui->autoFilldaysBox->setCurrentText(QStringLiteral("5"));
        settings.setValue(QLatin1String(Keys::FirstRun), false);
        settings.setValue(QLatin1String(Keys::AutoBackfillChecked), true);
        settings.setValue(QLatin1String(Keys::AutoFilldays), QStringLiteral("5"));
        settings.sync();
    }

    m_symbols->showFeedSymbols(m_symbols->currentFeed());
}

quillmark2::~quillmark2()
{
    // First: the pump drives the form, the updater and the downloader.
    delete m_backfill;
    m_backfill = nullptr;
    // The stream's worker publishes into the updater's buffer: it ends before it.
    delete m_live;
    m_live = nullptr;
    delete m_amiBroker;
    m_amiBroker = nullptr;
    delete m_symbols;
    m_symbols = nullptr;
    delete ui;
    ui = nullptr;
    // The updater and the downloader have no parent; the window is their only owner.
    delete m_updater;
    m_updater = nullptr;
    delete m_downloader;
    m_downloader = nullptr;
}

QString quillmark2::uptimeText(qint64 elapsedMs)
{
    const qint64 hours = elapsedMs / 3600000;
    const qint64 minutes = (elapsedMs / 1000 % 3600) / 60;
    const qint64 seconds = elapsedMs / 1000 % 60;
    return QStringLiteral("Running: %1:%2:%3")
        .arg(hours)
        .arg(minutes, 2, 10, QLatin1Char('0'))
        .arg(seconds, 2, 10, QLatin1Char('0'));
}

int quillmark2::countProductInstances(const QString &processList)
{
    return processList.simplified().count(QStringLiteral("Quillmark"), Qt::CaseInsensitive);
}

void quillmark2::checkSingleInstance()
{
    if (countProductInstances(Platform::instanceCheckProcessList(30000)) > 1) {
        showMessageBox(this, 1, QStringLiteral("Already Running"),
                       QStringLiteral("An Instance of Application is already Running...\nClose it to use here. Quiting!"),
                       QMessageBox::Ok);
        endProcessNow();
    }
}

void quillmark2::buildUptimeOverlay()
{
    m_uptimeLabel = new QLabel(QStringLiteral("Uptime: 0:00:00"), this);
    m_uptimeLabel->setObjectName(QStringLiteral("uptimeLabel"));
    m_uptimeLabel->setAlignment(Qt::AlignCenter);
    m_uptimeLabel->setStyleSheet(QStringLiteral(
        "QLabel#uptimeLabel { color: #ffffff; background: rgba(0,0,0,0.6); padding: 4px 8px; "
        "border-radius: 4px; font-weight: 600; }"));
    m_uptimeLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_uptimeLabel->adjustSize();
    m_uptimeLabel->show();
    placeUptimeLabel();

    // Follows resizes of the window.
    auto *placeTimer = new QTimer(this);
    placeTimer->setInterval(500);
    connect(placeTimer, &QTimer::timeout, this, &quillmark2::placeUptimeLabel);
    placeTimer->start();

    auto *clockTimer = new QTimer(this);
    clockTimer->setInterval(1000);
    connect(clockTimer, &QTimer::timeout, this, [this]() {
        m_uptimeLabel->setText(uptimeText(m_uptime.elapsed()));
        m_uptimeLabel->adjustSize();
    });
    clockTimer->start();
}

void quillmark2::placeUptimeLabel()
{
    m_uptimeLabel->move(width() - m_uptimeLabel->width() - 2, height() - m_uptimeLabel->height() - 2);
}

void quillmark2::configure(const ServerProfile &profile)
{
    m_profile = profile;
    m_selection->setLimit(profile.symbolLimit);
}

void quillmark2::setOneDayBackfillPath(const QString &path)
{
    m_profile.oneDayBackfillPath = path;
}

void quillmark2::setNetworkManager(QNetworkAccessManager *network)
{
    m_symbols->setNetworkManager(network);
}

QString quillmark2::loadContractCatalogue()
{
    return m_symbols->loadCatalogue();
}

QStringList quillmark2::enabledFeedExchanges() const
{
    return m_symbols->enabledExchanges();
}

void quillmark2::enableInterface(QString MachineID, QString enabledFeeds, QStringList daysbox, QString message,
                                 bool enableEOD)
{
    ui->daysBox->clear();
    ui->daysBox->addItems(daysbox);

    QSettings settings;
    const QString savedDays = settings.value(QLatin1String(Keys::BackfillDays)).toString();
    if (!savedDays.isEmpty()) {
        const int index = ui->daysBox->findText(savedDays, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (index >= 0)
            ui->daysBox->setCurrentIndex(index);
    }

    ui->messageBox->setText(message);
    ui->machineIDLabel->setText(MachineID);
    m_symbols->enableFeeds(enabledFeeds);

    ui->connectButton->hide();
    ui->connectButton->click();

    m_profile.eodEnabled = enableEOD;

    ui->autofillCheckBox->setChecked(settings.value(QLatin1String(Keys::AutoBackfillChecked), false).toBool());
    ui->autoFilldaysBox->setCurrentText(settings.value(QLatin1String(Keys::AutoFilldays)).toString());

    m_symbols->restore();

    if (m_selection->isEmpty()) {
        showMessageBox(this, 1, QStringLiteral("Select Symbols"),
                       QStringLiteral("No Symbol Selected.\nPlease Add Symbols for Live Data!"), QMessageBox::Ok);
    }
}

void quillmark2::showStatusMessage(QString message)
{
    ui->statusLabel->setText(message);
}

void quillmark2::appendMessage(const QString &text)
{
    ui->messageBox->append(text);
}

void quillmark2::reject()
{
}

// ---- live stream -------------------------------------------------------------

void quillmark2::on_connectButton_clicked()
{
    m_live->start();
    Platform::bringWindowToFront(QStringLiteral("AmiBroker"));
    // Not waited for: AmiBroker may be behind a dialog, and the window must not be.
    m_updater->loadDatabase();
    ui->connectButton->setEnabled(false);
}

void quillmark2::updateThreads()
{
    m_selection->noteFeed(m_symbols->currentFeed());
    m_live->resubscribe();
}

void quillmark2::updateDisplayTable()
{
    m_live->refreshQuotes();
}

// ---- symbols -------------------------------------------------------------------

void quillmark2::showFeedSymbols(const QString &feed) { m_symbols->showFeedSymbols(feed); }
void quillmark2::addDisplayTable() { m_symbols->showRows(); }
void quillmark2::updateSymbolsSelectedLabel() { m_symbols->updateCount(); }
void quillmark2::on_cashBox_toggled(bool checked) { m_symbols->feedToggled(0, checked); }
void quillmark2::on_futureBox_toggled(bool checked) { m_symbols->feedToggled(1, checked); }
void quillmark2::on_optionBox_toggled(bool checked) { m_symbols->feedToggled(2, checked); }
void quillmark2::on_commBox_toggled(bool checked) { m_symbols->feedToggled(3, checked); }
void quillmark2::on_currBox_toggled(bool checked) { m_symbols->feedToggled(4, checked); }
void quillmark2::on_spotBox_toggled(bool checked) { m_symbols->feedToggled(5, checked); }
void quillmark2::on_SXOPTBox_toggled(bool checked) { m_symbols->feedToggled(6, checked); }
void quillmark2::on_SXOPTBox2_toggled(bool checked) { m_symbols->feedToggled(7, checked); }
void quillmark2::on_ForexBox_toggled(bool checked) { m_symbols->feedToggled(8, checked); }
void quillmark2::on_machineIDLabel_2_textChanged(const QString &text) { m_symbols->search(text); }
void quillmark2::on_selectAll_clicked() { m_symbols->selectAll(); }
void quillmark2::on_selectNone_clicked() { m_symbols->selectNone(); }
void quillmark2::on_addSelected_clicked() { m_symbols->addSelected(); }
void quillmark2::on_DeleteAll_clicked() { m_symbols->deleteAll(); }
void quillmark2::on_save_list_clicked() { m_symbols->saveWishList(); }
void quillmark2::on_load_list_2_clicked() { m_symbols->loadWishList(); }
void quillmark2::on_MappingButton_clicked() { m_symbols->editMapping(); }

// ---- backfill ------------------------------------------------------------------

void quillmark2::do5DayBackfill() { m_backfill->startupRun(); }
void quillmark2::backfillNewSymbols(const QStringList &symbols) { m_backfill->backfillNewSymbols(symbols); }
void quillmark2::doAutoBackFill() { m_backfill->pump(); }
void quillmark2::updateProgress2(QString progress, QString speed) { m_backfill->updateProgress(progress, speed); }
void quillmark2::on_backfillButton_clicked() { m_backfill->mainButtonClicked(); }

void quillmark2::on_pushButton_clicked()
{
    auto *dialog = new eoddata(this);
    dialog->setModal(true);
    connect(dialog, &eoddata::doBackfill, this, &quillmark2::eodBackfillButton_clicked);
    dialog->show();
}

void quillmark2::eodBackfillButton_clicked(QString symbol)
{
    const auto *dialog = qobject_cast<const eoddata *>(sender());
    const bool selectedOnly = dialog ? dialog->selectedOnly
                                     : QSettings().value(QLatin1String(Keys::SelectedSymbolsBackfill), true).toBool();
    m_backfill->dialogJobRequested(symbol, selectedOnly);
}

// ---- settings, support ---------------------------------------------------------

void quillmark2::on_daysBox_activated(const QString &text)
{
    QSettings settings;
    settings.setValue(QLatin1String(Keys::BackfillDays), text);
    settings.sync();
}

void quillmark2::on_contactSupportButton_clicked()
{
    QDesktopServices::openUrl(QUrl::fromUserInput(m_profile.supportAddress));
}

void quillmark2::on_amibrokerPathButton_clicked()
{
    m_settingsDialog->loadSettings();
    m_settingsDialog->show();
}

// ---- close and restart ---------------------------------------------------------

void quillmark2::on_controlAmibrokerEnabled()
{
    m_settingsDialog->controlAmibrokerFlag =
        QSettings().value(QLatin1String(Keys::ControlAmibroker), false).toBool();
}

void quillmark2::saveWindowState()
{
    QSettings settings;
    const QVector<bool> &feeds = m_symbols->feedStates();
    for (int i = 0; i < FeedCatalogue::Count; ++i)
        settings.setValue(QString::fromLatin1(Keys::CheckboxPattern).arg(i), feeds.value(i));
    m_selection->save();
    settings.setValue(QLatin1String(Keys::AutoBackfillChecked), ui->autofillCheckBox->isChecked());
    settings.setValue(QLatin1String(Keys::AutoFilldays), ui->autoFilldaysBox->currentText());
    settings.sync();
}

void quillmark2::closeEvent(QCloseEvent *event)
{
    m_live->stop();
    // No tick arrives any more: what still waits reaches AmiBroker before it saves.
    m_amiBroker->importWaitingTicks();
    saveWindowState();
    m_amiBroker->close([this] { hide(); });
    event->accept();
}

void quillmark2::on_restartButton_clicked()
{
    m_amiBroker->restart();
    close();
    QCoreApplication::exit(RestartExitCode);
}
