#include "serverhost.h"

#include "buildconfig.h"

namespace Platform {

QString serverHost()
{
    const QString fromEnv = qEnvironmentVariable("QUILLMARK_SERVER").trimmed();
    if (!fromEnv.isEmpty())
        return fromEnv;
    return QStringLiteral(QUILLMARK_SERVER_HOST);
}

QString apiBaseUrl()
{
    return QStringLiteral("http://") + serverHost() + QStringLiteral("/Datafeed_quillmark");
}

QString probeHost()
{
    const QString fromEnv = qEnvironmentVariable("QUILLMARK_PROBE_HOST").trimmed();
    if (!fromEnv.isEmpty())
        return fromEnv;
    return QStringLiteral(QUILLMARK_PROBE_HOST);
}

} // namespace Platform
