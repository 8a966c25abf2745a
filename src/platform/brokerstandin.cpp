#include "brokerstandin.h"

#include "app/installfiles.h"
#include "platform/installroot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>

Q_LOGGING_CATEGORY(lcBroker, "quillmark.broker", QtInfoMsg)

namespace {

// Calls may come from more than one object (a test's own and the updater's).
QMutex g_journalMutex;

bool appendToFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    return file.write(bytes) == bytes.size();
}

} // namespace

BrokerStandIn::BrokerStandIn(QObject *parent)
    : QObject(parent)
{
}

QVariant BrokerStandIn::dynamicCall(const char *function, const QVariant &arg)
{
    return call(QString::fromUtf8(function), arg);
}

QVariant BrokerStandIn::dynamicCall(const QString &function)
{
    return call(function, QVariant());
}

QVariant BrokerStandIn::call(const QString &function, const QVariant &arg)
{
    QByteArray line = function.toUtf8();
    if (arg.isValid())
        line += '\t' + arg.toString().toUtf8();
    line += '\n';
    {
        QMutexLocker lock(&g_journalMutex);
        if (!appendToFile(Platform::installPath(QLatin1String(InstallFiles::AutomationJournal)), line))
            qCWarning(lcBroker) << "cannot write the automation journal";
    }
    qCDebug(lcBroker) << "call" << function << arg;

    if (function.startsWith(QLatin1String("Import(")))
        return QVariant(performImport(function));
    return QVariant(true);
}

// "Import(0,<data>,<format>)": the type, then the data path, then the format path
// after the last comma (a data path may itself hold a comma).
bool BrokerStandIn::performImport(const QString &function)
{
    if (!function.endsWith(QLatin1Char(')')))
        return false;
    const QString inner = function.mid(7, function.size() - 8);
    const int typeEnd = inner.indexOf(QLatin1Char(','));
    const int formatStart = inner.lastIndexOf(QLatin1Char(','));
    if (typeEnd < 0 || formatStart <= typeEnd)
        return false;
    const QString dataPath = inner.mid(typeEnd + 1, formatStart - typeEnd - 1);
    const QString formatPath = inner.mid(formatStart + 1);

    QFile format(formatPath);
    if (!format.open(QIODevice::ReadOnly))
        return false;
    QFile data(dataPath);
    if (!data.open(QIODevice::ReadOnly))
        return false;

    QMutexLocker lock(&g_journalMutex);
    const QString importedPath = Platform::installPath(QLatin1String(InstallFiles::ImportedJournal));
    QDir().mkpath(QFileInfo(importedPath).absolutePath());
    QFile imported(importedPath);
    if (!imported.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    char last = '\n';
    // Streamed in blocks: chunks run to 16 MiB.
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 got = data.read(block.data(), block.size());
        if (got < 0)
            return false;
        if (got == 0)
            break;
        if (imported.write(block.constData(), got) != got)
            return false;
        last = block.at(int(got) - 1);
    }
    // Lines of successive imports must not run into each other.
    if (last != '\n' && imported.write("\n", 1) != 1)
        return false;
    return true;
}
