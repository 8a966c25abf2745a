#pragma once

#include "app/processexit.h"

#include <functional>

class QApplication;

// Runs start-up cycles: each gets a new application object; a cycle whose event
// loop returns RestartExitCode is followed by another, anything else ends with 0.
int runStartupCycles(int &argc, char **argv, const std::function<int(QApplication &)> &cycle);

// One cycle of the program: application identity (running as release `version`),
// start-up controller, event loop.
int runQuillmarkCycle(QApplication &app, const char *version);
