#include "settings.h"
#include "ui_settings.h"

#include "common/settingskeys.h"

#include <QLoggingCategory>
#include <QSettings>

#include "ui/widgetfont.h"


namespace {
QString key(const char *k)
{
    return QLatin1String(k);
}
} // namespace

settings::settings(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::settings)
{
    ui->setupUi(this);

    setVerdanaOnTree(this, 14);

    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    loadSettings();
}

settings::~settings() = default;

void settings::loadSettings()
{
    QSettings store;

    ui->saveLayout->setChecked(store.value(key(Keys::SaveLayout), false).toBool());

    controlAmibrokerFlag = store.value(key(Keys::ControlAmibroker), false).toBool();
    ui->controlAmibroker->setChecked(controlAmibrokerFlag);

    slowBackfillFlag = store.value(key(Keys::SlowBackfill), false).toBool();
    if (slowBackfillFlag)
        ui->slowBackfill->setChecked(true);
    else
        ui->fastBackfill->setChecked(true);

    autoEodBackfillFlag = store.value(key(Keys::AutoEodBackfill), true).toBool();
    ui->autoEodBackfill->setChecked(autoEodBackfillFlag);

    gapFillEnabledFlag = store.value(key(Keys::GapFillEnabled), true).toBool();
    ui->gapFillEnabled->setChecked(gapFillEnabledFlag);

    // Only the second server is in service, whatever an older version stored.
    ui->mode2->setChecked(true);
    ui->mode1->setChecked(false);
}

void settings::on_buttonBox_accepted()
{
    {
        QSettings store;
        store.setValue(key(Keys::SaveLayout), ui->saveLayout->isChecked());
        store.setValue(key(Keys::ControlAmibroker), ui->controlAmibroker->isChecked());

        slowBackfillFlag = ui->slowBackfill->isChecked();
        store.setValue(key(Keys::SlowBackfill), slowBackfillFlag);

        autoEodBackfillFlag = ui->autoEodBackfill->isChecked();
        store.setValue(key(Keys::AutoEodBackfill), autoEodBackfillFlag);

        gapFillEnabledFlag = ui->gapFillEnabled->isChecked();
        store.setValue(key(Keys::GapFillEnabled), gapFillEnabledFlag);
        store.sync();
    }

    if (ui->controlAmibroker->isChecked())
        emit controlAmibrokerEnabled();

    {
        QSettings store;
        store.setValue(key(Keys::DataMode), 2);
        store.sync();
    }

    loadSettings();
    accept();
}

void settings::on_buttonBox_rejected()
{
    reject();
}
