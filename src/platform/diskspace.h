#pragma once

#include <QFileDevice>
#include <QString>

namespace Platform {

// Bytes this process may still write on the disk that holds path (or its nearest
// existing folder); -1 when the system cannot tell.
qint64 freeDiskBytes(const QString &path);
// The size of that disk; -1 when the system cannot tell.
qint64 diskSizeBytes(const QString &path);

// Whether the write that failed on file failed because the disk holding folder is
// full (as opposed to a file that may not be written at all): worth waiting for.
bool failedForSpace(const QFileDevice &file, const QString &folder);

} // namespace Platform
