#pragma once

#include <QByteArray>
#include <QHash>

#include <vector>
#include <QtGlobal>

// The second in progress of every symbol the live import has seen. AmiBroker keeps
// one quote per symbol and timestamp (a later line overwrites an earlier one), and
// our ticks are stamped to the second, so the import line of a second carries the
// quantity of every tick of that second so far: whichever of them AmiBroker keeps
// last holds the whole second.
//
// A cycle's changes are staged: commit() keeps them once the import file is
// written, discard() drops them when the cycle gives its ticks back, so a retried
// cycle adds the same ticks to the same sums again, not on top of them.
class SecondSums
{
public:
    SecondSums() = default;
    // Staged entries are held by address: a copy would share and then detach them.
    Q_DISABLE_COPY_MOVE(SecondSums)

    enum class Kind {
        NewSecond,  // the first tick of a later second: its quantity starts the sum
        SameSecond, // another tick of the second in progress: added to its sum
        Late,       // a tick of an earlier second: imported as it is, the sum untouched
    };

    // Adds one tick of symbol (the name AmiBroker knows it by, UTF-8; it may be a
    // raw view, it is copied when kept) stamped stamp (QuoteStamp) and returns what
    // it was; *quantity becomes the quantity its import line carries.
    Kind add(const QByteArray &symbol, qint64 stamp, qint64 *quantity);

    void commit();
    void discard();

private:
    struct Second
    {
        qint64 stamp = -1;
        qint64 quantity = 0;
    };
    // One entry per symbol, found once per tick: what AmiBroker has been given, and
    // what the cycle under way has added on top of it.
    struct Entry
    {
        Second committed;
        Second staged;
        bool isStaged = false;
    };

    QHash<QByteArray, Entry> m_entries;
    std::vector<Entry *> m_touched; // staged this cycle (QHash values stay where they are)
};
