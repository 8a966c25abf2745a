#pragma once

#include <QString>

struct StartupSettings;

// The product's web address: the window's title, and the Support button's until
// the server names its own.
inline constexpr char ProductAddress[] = "www.quillmark.in";

// What the data server told this installation at start-up, and the identifier it
// knows the installation by: handed to the main window once (its configure) and
// read from there by whoever needs it: the live stream, the backfill, the
// selection's limit, the Support button.
struct ServerProfile
{
    QString clientId;           // as the server is sent it (upper case)
    qint32 symbolLimit = 0;     // "symbol_allowed"
    QString secureKey;
    QString backfillPath;
    QString backfillPathSlow;
    QString eod1yPath;
    QString oneDayBackfillPath; // from "get_settings", after start-up
    QString websocketLink;
    QString supportAddress = QLatin1String(ProductAddress);
    QString urlScheme = QStringLiteral("http");                  // of the backfill addresses
    bool eodEnabled = false;    // "eod_enabled", handed over by enableInterface

    static ServerProfile fromStartup(const StartupSettings &answer, const QString &clientId);
};
