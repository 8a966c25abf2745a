#pragma once

#include <QString>
#include <QVariant>

// What became of one call on AmiBroker's automation object. AmiBroker is a program
// of its own: it refuses calls while a modal dialog is up, it is closed and
// reopened, it crashes. Callers must be able to tell these apart, because only an
// answered call may be forgotten.
namespace Broker {

enum class Outcome {
    Done,   // AmiBroker took the call (its result in the reply's value)
    Busy,   // still refused after the retries (a modal dialog, an AFL error box)
    Gone,   // AmiBroker's process has ended or dropped the object; there is none
    Failed, // AmiBroker answered with an error
};

struct Reply
{
    Outcome outcome = Outcome::Gone;
    QVariant value;

    bool done() const { return outcome == Outcome::Done; }
    // AmiBroker did not get to the call at all: whatever it carried must be kept.
    bool unanswered() const { return outcome == Outcome::Busy || outcome == Outcome::Gone; }
};

// How long a refused call is tried again: every RetryEveryMs for up to RetryBudgetMs.
inline constexpr int RetryEveryMs = 250;
inline constexpr int RetryBudgetMs = 10000;

// The outcome of a failed COM call by its HRESULT: refusals while AmiBroker is
// busy, the codes of a server process that has gone or dropped its objects, and
// anything else as an error AmiBroker answered with.
Outcome outcomeOfFailure(quint32 hresult);

QString outcomeName(Outcome outcome);

} // namespace Broker
