#include "serverprofile.h"

#include "api/serversettings.h"

ServerProfile ServerProfile::fromStartup(const StartupSettings &answer, const QString &clientId)
{
    ServerProfile profile;
    profile.clientId = clientId.toUpper();
    profile.symbolLimit = answer.symbolAllowed;
    profile.secureKey = answer.secureKey;
    profile.backfillPath = answer.backfillPath;
    profile.backfillPathSlow = answer.backfillPathSlow;
    profile.eod1yPath = answer.backfillPathEod1y;
    profile.websocketLink = answer.websocketLink;
    profile.supportAddress = answer.support;
    return profile;
}
