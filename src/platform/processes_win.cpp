#include "processes.h"

#include <QProcess>
#include <QRegularExpression>

namespace Platform {

QString processListText(int timeoutMs)
{
    QProcess tasklist;
    tasklist.start(QStringLiteral("tasklist"), QStringList());
    if (!tasklist.waitForStarted())
        return QString();
    tasklist.waitForFinished(timeoutMs);
    QByteArray out = tasklist.readAllStandardOutput();
    const int nul = out.indexOf('\0');
    if (nul >= 0)
        out.truncate(nul);
    return QString::fromLocal8Bit(out);
}

QString instanceCheckProcessList(int timeoutMs)
{
    // tasklist cannot tell a process's environment: every process counts.
    return processListText(timeoutMs);
}

QStringList runningProcessNames()
{
    QStringList names;
    const QStringList lines = processListText().split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const int exe = line.indexOf(QStringLiteral(".exe"), 0, Qt::CaseInsensitive);
        if (exe > 0)
            names << line.left(exe + 4).trimmed();
    }
    return names;
}

} // namespace Platform

namespace Platform {

QList<qint64> processTreesByImage(const QString &)
{
    // taskkill finds the tree itself.
    return {};
}

void endProcessTreesByImage(const QString &imageName)
{
    // Detached: a QProcess of the window's would be killed with the window, which
    // the start-up cycle deletes moments after the close, before taskkill is done.
    if (!QProcess::startDetached(QStringLiteral("taskkill"),
                                 {QStringLiteral("/F"), QStringLiteral("/IM"), imageName, QStringLiteral("/T")}))
        qWarning("taskkill could not be started; %s keeps running", qPrintable(imageName));
}

} // namespace Platform
