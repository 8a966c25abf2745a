#include "quitsignals.h"

namespace Platform {

void watchQuitSignals(QObject *, std::function<void()>)
{
}

} // namespace Platform
