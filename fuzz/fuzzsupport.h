#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

// Shared set-up of the fuzz targets: one application object (settings store,
// network configuration and timers need it) and a private install root.
namespace FuzzSupport {

inline void initApplication()
{
    static int argc = 1;
    static char name[] = "quillmark_fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = nullptr;
    if (app)
        return;
    app = new QCoreApplication(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Quillmark Company"));
    QCoreApplication::setApplicationName(QStringLiteral("QuillmarkFuzz"));
    static QTemporaryDir root(QDir::tempPath() + QStringLiteral("/qmfuzz-XXXXXX"));
    qputenv("QUILLMARK_ROOT", root.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", root.path().toUtf8());
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// A broken property is a finding: stop with a message libFuzzer records.
inline void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

} // namespace FuzzSupport
