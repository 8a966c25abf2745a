#include "brokercall.h"

namespace Broker {

namespace {
// The codes as Windows defines them (winerror.h), so the rule is the same, and
// testable, everywhere.
constexpr quint32 RpcServerCallRetryLater = 0x8001010A; // RPC_E_SERVERCALL_RETRYLATER
constexpr quint32 RpcCallRejected = 0x80010001;         // RPC_E_CALL_REJECTED
constexpr quint32 RpcServerUnavailable = 0x800706BA;    // RPC_S_SERVER_UNAVAILABLE
constexpr quint32 RpcCallFailed = 0x800706BE;           // RPC_S_CALL_FAILED
constexpr quint32 RpcDisconnected = 0x80010108;         // RPC_E_DISCONNECTED
constexpr quint32 RpcServerDied = 0x80010007;           // RPC_E_SERVER_DIED
constexpr quint32 RpcServerDiedDne = 0x80010012;        // RPC_E_SERVER_DIED_DNE
constexpr quint32 ObjectNotConnected = 0x800401FD;      // CO_E_OBJNOTCONNECTED
} // namespace

Outcome outcomeOfFailure(quint32 hresult)
{
    switch (hresult) {
    case RpcServerCallRetryLater:
    case RpcCallRejected:
        return Outcome::Busy;
    case RpcServerUnavailable:
    case RpcCallFailed:
    case RpcDisconnected:
    case RpcServerDied:
    case RpcServerDiedDne:
    case ObjectNotConnected:
        return Outcome::Gone;
    default:
        return Outcome::Failed;
    }
}

QString outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Done:
        return QStringLiteral("done");
    case Outcome::Busy:
        return QStringLiteral("busy");
    case Outcome::Gone:
        return QStringLiteral("gone");
    case Outcome::Failed:
        break;
    }
    return QStringLiteral("failed");
}

} // namespace Broker
