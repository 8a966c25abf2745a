#include "filereplace.h"

#include <QDir>

#include <windows.h>

namespace Platform {

bool replaceFile(const QString &from, const QString &to)
{
    const QString source = QDir::toNativeSeparators(from);
    const QString target = QDir::toNativeSeparators(to);
    return MoveFileExW(reinterpret_cast<LPCWSTR>(source.utf16()), reinterpret_cast<LPCWSTR>(target.utf16()),
                       MOVEFILE_REPLACE_EXISTING)
        != 0;
}

} // namespace Platform
