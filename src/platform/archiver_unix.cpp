#include "archiver.h"

namespace Platform {

QString sevenZipProgram()
{
    const QString fromEnv = qEnvironmentVariable("QUILLMARK_7ZA");
    return fromEnv.isEmpty() ? QStringLiteral("7za") : fromEnv;
}

Command fallbackUnpackCommand(const QString &archive, const QString &destination)
{
    const QString fromEnv = qEnvironmentVariable("QUILLMARK_UNZIP");
    Command command;
    command.program = fromEnv.isEmpty() ? QStringLiteral("unzip") : fromEnv;
    command.arguments = QStringList{QStringLiteral("-o"), archive, QStringLiteral("-d"), destination};
    return command;
}

} // namespace Platform
