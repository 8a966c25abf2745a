#include "installroot.h"

#include <QDir>

namespace Platform {

QString installRoot()
{
    const QString fromEnv = qEnvironmentVariable("QUILLMARK_ROOT");
    if (!fromEnv.isEmpty())
        return QDir::toNativeSeparators(QDir::cleanPath(fromEnv));
#ifdef Q_OS_WIN
    return QStringLiteral("C:\\Quillmark");
#else
    return QDir::toNativeSeparators(QDir::homePath() + QStringLiteral("/.local/share/Quillmark"));
#endif
}

QString installPath(const QString &relative)
{
    return QDir::toNativeSeparators(installPathFwd(relative));
}

QString installPathFwd(const QString &relative)
{
    QString root = QDir::fromNativeSeparators(installRoot());
    if (relative.isEmpty())
        return root;
    // Install-relative names are written either way in the program.
    QString rel = relative;
    rel.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (rel.startsWith(QLatin1Char('/')))
        rel.remove(0, 1);
    return root + QLatin1Char('/') + rel;
}

} // namespace Platform
