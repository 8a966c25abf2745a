#include "diskspace.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

namespace Platform {

namespace {
// Below this a disk counts as full even where the error does not say so (Windows
// reports a full disk as a plain write error).
constexpr qint64 NearlyFullBytes = 1024 * 1024;

QStorageInfo storageOf(const QString &path)
{
    QFileInfo info(path);
    // The folder may not exist yet: its nearest existing ancestor is on the same disk.
    while (!info.exists() && !info.isRoot()) {
        const QString parent = info.absolutePath();
        if (parent == info.absoluteFilePath())
            break;
        info.setFile(parent);
    }
    return QStorageInfo(info.absoluteFilePath());
}

} // namespace

qint64 freeDiskBytes(const QString &path)
{
    const QStorageInfo storage = storageOf(path);
    return storage.isValid() ? storage.bytesAvailable() : -1;
}

qint64 diskSizeBytes(const QString &path)
{
    const QStorageInfo storage = storageOf(path);
    return storage.isValid() ? storage.bytesTotal() : -1;
}

bool failedForSpace(const QFileDevice &file, const QString &folder)
{
    if (file.error() == QFileDevice::ResourceError)
        return true;
    const qint64 free = freeDiskBytes(folder);
    return free >= 0 && free < NearlyFullBytes;
}

} // namespace Platform
