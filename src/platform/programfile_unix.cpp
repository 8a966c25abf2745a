#include "programfile.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace Platform {

QString programFileName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

QString programContentDefect(const QByteArray &content)
{
    if (content.startsWith("\x7f" "ELF"))
        return elfDefect(content);
    return scriptDefect(content);
}

} // namespace Platform
