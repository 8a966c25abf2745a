#pragma once

#include <QString>

namespace Platform {

// Finds the top-level window whose title is exactly `title`, brings it to the
// foreground and shows it (not minimised or maximised). Returns false when there
// is none (always so off Windows, where AmiBroker has no window).
bool bringWindowToFront(const QString &title);

} // namespace Platform
