#pragma once

#include <QDialog>
#include <QScopedPointer>

namespace Ui {
class settings;
}

// Backfill mode, layout saving, AmiBroker control, the start-up EOD backfill and
// the gap fill after a lost live connection.
// The main window keeps one for its life and reads the flags below.
class settings : public QDialog
{
    Q_OBJECT
public:
    explicit settings(QWidget *parent = nullptr);
    ~settings() override;

    // Reads the store into the controls and the flags; the main window calls it
    // before every showing, so the dialog never shows stale, unsaved choices.
    void loadSettings();

    bool controlAmibrokerFlag = false;
    bool slowBackfillFlag = false;
    bool autoEodBackfillFlag = true;
    bool gapFillEnabledFlag = true;

signals:
    // OK was pressed with AmiBroker control on (the choice is stored by then).
    void controlAmibrokerEnabled();

private slots:
    void on_buttonBox_accepted();
    void on_buttonBox_rejected();

private:
    QScopedPointer<Ui::settings> ui;
};
