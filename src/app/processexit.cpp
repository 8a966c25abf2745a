#include "processexit.h"

#include "app/logfile.h"

#include <cstdio>
#include <cstdlib>

void endProcessNow()
{
    LogFile::flushActive();
    std::fflush(nullptr);
    std::_Exit(0);
}
