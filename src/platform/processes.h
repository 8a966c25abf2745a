#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace Platform {

// Text listing the image names of the running processes, as the single-instance
// check reads it: "tasklist" output on Windows, one name per line from /proc here.
// A lister that cannot run yields an empty text (and so the check passes).
QString processListText(int timeoutMs = 30000);

// Image names of the running processes.
QStringList runningProcessNames();

// Set in the environment, only processes started with the same value count for
// the single-instance check: the tests set it, so the program copies a test
// starts see each other, and neither they nor a test's window see a copy that
// someone runs beside the tests.
inline constexpr char InstanceScopeVariable[] = "QUILLMARK_INSTANCE_SCOPE";

// The text the single-instance check counts: processListText(), narrowed to the
// processes of the same instance scope when there is one (where the environment
// of other processes can be read; elsewhere every process counts).
QString instanceCheckProcessList(int timeoutMs = 30000);

// Forcibly ends every process whose image name is `imageName` (for AmiBroker,
// "Broker.exe"), together with its child processes. Nothing it starts belongs to
// the caller: the kill completes even when the caller (the closing window) is
// deleted at once. Windows: "taskkill /F /IM <name> /T" started detached;
// elsewhere the same rule applied over /proc, before this returns.
void endProcessTreesByImage(const QString &imageName);

// Ids of the running processes whose image name is `imageName` and, recursively,
// of their children (the set the rule above ends).
QList<qint64> processTreesByImage(const QString &imageName);

} // namespace Platform
