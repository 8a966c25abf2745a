#include "startupcycle.h"

#include "app/authdialog.h"
#include "app/logfile.h"
#include "app/quillmark2.h"
#include "platform/quitsignals.h"

#include <QApplication>
#include <QFont>

#include <cstdio>
#include <cstdlib>

int runStartupCycles(int &argc, char **argv, const std::function<int(QApplication &)> &cycle)
{
    for (;;) {
        QCoreApplication::setAttribute(Qt::AA_DisableHighDpiScaling);
        QCoreApplication::setAttribute(Qt::AA_Use96Dpi);
        int code = 0;
        {
            QApplication app(argc, argv);
            code = cycle(app);
        }
        if (code != RestartExitCode)
            return 0;
    }
}

int runQuillmarkCycle(QApplication &app, const char *version)
{
    QFont font(QStringLiteral("Segoe UI"), 9);
    font.setStyleStrategy(QFont::PreferAntialias);
    QApplication::setFont(font);

    QCoreApplication::setOrganizationName(QStringLiteral("Quillmark Company"));
    QCoreApplication::setApplicationName(QStringLiteral("Quillmark"));
    QGuiApplication::setApplicationDisplayName(QString());
    QCoreApplication::setApplicationVersion(QLatin1String(version));

    int code = 0;
    {
        authDialog controller;
        bool quitRequested = false;
        // Ctrl+C or a logout closes the window the normal way, so its close handling saves.
        Platform::watchQuitSignals(&controller, [&controller, &quitRequested]() {
            quitRequested = true;
            if (quillmark2 *window = controller.mainWindow(); window && window->isVisible())
                window->close();
            QCoreApplication::exit(0);
        });
        controller.startUp();
        // A quit that arrived during start-up (inside a modal box) has ended those
        // loops only; the main loop must not start after it.
        code = quitRequested ? 0 : app.exec();
    }
    return code;
}

