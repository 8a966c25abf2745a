#include "amibrokercontrol.h"

#include "amibroker/livedataupdator.h"
#include "common/installfiles.h"
#include "common/settingskeys.h"
#include "platform/installroot.h"
#include "platform/processes.h"

#include <QSettings>
#include <QThread>

namespace {
const char AmiBrokerImage[] = "Broker.exe";
constexpr int PauseBeforeEndingMs = 1000;
constexpr int PauseBeforeRestartMs = 500;
} // namespace

AmiBrokerControl::AmiBrokerControl(liveDataUpdator *updater, std::function<bool()> controlWanted,
                                   std::function<void()> giveUpControl, QObject *parent)
    : QObject(parent)
    , m_updater(updater)
    , m_controlWanted(std::move(controlWanted))
    , m_giveUpControl(std::move(giveUpControl))
{
}

void AmiBrokerControl::importWaitingTicks()
{
    m_updater->importHeldTicks();
}

void AmiBrokerControl::saveWork()
{
    m_updater->brokerCall("SaveDatabase()");
    if (QSettings().value(QLatin1String(Keys::SaveLayout), false).toBool()) {
        const QString layout = Platform::installPath(QLatin1String(InstallFiles::LayoutFile));
        // UTF-8, as every other call text: a Latin-1 copy would turn other characters of the path into '?'.
        m_updater->brokerCall(QStringLiteral("SaveLayout(%1)").arg(layout).toUtf8().constData());
    }
}

void AmiBrokerControl::close(const std::function<void()> &hideWindow)
{
    // Without AmiBroker the save calls are skipped; a busy one makes the first call
    // wait the retry budget and the rest try once, so the close never hangs on it.
    const bool haveAmiBroker = m_updater->brokerCall("ExecuteCommand(int)", SaveCommand).outcome != Broker::Outcome::Gone;
    if (!m_controlWanted())
        return;
    if (haveAmiBroker)
        saveWork();
    hideWindow();
    QThread::msleep(PauseBeforeEndingMs);
    Platform::endProcessTreesByImage(QLatin1String(AmiBrokerImage));
}

void AmiBrokerControl::restart()
{
    if (!m_controlWanted() || m_updater->amiBrokerState() == BrokerLink::State::Gone)
        return;
    saveWork();
    // The new cycle must not end AmiBroker at its own close.
    m_giveUpControl();
    QThread::msleep(PauseBeforeRestartMs);
}
