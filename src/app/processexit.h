#pragma once

// How the process ends, apart from the start-up loop that runs it.

// Exit code of the event loop that asks for a fresh start-up cycle in the same process.
inline constexpr int RestartExitCode = 4444;

// Ends the process at once with status 0: no further event processing, no restart
// (the log's queue is written out first).
[[noreturn]] void endProcessNow();
