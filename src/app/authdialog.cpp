#include "authdialog.h"

#include "api/apirequest.h"
#include "api/serverprofile.h"
#include "api/serversettings.h"
#include "app/connectivityprobe.h"
#include "common/messagebox.h"
#include "common/settingskeys.h"
#include "app/provisioning.h"
#include "app/processexit.h"
#include "app/quillmark2.h"
#include "ui/startupanimation.h"
#include "ui/widgetfont.h"
#include "updater/updator.h"
#include "platform/installroot.h"
#include "platform/serverhost.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QJsonObject>
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
    mainWin->setNetworkManager(networkManager);

    connectionTimer = new QTimer();
    connect(connectionTimer, SIGNAL(timeout()), this, SLOT(checkConnection()));

    requestStartupSettings();
    splash->hideSplash();
}

void authDialog::requestStartupSettings()
{
    const QString version = QCoreApplication::applicationVersion();
    const ApiReply reply =
        apiExchange(QLatin1String(StartupAction), startupParameters(clientId.toUpper(), version));
    const StartupSettings answer = StartupSettings::fromBody(reply.body);

    if (!answer.success) {
        // Without a word from the server, say what happened: a trader must be able
        // to tell a server that is down from one that answered nonsense.
        const QString text = answer.message.isEmpty() ? apiFailureText(reply) : answer.message;
        qCWarning(lcApp).noquote() << "start-up refused:" << text;
        showMessageBox(this, 1, QStringLiteral("Error"), text, QMessageBox::Ok);
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
    const QString contractsFailure = mainWin->loadContractCatalogue();
    mainWin->show();

    mainWin->configure(ServerProfile::fromStartup(answer, clientId));
    daysList = answer.daysbox;

    mainWin->enableInterface(clientId.toUpper(), answer.feeds, daysList, answer.message, answer.eodEnabled);
    if (!contractsFailure.isEmpty())
        mainWin->appendMessage(QStringLiteral("The symbol list could not be loaded: %1").arg(contractsFailure));

    backfillAtStartup(QSettings().value(QLatin1String(Keys::AutoBackfillChecked), true).toBool() ? 5 : 1);
}

void authDialog::backfillAtStartup(int days)
{
    const ApiReply reply = apiExchange(QLatin1String(GetSettingsAction), getSettingsParameters(clientId.toUpper()));
    const QJsonObject object = jsonObjectOf(reply.body);
    const BackfillPathSettings answer = BackfillPathSettings::fromJson(object);
    if (!answer.success) {
        // A readable "no" stays quiet; an answer that never came or cannot be read is said.
        if (reply.outcome != ApiOutcome::Answered || object.isEmpty()) {
            const QString text = apiFailureText(reply);
            qCWarning(lcApp).noquote() << "backfill paths not received:" << text;
            if (mainWin)
                mainWin->appendMessage(QStringLiteral("The backfill addresses could not be loaded: %1").arg(text));
        }
        return;
    }
    oneDayBackfillPath = answer.oneDayBackfillPath;
    fiveDayBackfillPath = answer.fiveDayBackfillPath;
    mainWin->setOneDayBackfillPath(oneDayBackfillPath);
    if (days == 5)
        mainWin->do5DayBackfill();
}

void authDialog::checkConnection()
{
    // The timer must not start another probe while this one waits; the label is
    // set, and the timer taken up again, when the probe ends.
    if (connectionTimer)
        disconnect(connectionTimer, SIGNAL(timeout()), this, SLOT(checkConnection()));
    if (!probe) {
        probe = new ConnectivityProbe(this);
        connect(probe, &ConnectivityProbe::finished, this, &authDialog::connectionChecked);
    }
    probe->start(Platform::probeHost(), ProbePort, ProbeTimeoutMs);
}

void authDialog::connectionChecked(bool connected)
{
    if (mainWin) {
        mainWin->showStatusMessage(connected
                                       ? QStringLiteral("<span style=\"color:#04432E ;\"><b>Connected</b></span>")
                                       : QStringLiteral("<span style=\"color:#ff0000;\"><b>Disconnected</b></span>"));
    }
    if (connectionTimer)
        connect(connectionTimer, SIGNAL(timeout()), this, SLOT(checkConnection()), Qt::UniqueConnection);
    emit connectionCheckDone(connected);
}
