#include "eoddata.h"
#include "ui_eoddata.h"

#include "common/settingskeys.h"
#include "ui/appresources.h"

#include <QCloseEvent>
#include <QSettings>

#include "ui/widgetfont.h"
#include <QSignalBlocker>

namespace {
QString key(const char *k)
{
    return QLatin1String(k);
}
} // namespace

eoddata::eoddata(QWidget *parent)
    : QDialog(parent)
{
    // The form's window icon is a resource picture.
    ensureAppResources();
    ui.reset(new Ui::eoddata);
    ui->setupUi(this);

    setVerdanaOnTree(this, 14);

    QSettings store;
    selectedOnly = store.value(key(Keys::SelectedSymbolsBackfill), true).toBool();
    ui->selectedSymbolsBackfill->setChecked(selectedOnly);

    {
        // Restoring a choice is not a new choice: nothing is stored while we do it.
        const QSignalBlocker blockFeed(ui->eodFeedBox);
        const QSignalBlocker blockPeriod(ui->eodDataSelectorBox);

        const QString lastFeed = store.value(key(Keys::LastFeed), QString()).toString();
        if (!lastFeed.isEmpty()) {
            const int i = ui->eodFeedBox->findText(lastFeed, Qt::MatchExactly | Qt::MatchCaseSensitive);
            if (i >= 0)
                ui->eodFeedBox->setCurrentIndex(i);
        }

        const int lastIndex = store.value(key(Keys::LastEodDataSelectorIndex), -1).toInt();
        if (lastIndex >= 0 && lastIndex < ui->eodDataSelectorBox->count()) {
            ui->eodDataSelectorBox->setCurrentIndex(lastIndex);
        } else {
            const QString lastText = store.value(key(Keys::LastEodDataSelectorText), QString()).toString();
            if (!lastText.isEmpty()) {
                const int i = ui->eodDataSelectorBox->findText(lastText, Qt::MatchExactly | Qt::MatchCaseSensitive);
                if (i >= 0)
                    ui->eodDataSelectorBox->setCurrentIndex(i);
            }
        }
    }

    // The form already auto-connects this slot by name; the unique connection keeps it single.
    connect(ui->eodDataSelectorBox, SIGNAL(currentIndexChanged(int)), this,
            SLOT(on_eodDataSelectorBox_currentIndexChanged(int)), Qt::UniqueConnection);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
}

eoddata::~eoddata() = default;

void eoddata::on_selectedSymbolsBackfill_clicked(bool checked)
{
    selectedOnly = checked;
    QSettings store;
    store.setValue(key(Keys::SelectedSymbolsBackfill), selectedOnly);
}

void eoddata::on_eodDataSelectorBox_currentIndexChanged(int index)
{
    QSettings store;
    store.setValue(key(Keys::LastEodDataSelectorIndex), index);
    store.setValue(key(Keys::LastEodDataSelectorText), ui->eodDataSelectorBox->currentText());
    store.sync();
}

void eoddata::on_backfillButton_clicked()
{
    const int period = ui->eodDataSelectorBox->currentIndex() + 1;
    const QString feed = ui->eodFeedBox->currentText();
    selectedOnly = ui->selectedSymbolsBackfill->isChecked();

    {
        QSettings store;
        store.setValue(key(Keys::LastFeed), feed);
        store.setValue(key(Keys::LastEodDataSelectorIndex), ui->eodDataSelectorBox->currentIndex());
        store.setValue(key(Keys::LastEodDataSelectorText), ui->eodDataSelectorBox->currentText());
        store.sync();
    }

    emit doBackfill(feed + QLatin1Char('-') + QString::number(period) + QStringLiteral(".zip"));
    deleteLater();
}

void eoddata::storeChoices()
{
    QSettings store;
    store.setValue(key(Keys::SelectedSymbolsBackfill), selectedOnly);
    store.setValue(key(Keys::LastFeed), ui->eodFeedBox->currentText());
    store.setValue(key(Keys::LastEodDataSelectorIndex), ui->eodDataSelectorBox->currentIndex());
    store.setValue(key(Keys::LastEodDataSelectorText), ui->eodDataSelectorBox->currentText());
    store.sync();
}

void eoddata::finish()
{
    // A close runs through reject() as well; store and schedule the deletion once.
    if (m_finishing)
        return;
    m_finishing = true;
    storeChoices();
    deleteLater();
}

void eoddata::closeEvent(QCloseEvent *event)
{
    finish();
    QDialog::closeEvent(event);
}

void eoddata::reject()
{
    // Otherwise every Escape would leave a hidden dialog behind under the main window.
    finish();
    QDialog::reject();
}
