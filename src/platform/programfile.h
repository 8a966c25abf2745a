#pragma once

#include <QByteArray>
#include <QString>

namespace Platform {

// The program's own file as a release carries it: "Quillmark.exe" on Windows,
// elsewhere the running program's file name.
QString programFileName();

// Empty when the file at `path` is a whole program this system can start: a PE
// image for x86-64 on Windows; elsewhere an ELF executable or a "#!" script.
// Otherwise what is wrong with it, in a few words ("empty", "cut short", ...).
QString programFileDefect(const QString &path);
// The same judgement on a file's whole content.
QString programContentDefect(const QByteArray &content);

// The judges behind it, on a file's whole content, for every platform's tests.
QString peX64Defect(const QByteArray &image);
QString elfDefect(const QByteArray &image);
QString scriptDefect(const QByteArray &content);

} // namespace Platform
