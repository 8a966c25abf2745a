#include "archiver.h"

namespace Platform {

QString expandArchiveScript(const QString &archive, const QString &destination)
{
    const QString apostrophe = QStringLiteral("'");
    const QString doubled = QStringLiteral("''");
    QString dest = destination;
    dest.replace(apostrophe, doubled);
    QString name = archive;
    name.replace(apostrophe, doubled);
    return QStringLiteral("try { Expand-Archive -Force -LiteralPath '%1' -DestinationPath '%2' "
                          "-ErrorAction Stop } catch { exit 1 }")
        .arg(name, dest);
}

} // namespace Platform
