#pragma once

#include <QString>
#include <QStringList>

namespace Platform {

// Text listing the image names of the running processes, as the single-instance
// check reads it: "tasklist" output on Windows, one name per line from /proc here.
// A lister that cannot run yields an empty text (and so the check passes).
QString processListText(int timeoutMs = 30000);

// Image names of the running processes.
QStringList runningProcessNames();

} // namespace Platform
