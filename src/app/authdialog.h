#pragma once

#include <QDialog>
#include <QStringList>

class ConnectivityProbe;
class QNetworkAccessManager;
class QTimer;
class quillmark2;
class startupAnimation;
struct StartupSettings;

// The start-up controller: never shown; builds everything in a fixed order,
// runs the start-up exchange with the data server and owns what outlives it.
class authDialog : public QDialog
{
    Q_OBJECT

public:
    explicit authDialog(QWidget *parent = nullptr);

    // The connectivity probe: port 80 of the probe host, the whole probe
    // (lookup included) bounded by the time-out; it never blocks the window.
    static constexpr quint16 ProbePort = 80;
    static constexpr int ProbeTimeoutMs = 5000;
    ~authDialog() override;

    void startUp();
    void requestStartupSettings();

    quillmark2 *mainWindow() const { return mainWin; }
    QString clientIdentifier() const { return clientId; }

    // The identifier of this installation: stable for one machine and install
    // folder, upper-case hexadecimal.
    static QString deriveClientIdentifier();

public slots:
    void backfillAtStartup(int days);
    void checkConnection();

signals:
    // A connectivity probe has set the status label (tests and benchmarks wait for it).
    void connectionCheckDone(bool connected);

private:
    void connectionChecked(bool connected);
    // The normal path of the start-up exchange: show and configure the main window.
    void continueStartup(const StartupSettings &answer);

    startupAnimation *splash = nullptr;
    quillmark2 *mainWin = nullptr;
    QTimer *connectionTimer = nullptr;
    QString oneDayBackfillPath;
    QString fiveDayBackfillPath;
    QStringList daysList;
    QNetworkAccessManager *networkManager = nullptr;
    QString clientId;
    ConnectivityProbe *probe = nullptr;
};
