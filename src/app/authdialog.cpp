#include "authdialog.h"

#include "app/provisioning.h"
#include "app/quillmark2.h"
#include "platform/installroot.h"
#include "platform/serverhost.h"

#include <QCryptographicHash>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QSysInfo>
#include <QTcpSocket>
#include <QTimer>

Q_DECLARE_LOGGING_CATEGORY(lcApp)

authDialog::authDialog(QWidget *parent)
    : QDialog(parent)
    , clientId(deriveClientIdentifier())
{
    QFont verdana(QStringLiteral("Verdana"));
    verdana.setPixelSize(13);
    setFont(verdana);
    const QList<QWidget *> children = findChildren<QWidget *>();
    for (QWidget *child : children)
        child->setFont(verdana);
    setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
}

authDialog::~authDialog()
{
    // The main window has no parent; ending it here stops its live thread so
    // nothing of this cycle runs on into the next one.
    delete mainWin;
    mainWin = nullptr;
    delete connectionTimer;
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
    networkManager = new QNetworkAccessManager(this);

    provisionInstallFolder();

    mainWin = new quillmark2();
    mainWin->networkManager = networkManager;

    connectionTimer = new QTimer();
    connect(connectionTimer, SIGNAL(timeout()), this, SLOT(checkConnection()));

    requestStartupSettings();
}

void authDialog::requestStartupSettings()
{
    hide();
    connectionTimer->start(5000);
    mainWin->show();
    mainWin->enableInterface(clientId.toUpper(), QString(), daysList, QString(), false);
}

void authDialog::backfillAtStartup(int days)
{
    Q_UNUSED(days)
}

void authDialog::checkConnection()
{
    // The probe blocks; it must not run again from the timer while it waits.
    disconnect(connectionTimer, SIGNAL(timeout()), this, SLOT(checkConnection()));

    QTcpSocket socket;
    socket.connectToHost(Platform::probeHost(), 80, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    const bool connected = socket.waitForConnected(5000);
    if (mainWin) {
        mainWin->showStatusMessage(connected
                                       ? QStringLiteral("<span style=\"color:#04432E ;\"><b>Connected</b></span>")
                                       : QStringLiteral("<span style=\"color:#ff0000;\"><b>Disconnected</b></span>"));
    }
    socket.close();

    connect(connectionTimer, SIGNAL(timeout()), this, SLOT(checkConnection()));
}
