#pragma once

#include <QDialog>
#include <QHash>
#include <QMap>
#include <QStringList>
#include <QVector>

class QElapsedTimer;
class QLabel;
class QNetworkAccessManager;
class QThread;
class QTimer;
class MyDownloader;
class WebSocketWorker;
class liveDataUpdator;
class settings;

namespace Ui {
class quillmark2;
}

// The program's single main window. Built hidden during start-up, shown by the
// normal path of the start-up exchange and configured once by enableInterface.
class quillmark2 : public QDialog
{
    Q_OBJECT

public:
    explicit quillmark2(QWidget *parent = nullptr);
    ~quillmark2() override;

    // Number of feed buttons; their order is the order of the stored "checkbox%1" keys.
    static constexpr int FeedCount = 9;

    QString windowTitleText;
    QNetworkAccessManager *networkManager = nullptr;
    QHash<QString, QStringList> contractCatalogue;
    QString databasePath;
    QString oneDayBackfillPath;
    QString currentFeed;
    QString secureKey;
    QString urlScheme;
    QVector<bool> feedStates;
    MyDownloader *downloader = nullptr;
    QString backfillPathSlow;
    QString backfillPath;
    QString eod1yPath;
    QString supportAddress;
    QString websocketLink;
    QStringList defaultLiveSymbols;
    bool liveFlag = false;
    bool enableEOD = false;
    qint32 symbolLimit = 0;
    liveDataUpdator *updater = nullptr;
    Ui::quillmark2 *ui = nullptr;
    QThread *liveThread = nullptr;
    WebSocketWorker *liveWorker = nullptr;
    QTimer *displayRefreshTimer = nullptr;
    settings *settingsDialog = nullptr;
    QTimer *liveImportTimer = nullptr;
    QTimer *secondTimer = nullptr;

    // Server settings that are kept but not used further.
    QString liveDataGet;
    QString liveDataPost;
    QString networkGet;
    QString networkPost;

    // The window's copies of the symbol maps, refreshed after the mapping dialog.
    QMap<QString, QString> oldToNewMap;
    QMap<QString, QString> newToOldMap;

    // Text of the uptime overlay for e milliseconds: "Running: H:MM:SS".
    static QString uptimeText(qint64 elapsedMs);

    // Counts how often the product name occurs in a process-list text (any case).
    static int countProductInstances(const QString &processList);

public slots:
    void enableInterface(QString MachineID, QString enabledFeeds, QStringList daysbox, QString message,
                         bool enableEOD);
    void showStatusMessage(QString message);

private slots:
    void on_daysBox_activated(const QString &text);
    void on_contactSupportButton_clicked();

private:
    void buildUptimeOverlay();
    void placeUptimeLabel();
    void checkSingleInstance();

    QElapsedTimer *uptimeClock = nullptr;
    QLabel *uptimeLabel = nullptr;
};
