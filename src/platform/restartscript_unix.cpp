#include "restartscript.h"

#include "installroot.h"

#include <QFileInfo>
#include <QProcess>

namespace Platform {

QString restartScriptPath()
{
    return installPathFwd(QStringLiteral("QuillLaunch.sh"));
}

bool scriptExists()
{
    return QFileInfo(restartScriptPath()).isFile();
}

bool startRestartScript()
{
    if (!scriptExists())
        return false;
    // Run through the shell so that a script unpacked without its executable bit still runs.
    return QProcess::startDetached(QStringLiteral("/bin/sh"), {restartScriptPath()}, installPathFwd());
}

} // namespace Platform
