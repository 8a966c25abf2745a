#include "authdialog.h"

#include "api/apirequest.h"
#include "api/serversettings.h"
#include "app/connectivityprobe.h"
#include "app/messagebox.h"
#include "app/settingskeys.h"
#include "app/provisioning.h"
#include "app/startupcycle.h"
#include "app/quillmark2.h"
#include "ui/startupanimation.h"
#include "ui/widgetfont.h"
#include "updater/updator.h"
#include "platform/installroot.h"
#include "platform/serverhost.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QMessageBox>
#include <QSettings>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QSysInfo>
#include <QTimer>
#include <cstdlib>

Q_DECLARE_LOGGING_CATEGORY(lcApp)

authDialog::authDialog(QWidget *parent)
    : QDialog(parent)
    , clientId(deriveClientIdentifier())
{
    setVerdanaOnTree(this, 13);
    setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
}

authDialog::~authDialog()
{
    // The main window has no parent; ending it here stops its live thread so
    // nothing of this cycle runs on into the next one.
    delete mainWin;
    mainWin = nullptr;
    delete connectionTimer;
    delete splash;
}

QString authDialog::deriveClientIdentifier()
{
    QByteArray seed = QSysInfo::machineUniqueId();
    if (seed.isEmpty())
        seed = QSysInfo::machineHostName().toUtf8();
    seed += '|';
    seed += Platform::installRoot().toUtf8();
    const QByteArray digest = QCryptographicHash::hash(seed, QCryptographicHash::Sha256).toHex();
    return QString::fromLatin1(digest.left(16)).toUpper();
}

void authDialog::startUp()
{
    splash = new startupAnimation();
    splash->showAnimation();

    networkManager = new QNetworkAccessManager(this);
    setApiNetworkManager(networkManager);

    provisionInstallFolder();

    mainWin = new quillmark2();
    mainWin->networkManager = networkManager;

    connectionTimer = new QTimer();
    connect(connectionTimer, SIGNAL(timeout()), this, SLOT(checkConnection()));

    requestStartupSettings();
    splash->hideSplash();
}

void authDialog::requestStartupSettings()
{
    const QString version = QCoreApplication::applicationVersion();
    const StartupSettings answer = StartupSettings::fromBody(
        apiRequest(QLatin1String(StartupAction), startupParameters(clientId.toUpper(), version)));

    if (!answer.success) {
        showMessageBox(this, 1, QStringLiteral("Error"), answer.message, QMessageBox::Ok);
        endProcessNow();
    }

    // Right after an update that could not be moved into place the same release is
    // still offered: trying again now would only restart into the same failure.
    const QString failedUpdate = updator::takeFailedUpdateNote();
    if (!failedUpdate.isNull()) {
        qCWarning(lcApp).noquote() << "the last update was not installed:" << failedUpdate;
        QTimer::singleShot(0, mainWin, [this, failedUpdate] {
            showMessageBox(mainWin, 2, QStringLiteral("Update failed"), updator::failedUpdateText(failedUpdate),
                           QMessageBox::Ok);
        });
    } else if (updator::shouldUpdate(version, answer.latestVersion)) {
        // The update replaces the rest of the start-up; if it cannot be completed the
        // user has been told, and the feed starts as usual on the running release.
        auto *update = new updator(this);
        connect(update, &updator::updateAbandoned, this, [this, answer]() { continueStartup(answer); });
        update->start(answer.latestVersion, answer.latestVersionPath, this);
        return;
    }
    continueStartup(answer);
}

void authDialog::continueStartup(const StartupSettings &answer)
{
    hide();
    connectionTimer->start(5000);
    mainWin->loadContractCatalogue();
    mainWin->show();

    mainWin->symbolLimit = answer.symbolAllowed;
    mainWin->secureKey = answer.secureKey;
    mainWin->backfillPath = answer.backfillPath;
    mainWin->backfillPathSlow = answer.backfillPathSlow;
    mainWin->eod1yPath = answer.backfillPathEod1y;
    mainWin->liveDataGet = answer.liveDataGet;
    mainWin->liveDataPost = answer.liveDataPost;
    mainWin->websocketLink = answer.websocketLink;
    mainWin->networkGet = answer.networkGet;
    mainWin->networkPost = answer.networkPost;
    mainWin->supportAddress = answer.support;
    daysList = answer.daysbox;

    mainWin->enableInterface(clientId.toUpper(), answer.feeds, daysList, answer.message, answer.eodEnabled);

    backfillAtStartup(QSettings().value(QLatin1String(Keys::AutoBackfillChecked), true).toBool() ? 5 : 1);
}

void authDialog::backfillAtStartup(int days)
{
    const BackfillPathSettings answer =
        BackfillPathSettings::fromBody(apiRequest(QLatin1String(GetSettingsAction), getSettingsParameters(clientId.toUpper())));
    if (!answer.success)
        return;
    oneDayBackfillPath = answer.oneDayBackfillPath;
    fiveDayBackfillPath = answer.fiveDayBackfillPath;
    mainWin->oneDayBackfillPath = oneDayBackfillPath;
    if (days == 5)
        mainWin->do5DayBackfill();
}

void authDialog::checkConnection()
{
    // The probe blocks; it must not run again from the timer while it waits.
    disconnect(connectionTimer, SIGNAL(timeout()), this, SLOT(checkConnection()));

    const bool connected = probeConnection(Platform::probeHost(), ProbePort, ProbeTimeoutMs);
    if (mainWin) {
        mainWin->showStatusMessage(connected
                                       ? QStringLiteral("<span style=\"color:#04432E ;\"><b>Connected</b></span>")
                                       : QStringLiteral("<span style=\"color:#ff0000;\"><b>Disconnected</b></span>"));
    }

    connect(connectionTimer, SIGNAL(timeout()), this, SLOT(checkConnection()));
}
