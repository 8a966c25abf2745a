#pragma once

#include <functional>

class QObject;

namespace Platform {

// Calls onQuit on the GUI thread when the process is asked to end (SIGINT or
// SIGTERM here; nothing to watch on Windows, where the window's close does it).
// The watch lives as long as context.
void watchQuitSignals(QObject *context, std::function<void()> onQuit);

} // namespace Platform
