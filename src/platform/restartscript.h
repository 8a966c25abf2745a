#pragma once

#include <QString>

namespace Platform {

// The script that brings the program back after an update, in the install folder:
// "QuillLaunch.bat" on Windows, "QuillLaunch.sh" (run by /bin/sh) elsewhere. The
// program never writes it; the installation or the update archive provides it.
QString restartScriptPath();

bool scriptExists();

// Starts the script detached, without arguments, in the install folder. False when
// it is missing or could not be started.
bool startRestartScript();

} // namespace Platform
