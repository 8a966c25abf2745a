#include "common/installfiles.h"
#include "app/logfile.h"
#include "app/startupcycle.h"
#include "platform/installroot.h"
#include "standin/brokerstandin.h"

#include "buildconfig.h"

// The release number the program reports to the server. A build may stamp a second
// program with a later one: the update test serves it as the newer release.
#ifndef QUILLMARK_PROGRAM_VERSION
#define QUILLMARK_PROGRAM_VERSION QUILLMARK_VERSION
#endif

int main(int argc, char *argv[])
{
    // One log for the whole process, across restart cycles.
    const LogFile log(Platform::installPath(QLatin1String(InstallFiles::LogFolder)));
    // Where there is no AmiBroker (every platform but Windows), the program drives
    // the stand-in; Windows never asks for it.
    BrokerStandIn::install();
    return runStartupCycles(argc, argv,
                            [](QApplication &app) { return runQuillmarkCycle(app, QUILLMARK_PROGRAM_VERSION); });
}
