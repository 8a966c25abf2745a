#pragma once

#include <QString>

namespace Platform {

// The install folder everything is read from and written to: "C:\Quillmark" on
// Windows; elsewhere $QUILLMARK_ROOT, else ~/.local/share/Quillmark. QUILLMARK_ROOT
// is honoured on every platform so tests and demo runs never touch a real install.
QString installRoot();

// Install-relative name ("rtimport.txt", "Amibroker/AF1000") as a full path with the
// platform's separators (on Windows exactly "C:\Quillmark\rtimport.txt").
QString installPath(const QString &relative = QString());

// The same path written with forward slashes ("C:/Quillmark/rtsocket.txt").
QString installPathFwd(const QString &relative = QString());

} // namespace Platform
