// Closing and restarting the main window: the live stream is ended, the selection
// saved and, when the user lets us control AmiBroker, its work saved and AmiBroker ended.
#include "app/quillmark2.h"
#include "ui_quillmark2.h"

#include "amibroker/livedataupdator.h"
#include "app/installfiles.h"
#include "app/settingskeys.h"
#include "app/processexit.h"
#include "live/livesession.h"
#include "platform/installroot.h"
#include "platform/processes.h"
#include "symbols/feedcatalogue.h"
#include "symbols/symbolselection.h"
#include "ui/settings.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QSettings>
#include <QThread>

namespace {

const char kAmiBrokerImage[] = "Broker.exe";
const int kSaveCommand = 33029;

// Saves AmiBroker's database and, when asked to, its layout.
void saveAmiBrokerWork(liveDataUpdator *updater)
{
    updater->brokerCall("SaveDatabase()");
    if (QSettings().value(QLatin1String(Keys::SaveLayout), false).toBool()) {
        const QString layout = Platform::installPath(QLatin1String(InstallFiles::LayoutFile));
        // UTF-8, as every other call text: a Latin-1 copy would turn other characters of the path into '?'.
        updater->brokerCall(QStringLiteral("SaveLayout(%1)").arg(layout).toUtf8().constData());
    }
}

} // namespace

void quillmark2::on_controlAmibrokerEnabled()
{
    const bool control = QSettings().value(QLatin1String(Keys::ControlAmibroker), false).toBool();
    if (settingsDialog)
        settingsDialog->controlAmibrokerFlag = control;
}

void quillmark2::closeEvent(QCloseEvent *event)
{
    m_live->stop();
    // No tick arrives any more: what still waits reaches AmiBroker before it is saved.
    if (updater)
        updater->importHeldTicks();

    QSettings settings;
    for (int i = 0; i < FeedCatalogue::Count; ++i)
        settings.setValue(QString::fromLatin1(Keys::CheckboxPattern).arg(i), feedStates.value(i));
    m_selection->save();
    settings.setValue(QLatin1String(Keys::AutoBackfillChecked), ui->autofillCheckBox->isChecked());
    settings.setValue(QLatin1String(Keys::AutoFilldays), ui->autoFilldaysBox->currentText());
    settings.sync();

    // Without AmiBroker the save calls are skipped; a busy one makes the first call
    // wait the retry budget and the rest try once, so the close never hangs on it.
    const bool haveAmiBroker =
        updater && updater->brokerCall("ExecuteCommand(int)", kSaveCommand).outcome != Broker::Outcome::Gone;

    if (settingsDialog && settingsDialog->controlAmibrokerFlag) {
        if (haveAmiBroker)
            saveAmiBrokerWork(updater);
        hide();
        QThread::msleep(1000);
        Platform::endProcessTreesByImage(QLatin1String(kAmiBrokerImage));
    }
    event->accept();
}

void quillmark2::on_restartButton_clicked()
{
    if (settingsDialog && settingsDialog->controlAmibrokerFlag && updater
        && updater->amiBrokerState() != BrokerLink::State::Gone) {
        saveAmiBrokerWork(updater);
        // The new cycle must not end AmiBroker at its own close.
        settingsDialog->controlAmibrokerFlag = false;
        QSettings settings;
        settings.setValue(QLatin1String(Keys::ControlAmibroker), false);
        settings.sync();
        QThread::msleep(500);
    }
    close();
    QCoreApplication::exit(RestartExitCode);
}
