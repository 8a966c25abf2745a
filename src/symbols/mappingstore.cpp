#include "mappingstore.h"

#include "common/settingskeys.h"

#include <QSettings>

QVector<MappingEntry> parseMappingEntries(const QStringList &stored)
{
    QVector<MappingEntry> entries;
    entries.reserve(stored.size());
    for (const QString &raw : stored) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        const QStringList parts = entry.split(QLatin1Char(','));
        MappingEntry e;
        e.oldName = parts.value(0).trimmed();
        e.newName = parts.value(1).trimmed();
        entries.append(e);
    }
    return entries;
}

QVector<MappingEntry> readMappingEntries()
{
    QSettings settings;
    return parseMappingEntries(settings.value(QLatin1String(Keys::SymbolMappingEntries)).toStringList());
}

void writeMappingEntries(const QStringList &stored)
{
    QSettings settings;
    settings.setValue(QLatin1String(Keys::SymbolMappingEntries), stored);
    settings.sync();
}

QString formatMappingEntry(const QString &oldName, const QString &newName)
{
    QString o = oldName.trimmed();
    QString n = newName.trimmed();
    if (o.isEmpty() && n.isEmpty())
        return QString();
    // One comma separates the pair, so a comma inside a name would split it.
    o.replace(QLatin1Char(','), QLatin1Char(' '));
    n.replace(QLatin1Char(','), QLatin1Char(' '));
    return o + QLatin1Char(',') + n;
}

QHash<QString, QString> mappingOldToNew(const QVector<MappingEntry> &entries)
{
    QHash<QString, QString> map;
    for (const MappingEntry &e : entries) {
        if (!e.oldName.isEmpty() && !e.newName.isEmpty())
            map.insert(e.oldName, e.newName);
    }
    return map;
}

QString serverNameFor(const QString &symbol, const QVector<MappingEntry> &entries)
{
    for (const MappingEntry &e : entries) {
        if (!e.oldName.isEmpty() && e.newName == symbol)
            return e.oldName;
    }
    return symbol;
}
