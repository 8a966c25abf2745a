#include "restartscript.h"

#include "installroot.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace Platform {

QString restartScriptPath()
{
    return installPathFwd(QStringLiteral("QuillLaunch.bat"));
}

bool scriptExists()
{
    return QFileInfo(restartScriptPath()).isFile();
}

bool startRestartScript()
{
    if (!scriptExists())
        return false;
    return QProcess::startDetached(QDir::toNativeSeparators(restartScriptPath()), {}, installPathFwd());
}

} // namespace Platform
