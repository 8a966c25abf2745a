#pragma once

#include <QByteArray>
#include <QHash>
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

    int size() const { return m_committed.size(); }

private:
    struct Second
    {
        qint64 stamp = -1;
        qint64 quantity = 0;
    };

    QHash<QByteArray, Second> m_committed;
    QHash<QByteArray, Second> m_staged;
};
