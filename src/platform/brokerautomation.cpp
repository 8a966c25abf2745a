#include "brokerautomation.h"

BrokerObject *createBrokerObject()
{
#if defined(Q_OS_WIN)
    auto *object = new QAxObject();
    if (!object->setControl(QStringLiteral("Broker.Application"))) {
        delete object;
        return nullptr;
    }
    return object;
#else
    return new BrokerStandIn();
#endif
}
