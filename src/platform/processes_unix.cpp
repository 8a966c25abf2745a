#include "processes.h"

#include <QDir>
#include <QFile>

namespace Platform {

namespace {

// The image name of a process: the base name of its executable, or its command
// name when the executable link cannot be read (kernel threads, other users).
QString imageNameOf(const QString &pid)
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

bool isZombie(const QString &pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close >= 0 && text.size() > close + 2 && text.at(close + 2) == 'Z';
}

// Whether the process was started with this exact "NAME=value" entry.
bool startedWith(const QString &pid, const QByteArray &entry)
{
    QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
    if (!environ.open(QIODevice::ReadOnly))
        return false;
    return environ.readAll().split('\0').contains(entry);
}

// Image names of the running processes that pass the filter.
template<typename Filter>
QStringList processNames(Filter &&keep)
{
    QStringList names;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        // A zombie has ended; only its entry is left until its parent reaps it.
        if (isZombie(entry) || !keep(entry))
            continue;
        const QString name = imageNameOf(entry);
        if (!name.isEmpty())
            names << name;
    }
    return names;
}

} // namespace

QStringList runningProcessNames()
{
    return processNames([](const QString &) { return true; });
}

QString processListText(int timeoutMs)
{
    Q_UNUSED(timeoutMs)
    return runningProcessNames().join(QLatin1Char('\n'));
}

QString instanceCheckProcessList(int timeoutMs)
{
    const QByteArray scope = qgetenv(InstanceScopeVariable);
    if (scope.isEmpty())
        return processListText(timeoutMs);
    const QByteArray entry = QByteArray(InstanceScopeVariable) + '=' + scope;
    return processNames([&entry](const QString &pid) { return startedWith(pid, entry); }).join(QLatin1Char('\n'));
}

} // namespace Platform

#include <QHash>

#include <csignal>
#include <sys/types.h>

namespace Platform {

namespace {

qint64 parentOf(const QString &pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The command name may hold blanks and parentheses: fields follow the last ')'.
    const int close = text.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() : -1;
}

} // namespace

QList<qint64> processTreesByImage(const QString &imageName)
{
    QList<qint64> roots;
    QHash<qint64, QList<qint64>> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        children[parentOf(entry)].append(pid);
        if (imageNameOf(entry).compare(imageName, Qt::CaseInsensitive) == 0)
            roots.append(pid);
    }
    QList<qint64> all;
    QList<qint64> pending = roots;
    while (!pending.isEmpty()) {
        const qint64 pid = pending.takeFirst();
        if (all.contains(pid))
            continue;
        all.append(pid);
        pending.append(children.value(pid));
    }
    return all;
}

void endProcessTreesByImage(const QString &imageName)
{
    const QList<qint64> pids = processTreesByImage(imageName);
    for (qint64 pid : pids)
        ::kill(static_cast<pid_t>(pid), SIGKILL);
}

} // namespace Platform
