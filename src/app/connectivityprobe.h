#pragma once

#include <QString>

// Whether a TCP connection to host:port can be opened, decided within budgetMs
// all told. The host-name lookup is part of the budget: with the name servers
// out of reach a lookup can take far longer than the budget, and the caller
// (the start-up controller's probe on the GUI thread) must not wait for it. A
// lookup that outlasts its probe goes on in the background and serves the
// next probe of the same host instead of starting another one.
bool probeConnection(const QString &host, quint16 port, int budgetMs);
