#include "brokerautomation.h"

#if defined(Q_OS_WIN)
#include "platform/comdispatch_win.h"
#endif

#include <atomic>

namespace {
std::atomic<BrokerStandInMaker> g_standInMaker{nullptr};
}

void setBrokerStandInMaker(BrokerStandInMaker make)
{
    g_standInMaker.store(make);
}

BrokerAutomation *createBrokerObject()
{
#if defined(Q_OS_WIN)
    auto *object = new ComDispatchObject(QLatin1String(BrokerProgId));
    if (object->isNull()) {
        delete object;
        return nullptr;
    }
    return object;
#else
    const BrokerStandInMaker make = g_standInMaker.load();
    return make ? make() : nullptr;
#endif
}
