#include "provisioning.h"

#include "common/installfiles.h"
#include "platform/installroot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

void provisionInstallFolder()
{
    using Platform::installPath;

    // Single-level creation on purpose: without its parent the folder is not made.
    const QString workFolder = installPath(QLatin1String(InstallFiles::WorkFolder));
    if (!QFileInfo::exists(workFolder))
        QDir().mkdir(workFolder);

    const QString database = installPath(QLatin1String(InstallFiles::DatabaseFolder));
    if (QFileInfo::exists(database))
        return; // an existing folder (or file) is the user's database: never touched

    QDir().mkdir(installPath());
    QDir().mkdir(installPath(QLatin1String(InstallFiles::AmibrokerFolder)));
    QDir().mkdir(database);

    const char *const seeds[] = {"broker.master", "broker.watch", "broker.workspace"};
    for (const char *seed : seeds) {
        const QString name = QLatin1String(seed);
        // QFile::copy never overwrites: it fails when the target exists.
        QFile::copy(installPath(QLatin1String(InstallFiles::SeedFolder) + QLatin1Char('/') + name),
                    database + QDir::separator() + name);
    }
}
