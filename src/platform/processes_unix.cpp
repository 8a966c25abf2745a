#include "processes.h"

#include <QDir>
#include <QFile>

namespace Platform {

namespace {

// The image name of a process: the base name of its executable, or its command
// name when the executable link cannot be read (kernel threads, other users).
QString imageName(const QString &pid)
{
    const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    if (!exe.isEmpty()) {
        QString name = exe.section(QLatin1Char('/'), -1);
        name.remove(QStringLiteral(" (deleted)"));
        return name;
    }
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (comm.open(QIODevice::ReadOnly))
        return QString::fromUtf8(comm.readAll()).trimmed();
    return QString();
}

} // namespace

QStringList runningProcessNames()
{
    QStringList names;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        const QString name = imageName(entry);
        if (!name.isEmpty())
            names << name;
    }
    return names;
}

QString processListText(int timeoutMs)
{
    Q_UNUSED(timeoutMs)
    return runningProcessNames().join(QLatin1Char('\n'));
}

} // namespace Platform
