#pragma once

#include "platform/brokercall.h"

#include <QString>
#include <QVariant>

// The automation object AmiBroker is driven through: on Windows our late-bound
// IDispatch layer over "Broker.Application", elsewhere the recording stand-in. Each
// call is one attempt, and says what became of it.
class BrokerAutomation
{
public:
    virtual ~BrokerAutomation() = default;

    virtual Broker::Reply call(const QString &function, const QVariant &arg = QVariant()) = 0;

    // How long a call AmiBroker refuses as busy is tried again before it counts as
    // Busy (0: at once). Objects without a message filter leave it to the caller.
    virtual void setRetryBudgetMs(int ms) = 0;
};

// AmiBroker's automation server.
inline constexpr char BrokerProgId[] = "Broker.Application";

// Where there is no AmiBroker, the stand-in lives above this layer and installs the
// function that makes its objects once at start (nullptr when it cannot be made,
// as a closed AmiBroker). Windows always makes the COM object.
using BrokerStandInMaker = BrokerAutomation *(*)();
void setBrokerStandInMaker(BrokerStandInMaker make);

// A new automation object, owned by (and only to be used on) the calling thread,
// or nullptr when AmiBroker's automation server cannot be reached.
BrokerAutomation *createBrokerObject();
