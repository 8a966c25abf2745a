#pragma once

#include <QtGlobal>

// The automation object AmiBroker is driven through, chosen once per platform:
// the ActiveX container for "Broker.Application" on Windows, the recording
// stand-in elsewhere. Both offer dynamicCall(method text[, argument]).
#if defined(Q_OS_WIN)
#include <ActiveQt/QAxObject>
using BrokerObject = QAxObject;
#else
#include "platform/brokerstandin.h"
using BrokerObject = BrokerStandIn;
#endif

// A new automation object without parent, or nullptr when AmiBroker's automation
// server cannot be reached (callers then skip their calls).
BrokerObject *createBrokerObject();
