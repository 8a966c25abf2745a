// The restart loop needs a fresh QApplication per cycle, so this test owns main()
// and creates none itself.
#include "app/startupcycle.h"

#include <QApplication>
#include <QCoreApplication>
#include <QWidget>
#include <cstdio>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int failed = 0;
    int passed = 0;
    auto check = [&](bool ok, const char *what) {
        std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what);
        ok ? ++passed : ++failed;
    };

    QList<QApplication *> apps;
    int cycles = 0;
    bool freshEachTime = true;
    bool attributesSet = true;
    const int rc = runStartupCycles(argc, argv, [&](QApplication &app) {
        freshEachTime = freshEachTime && QCoreApplication::instance() == &app && QApplication::topLevelWidgets().isEmpty();
        attributesSet = attributesSet && QCoreApplication::testAttribute(Qt::AA_DisableHighDpiScaling)
                        && QCoreApplication::testAttribute(Qt::AA_Use96Dpi);
        apps << &app;
        ++cycles;
        // Leave a window behind: the next cycle must not see it.
        if (cycles < 3)
            (new QWidget)->show();
        return cycles < 3 ? RestartExitCode : 7;
    });
    check(cycles == 3, "4444 starts another cycle, other codes end the loop");
    check(rc == 0, "the loop always ends with status 0");
    check(attributesSet, "DPI attributes are set before each application object");
    check(freshEachTime, "every cycle has its own application object");

    int single = 0;
    runStartupCycles(argc, argv, [&](QApplication &) { return ++single, 0; });
    check(single == 1, "exit code 0 ends after one cycle");

    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
