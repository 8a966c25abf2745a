// Stored symbol-mapping entries (the settings store is plain text a user can edit).
#include "fuzzsupport.h"

#include "symbols/mappingstore.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::initApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList stored = QString::fromUtf8(FuzzSupport::bytes(data, size)).split(QLatin1Char('\n'));
    const QVector<MappingEntry> entries = parseMappingEntries(stored);
    FuzzSupport::require(entries.size() <= stored.size(), "at most one entry per stored text");
    const QHash<QString, QString> oldToNew = mappingOldToNew(entries);
    for (auto it = oldToNew.cbegin(); it != oldToNew.cend(); ++it)
        FuzzSupport::require(!it.key().isEmpty() && !it.value().isEmpty(), "only two-sided entries map");

    for (const MappingEntry &entry : entries) {
        FuzzSupport::require(entry.oldName == entry.oldName.trimmed() && entry.newName == entry.newName.trimmed(),
                             "names are trimmed");
        serverNameFor(entry.newName, entries);
        // Storing an entry and reading it back gives the same pair.
        const QString text = formatMappingEntry(entry.oldName, entry.newName);
        if (text.isEmpty())
            continue;
        FuzzSupport::require(text.count(QLatin1Char(',')) == 1, "stored pair holds one comma");
        const QVector<MappingEntry> back = parseMappingEntries({text});
        FuzzSupport::require(back.size() == 1 && back.first().oldName == entry.oldName
                                 && back.first().newName == entry.newName,
                             "stored pair round trip");
    }
    return 0;
}
