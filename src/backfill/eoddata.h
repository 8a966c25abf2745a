#pragma once

#include <QDialog>
#include <QScopedPointer>

namespace Ui {
class eoddata;
}

// One end-of-day archive request: feed, period and whether only the watch-list
// symbols are imported. Remembers the choices and deletes itself when done.
class eoddata : public QDialog
{
    Q_OBJECT
public:
    explicit eoddata(QWidget *parent = nullptr);
    ~eoddata() override;

    // Read by the main window while it handles doBackfill.
    bool selectedOnly = true;

signals:
    // The archive to fetch, e.g. "CASH-1.zip".
    void doBackfill(QString symbol);

public slots:
    // Escape rejects without a close event; it must end the dialog the same way.
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_backfillButton_clicked();
    void on_selectedSymbolsBackfill_clicked(bool checked);
    void on_eodDataSelectorBox_currentIndexChanged(int index);

private:
    void storeChoices();
    void finish();

    bool m_finishing = false;

    QScopedPointer<Ui::eoddata> ui;
};
