#pragma once

#include "api/serverprofile.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QStringList>

class AmiBrokerControl;
class BackfillPump;
class LiveSession;
class MyDownloader;
class QLabel;
class QNetworkAccessManager;
class SelectionController;
class SymbolSelection;
class liveDataUpdator;
class settings;

namespace Ui {
class quillmark2;
}

// The program's single main window. Built hidden during start-up, shown by the
// normal path of the start-up exchange and configured once (configure, then
// enableInterface). A thin shell: its form, the uptime overlay, and the objects
// that do the work, each with one job:
// - SymbolSelection: the selected symbols, their exchanges and the limit;
// - SelectionController: the feed buttons, the symbol list, the selected-symbols
//   table, wish lists and the mapping;
// - LiveSession: the live stream, its health line and the quote table;
// - liveDataUpdator: AmiBroker and the live and backfill imports;
// - BackfillPump with MyDownloader: the backfill queue and its downloads;
// - AmiBrokerControl: AmiBroker at the close and the restart.
// The form's slots hand each action to the object it belongs to.
class quillmark2 : public QDialog
{
    Q_OBJECT

public:
    explicit quillmark2(QWidget *parent = nullptr);
    ~quillmark2() override;

    // Text of the uptime overlay for e milliseconds: "Running: H:MM:SS".
    static QString uptimeText(qint64 elapsedMs);
    // Counts how often the product name occurs in a process-list text (any case).
    static int countProductInstances(const QString &processList);

    // What the server told this installation at start-up, handed over once; the
    // one-day backfill path follows from "get_settings".
    void configure(const ServerProfile &profile);
    void setOneDayBackfillPath(const QString &path);
    const ServerProfile &profile() const { return m_profile; }
    // The start-up's network manager, for the contract list.
    void setNetworkManager(QNetworkAccessManager *network);
    // Replaces the catalogue with the server's; what went wrong when it could not be had.
    QString loadContractCatalogue();

    // The objects the window is made of.
    SymbolSelection *selection() const { return m_selection; }
    SelectionController *symbolControls() const { return m_symbols; }
    LiveSession *liveSession() const { return m_live; }
    liveDataUpdator *updater() const { return m_updater; }
    MyDownloader *downloader() const { return m_downloader; }
    BackfillPump *backfillPump() const { return m_backfill; }
    settings *settingsDialog() const { return m_settingsDialog; }

    // Exchange names of the enabled feed buttons, in feed order.
    QStringList enabledFeedExchanges() const;
    void showFeedSymbols(const QString &feed);
    void backfillNewSymbols(const QStringList &symbols);

signals:
    // A row's "X" was pressed.
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
    void updateSymbolsSelectedLabel();

    // Backfill.
    void do5DayBackfill();
    void doAutoBackFill();
    void updateProgress2(QString progress, QString speed);
    // The end-of-day dialog asks for one archive (the trader's selected-only choice
    // is the dialog's, or the stored one when no dialog asks).
    void eodBackfillButton_clicked(QString symbol);

    // Escape would hide the window without its close handling (selection and
    // AmiBroker's work unsaved) and end the program; the window closes only by closing.
    void reject() override;

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

    void on_save_list_clicked();
    void on_load_list_2_clicked();
    void on_MappingButton_clicked();
    void on_amibrokerPathButton_clicked();

    void on_backfillButton_clicked();
    void on_pushButton_clicked();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildUptimeOverlay();
    void placeUptimeLabel();
    void checkSingleInstance();
    void saveWindowState();

    Ui::quillmark2 *ui = nullptr;
    ServerProfile m_profile;
    SymbolSelection *m_selection = nullptr;
    SelectionController *m_symbols = nullptr;
    LiveSession *m_live = nullptr;
    liveDataUpdator *m_updater = nullptr;
    MyDownloader *m_downloader = nullptr;
    BackfillPump *m_backfill = nullptr;
    AmiBrokerControl *m_amiBroker = nullptr;
    settings *m_settingsDialog = nullptr;
    QElapsedTimer m_uptime;
    QLabel *m_uptimeLabel = nullptr;
};
