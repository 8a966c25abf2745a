#include "brokerautomation.h"

BrokerObject *createBrokerObject()
{
#if defined(Q_OS_WIN)
    auto *object = new ComDispatchObject(QLatin1String(BrokerProgId));
    if (object->isNull()) {
        delete object;
        return nullptr;
    }
    return object;
#else
    // A closed AmiBroker cannot be made, as one that fails to start.
    BrokerStandIn::followControlFile();
    return BrokerStandIn::canStart() ? new BrokerStandIn() : nullptr;
#endif
}
