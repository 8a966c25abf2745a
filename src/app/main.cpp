#include "app/startupcycle.h"

int main(int argc, char *argv[])
{
    return runStartupCycles(argc, argv, runQuillmarkCycle);
}
