#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

// The user's symbol renaming, kept in the settings store under
// "SymbolMapping/entries" as texts "old,new". Read by the live and backfill
// imports (old -> new) and by the backfill requests (new -> old).
struct MappingEntry
{
    QString oldName;
    QString newName;
};

// Parses stored entries: an entry empty after trimming is skipped; otherwise it is
// split at every comma, old = part 0 trimmed, new = part 1 trimmed (empty when
// missing), further parts ignored. One-sided entries are kept.
QVector<MappingEntry> parseMappingEntries(const QStringList &stored);

// The entries currently in the settings store.
QVector<MappingEntry> readMappingEntries();

// Replaces the stored entries and flushes the store.
void writeMappingEntries(const QStringList &stored);

// The stored form of one pair: both names trimmed, commas inside a name turned
// into blanks, joined by one comma. Empty when both names are empty.
QString formatMappingEntry(const QString &oldName, const QString &newName);

// old -> new over the entries whose two names are both non-empty; a later entry
// for the same old name wins.
QHash<QString, QString> mappingOldToNew(const QVector<MappingEntry> &entries);

// The name the data server knows a selected symbol by: the old name of the first
// entry whose new name is the symbol (and whose old name is not empty), else the
// symbol itself.
QString serverNameFor(const QString &symbol, const QVector<MappingEntry> &entries);
