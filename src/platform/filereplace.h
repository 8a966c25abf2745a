#pragma once

#include <QString>

namespace Platform {

// Moves `from` over `to` in one step, replacing an existing `to`: a reader opening
// `to` meanwhile finds either the old file or the new one, whole. rename(2) here,
// MoveFileExW with MOVEFILE_REPLACE_EXISTING on Windows. False when the move
// failed (on Windows, e.g. while a reader holds `to` open without delete sharing);
// `from` then stays where it is.
bool replaceFile(const QString &from, const QString &to);

} // namespace Platform
