#pragma once

#include <QtGlobal>

// The automation object AmiBroker is driven through, chosen once per platform:
// our late-bound IDispatch layer over "Broker.Application" on Windows, the
// recording stand-in elsewhere. Both offer dynamicCall(method text[, argument]).
#if defined(Q_OS_WIN)
#include "platform/comdispatch_win.h"
using BrokerObject = ComDispatchObject;
#else
#include "platform/brokerstandin.h"
using BrokerObject = BrokerStandIn;
#endif

// AmiBroker's automation server.
inline constexpr char BrokerProgId[] = "Broker.Application";

// A new automation object without parent, owned by (and only to be used on) the
// calling thread, or nullptr when AmiBroker's automation server cannot be reached
// (callers then skip their calls).
BrokerObject *createBrokerObject();
