#include "programfile.h"

namespace Platform {

QString programFileName()
{
    return QStringLiteral("Quillmark.exe");
}

QString programContentDefect(const QByteArray &content)
{
    return peX64Defect(content);
}

} // namespace Platform
