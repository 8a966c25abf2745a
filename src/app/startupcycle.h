#pragma once

#include <functional>

class QApplication;

// Exit code of the event loop that asks for a fresh start-up cycle in the same process.
inline constexpr int RestartExitCode = 4444;

// Runs start-up cycles: each gets a new application object; a cycle whose event
// loop returns RestartExitCode is followed by another, anything else ends with 0.
int runStartupCycles(int &argc, char **argv, const std::function<int(QApplication &)> &cycle);

// One cycle of the program: application identity (running as release `version`),
// start-up controller, event loop.
int runQuillmarkCycle(QApplication &app, const char *version);

// Ends the process at once with status 0: no further event processing, no restart.
[[noreturn]] void endProcessNow();
