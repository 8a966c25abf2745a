#pragma once

#include "api/serverprofile.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QPointer>
#include <QStringList>
#include <QVector>

class LiveSession;
class QAbstractButton;
class SymbolSelection;
class QLabel;
class QMessageBox;
class QNetworkAccessManager;
class QThread;
class QTimer;
class BackfillPump;
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

    QNetworkAccessManager *networkManager = nullptr;
    QHash<QString, QStringList> contractCatalogue;
    QString currentFeed;
    QVector<bool> feedStates;
    MyDownloader *downloader = nullptr;
    liveDataUpdator *updater = nullptr;
    Ui::quillmark2 *ui = nullptr;
    settings *settingsDialog = nullptr;

    // The window's copies of the symbol maps, refreshed after the mapping dialog.
    QMap<QString, QString> oldToNewMap;
    QMap<QString, QString> newToOldMap;

    // Text of the uptime overlay for e milliseconds: "Running: H:MM:SS".
    static QString uptimeText(qint64 elapsedMs);

    // Counts how often the product name occurs in a process-list text (any case).
    static int countProductInstances(const QString &processList);

    // Runs the backfill queue and the end-of-day dialog's job; lives as long as the window.
    BackfillPump *backfillPump = nullptr;

    // Exchange names of the enabled feed buttons, in feed order.
    QStringList enabledFeedExchanges() const;

    void showFeedSymbols(const QString &feed);
    void backfillNewSymbols(const QStringList &symbols);
    // Replaces the catalogue with the server's; what went wrong when it could not be had.
    QString loadContractCatalogue();

    // What the server told this installation at start-up, handed over once; the
    // one-day backfill path follows from "get_settings".
    void configure(const ServerProfile &profile);
    void setOneDayBackfillPath(const QString &path);
    const ServerProfile &profile() const { return m_profile; }
    // The trader's selected symbols (the window owns them).
    SymbolSelection *selection() const { return m_selection; }
    // The live stream, its health line and the quote table.
    LiveSession *liveSession() const { return m_live; }

signals:
    void deleteButton(bool);

public slots:
    void enableInterface(QString MachineID, QString enabledFeeds, QStringList daysbox, QString message,
                         bool enableEOD);
    void showStatusMessage(QString message);
    // Adds a line to the messages panel under the quote table (what the program
    // has to tell the trader that needs no answer).
    void appendMessage(const QString &text);

    // Live stream.
    void on_connectButton_clicked();
    void updateThreads();
    void updateDisplayTable();

    // AmiBroker control.
    void on_controlAmibrokerEnabled();
    void on_restartButton_clicked();

    // Symbols.
    void addDisplayTable();
    void closeButtonClicked(bool clicked);
    void updateSymbolsSelectedLabel();

    // Backfill.
    void do5DayBackfill();
    void doAutoBackFill();
    void backfillButtonClicked(bool clicked);
    void updateProgress2(QString progress, QString speed);

private slots:
    void on_daysBox_activated(const QString &text);
    void on_contactSupportButton_clicked();

    void on_cashBox_toggled(bool checked);
    void on_futureBox_toggled(bool checked);
    void on_optionBox_toggled(bool checked);
    void on_commBox_toggled(bool checked);
    void on_currBox_toggled(bool checked);
    void on_spotBox_toggled(bool checked);
    void on_SXOPTBox_toggled(bool checked);
    void on_SXOPTBox2_toggled(bool checked);
    void on_ForexBox_toggled(bool checked);
    void on_machineIDLabel_2_textChanged(const QString &text);
    void on_selectAll_clicked();
    void on_selectNone_clicked();
    void on_addSelected_clicked();
    void on_DeleteAll_clicked();
    void updateUrlDataState();

    void on_save_list_clicked();
    void on_load_list_2_clicked();
    void on_MappingButton_clicked();
    void on_amibrokerPathButton_clicked();

    void on_backfillButton_clicked();
    void backfillDone();
    void on_pushButton_clicked();
    void eodBackfillButton_clicked(QString symbol);

public slots:
    // Escape would hide the window without its close handling (selection and
    // AmiBroker's work unsaved) and end the program; the window closes only by closing.
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void feedToggled(int index, bool checked);
    // The button of a feed (FeedCatalogue's order).
    QAbstractButton *feedButton(int index) const;
    void restoreSelection();

    void buildUptimeOverlay();
    void placeUptimeLabel();
    void checkSingleInstance();

    QElapsedTimer *uptimeClock = nullptr;
    QLabel *uptimeLabel = nullptr;
    ServerProfile m_profile;
    SymbolSelection *m_selection = nullptr;
    LiveSession *m_live = nullptr;
};
