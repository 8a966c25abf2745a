#pragma once

#include <QString>
#include <QStringList>

namespace Platform {

// A program and its arguments, started through QProcess.
struct Command
{
    QString program;
    QStringList arguments;
};

// The 7-Zip command-line program, started by bare name: "7za.exe" on Windows,
// "7za" (Debian's p7zip-full) elsewhere. $QUILLMARK_7ZA replaces it (tests use
// it to simulate a missing or failing archiver).
QString sevenZipProgram();

// The unpacker tried when 7-Zip fails: PowerShell's Expand-Archive on Windows,
// "unzip -o" elsewhere. $QUILLMARK_UNZIP replaces the program.
Command fallbackUnpackCommand(const QString &archive, const QString &destination);

// The PowerShell Expand-Archive script for one archive, each apostrophe doubled so
// that a path cannot end PowerShell's single-quoted literal. Portable so that it
// can be checked on every platform.
QString expandArchiveScript(const QString &archive, const QString &destination);

} // namespace Platform
