#include "quillmark2.h"
#include "ui_quillmark2.h"

#include "amibroker/livedataupdator.h"
#include "api/serverprofile.h"
#include "app/messagebox.h"
#include "backfill/backfillpump.h"
#include "backfill/mydownloader.h"
#include "live/livesession.h"
#include "ui/settings.h"
#include "ui/widgetfont.h"
#include "app/settingskeys.h"
#include "app/processexit.h"
#include "app/installfiles.h"
#include "platform/installroot.h"
#include "platform/processes.h"
#include "symbols/feedcatalogue.h"
#include "symbols/symbolselection.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <cstdlib>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLabel>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QUrl>

Q_LOGGING_CATEGORY(lcApp, "quillmark.app", QtInfoMsg)

quillmark2::quillmark2(QWidget *parent)
    : QDialog(parent)
    , feedStates(FeedCatalogue::Count, false)
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

    uptimeClock = new QElapsedTimer;
    uptimeClock->start();
    buildUptimeOverlay();

    setWindowTitle(QLatin1String(ProductAddress)
                   + QStringLiteral(" (Quillmark %1)").arg(QCoreApplication::applicationVersion()));
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint);

    checkSingleInstance();

    downloader = new MyDownloader(QLatin1String(InstallFiles::BackfillArchive), QStringLiteral("http://127.0.0.1/"),
                                  Platform::installPathFwd(QLatin1String(InstallFiles::BackfillFolder)) + QLatin1Char('/'));
    if (downloader->retryTimer)
        downloader->retryTimer->stop();

    settingsDialog = new settings(this);

    m_selection = new SymbolSelection(this);
    updater = new liveDataUpdator();
    updater->setSelection(m_selection);
    connect(updater, SIGNAL(backfillDone()), this, SLOT(backfillDone()));
    m_live = new LiveSession(updater->tickBuffer(), m_selection, &m_profile,
                             LiveSession::Widgets{this, ui->statusLabel, ui->healthLabel, ui->displayTableWidget},
                             this);
    connect(m_live, &LiveSession::batchArrived, updater, &liveDataUpdator::scheduleLiveImport);
    connect(m_live, &LiveSession::message, this, &quillmark2::appendMessage);
    connect(m_live, &LiveSession::outageEnded, this, [this](qint64 durationMs) {
        if (backfillPump)
            backfillPump->fillGap(durationMs);
    });
    connect(updater, &liveDataUpdator::liveImportBlocked, m_live,
            [this](const QString &reason) { m_live->importBlocked(reason, updater->rtImportPath); });
    connect(updater, &liveDataUpdator::liveImportResumed, m_live, &LiveSession::importResumed);
    connect(updater, &liveDataUpdator::ticksImported, m_live, &LiveSession::ticksImported);
    connect(updater, &liveDataUpdator::amiBrokerStateChanged, m_live,
            [this](BrokerLink::State state, const QDateTime &since, qint64 heldTicks) {
                m_live->amiBrokerState(state == BrokerLink::State::Busy   ? LiveHealth::BrokerState::Busy
                                       : state == BrokerLink::State::Gone ? LiveHealth::BrokerState::NotRunning
                                                                          : LiveHealth::BrokerState::Answering,
                                       since, heldTicks);
            });
    connect(updater, &liveDataUpdator::amiBrokerMessage, this, &quillmark2::appendMessage);
    connect(updater, &liveDataUpdator::backfillMessage, this, &quillmark2::appendMessage);
    // After the two connections above, so a finished import first resets the
    // button and the pump then sets it for the next job. It also takes the
    // downloader's time-out clean-up.
    BackfillPump::Parts pumpParts;
    pumpParts.updater = updater;
    pumpParts.downloader = downloader;
    pumpParts.profile = &m_profile;
    pumpParts.selection = m_selection;
    pumpParts.enabledExchanges = [this] { return enabledFeedExchanges(); };
    pumpParts.slowWanted = [this] { return settingsDialog && settingsDialog->slowBackfillFlag; };
    pumpParts.widgets = BackfillPump::Widgets{ui->backfillButton, ui->progressBarRT, ui->daysBox, ui->autoFilldaysBox};
    backfillPump = new BackfillPump(pumpParts, this);
    connect(backfillPump, &BackfillPump::message, this, &quillmark2::appendMessage);


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

    showFeedSymbols(currentFeed);
}

quillmark2::~quillmark2()
{
    // First: the pump reaches into the form, the updater and the downloader.
    delete backfillPump;
    backfillPump = nullptr;
    // The stream's worker publishes into the updater's buffer: it ends first.
    delete m_live;
    m_live = nullptr;
    delete ui;
    ui = nullptr;
    delete uptimeClock;
    // The updater and the downloader have no parent; the window is their only owner.
    delete updater;
    updater = nullptr;
    delete downloader;
    downloader = nullptr;
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
    uptimeLabel = new QLabel(QStringLiteral("Uptime: 0:00:00"), this);
    uptimeLabel->setObjectName(QStringLiteral("uptimeLabel"));
    uptimeLabel->setAlignment(Qt::AlignCenter);
    uptimeLabel->setStyleSheet(QStringLiteral(
        "QLabel#uptimeLabel { color: #ffffff; background: rgba(0,0,0,0.6); padding: 4px 8px; "
        "border-radius: 4px; font-weight: 600; }"));
    uptimeLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    uptimeLabel->adjustSize();
    uptimeLabel->show();
    placeUptimeLabel();

    // Follows resizes of the window.
    auto *placeTimer = new QTimer(this);
    placeTimer->setInterval(500);
    connect(placeTimer, &QTimer::timeout, this, &quillmark2::placeUptimeLabel);
    placeTimer->start();

    auto *clockTimer = new QTimer(this);
    clockTimer->setInterval(1000);
    connect(clockTimer, &QTimer::timeout, this, [this]() {
        uptimeLabel->setText(uptimeText(uptimeClock->elapsed()));
        uptimeLabel->adjustSize();
    });
    clockTimer->start();
}

void quillmark2::placeUptimeLabel()
{
    uptimeLabel->move(width() - uptimeLabel->width() - 2, height() - uptimeLabel->height() - 2);
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

    for (int i = 0; i < FeedCatalogue::Count; ++i)
        feedButton(i)->setEnabled(enabledFeeds.contains(QLatin1String(FeedCatalogue::feed(i).tag), Qt::CaseSensitive));

    ui->connectButton->hide();
    ui->connectButton->click();

    m_profile.eodEnabled = enableEOD;

    ui->autofillCheckBox->setChecked(settings.value(QLatin1String(Keys::AutoBackfillChecked), false).toBool());
    ui->autoFilldaysBox->setCurrentText(settings.value(QLatin1String(Keys::AutoFilldays)).toString());

    restoreSelection();

    if (m_selection->isEmpty()) {
        showMessageBox(this, 1, QStringLiteral("Select Symbols"),
                       QStringLiteral("No Symbol Selected.\nPlease Add Symbols for Live Data!"), QMessageBox::Ok);
    }
}

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

void quillmark2::configure(const ServerProfile &profile)
{
    m_profile = profile;
    m_selection->setLimit(profile.symbolLimit);
}

void quillmark2::setOneDayBackfillPath(const QString &path)
{
    m_profile.oneDayBackfillPath = path;
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

void quillmark2::on_amibrokerPathButton_clicked()
{
    settingsDialog->loadSettings();
    settingsDialog->show();
}
