// The main window's backfill slots: each hands its event to the window's
// backfill pump, which keeps the state of the run.
#include "app/quillmark2.h"

#include "backfill/backfillpump.h"
#include "backfill/eoddata.h"

#include <QPushButton>
#include <QSettings>

#include "app/settingskeys.h"

void quillmark2::do5DayBackfill()
{
    if (backfillPump)
        backfillPump->startupRun();
}

void quillmark2::backfillNewSymbols(const QStringList &symbols)
{
    if (backfillPump)
        backfillPump->backfillNewSymbols(symbols);
}

void quillmark2::doAutoBackFill()
{
    if (backfillPump)
        backfillPump->pump();
}

void quillmark2::backfillButtonClicked(bool clicked)
{
    Q_UNUSED(clicked)
    const auto *button = qobject_cast<const QPushButton *>(sender());
    if (button && backfillPump)
        backfillPump->rowButtonClicked(button->objectName(), button->property("exchName").toString());
}

void quillmark2::updateProgress2(QString progress, QString speed)
{
    if (backfillPump)
        backfillPump->updateProgress(progress, speed);
}

void quillmark2::on_backfillButton_clicked()
{
    if (backfillPump)
        backfillPump->mainButtonClicked();
}

void quillmark2::backfillDone()
{
    if (backfillPump)
        backfillPump->showImportDone();
}

void quillmark2::on_pushButton_clicked()
{
    auto *dialog = new eoddata(this);
    dialog->setModal(true);
    connect(dialog, &eoddata::doBackfill, this, &quillmark2::eodBackfillButton_clicked);
    dialog->show();
}

void quillmark2::eodBackfillButton_clicked(QString symbol)
{
    if (!backfillPump)
        return;
    const auto *dialog = qobject_cast<const eoddata *>(sender());
    const bool selectedOnly = dialog ? dialog->selectedOnly
                                     : QSettings().value(QLatin1String(Keys::SelectedSymbolsBackfill), true).toBool();
    backfillPump->dialogJobRequested(symbol, selectedOnly);
}
