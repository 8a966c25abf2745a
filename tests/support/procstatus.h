#pragma once

#include <QtGlobal>

// A memory figure of this process from /proc/self/status ("VmRSS:", "VmHWM:"), in
// KiB; -1 where there is no such file or line (off Linux).
qint64 processStatusKiB(const char *key);
