#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

#include <array>

// Renames old symbol names to new ones in backfill lines (UTF-8 bytes), built
// once per file from the mapping. A line whose second comma-separated field is
// an old name gets that field replaced; any other line gets every whole-word
// occurrence of an old name replaced. All renames of a line are made in one
// left-to-right pass over the original text, so a rename never feeds another
// (A->B with B->C turns A into B, not C) and, where two old names start at the
// same place, the longer one wins (NIFTY-I before NIFTY).
class SymbolRenamer
{
public:
    explicit SymbolRenamer(const QHash<QString, QString> &oldToNew);

    bool isEmpty() const { return m_entries.isEmpty(); }

    // Appends the renamed form of one line (without its line end) to out. The
    // line is trimmed first; lines holding "failed" in any case are appended
    // untouched, untrimmed.
    void appendMapped(const char *begin, const char *end, QByteArray &out) const;

private:
    struct Entry
    {
        QByteArray oldName;
        QByteArray newName;
    };
    void appendWordRenamed(const char *begin, const char *end, QByteArray &out) const;

    QHash<QByteArray, QByteArray> m_exact;
    QVector<Entry> m_entries;              // longest old name first
    QVector<QVector<int>> m_byFirstByte;   // first byte of an old name -> entries
    std::array<bool, 256> m_startsName;    // quick rejection of the other bytes
};

// Case-insensitive search for "failed" in a byte range.
bool containsFailedAnyCase(const char *begin, const char *end);
