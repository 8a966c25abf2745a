#include "secondsums.h"

#include <limits>

namespace {

// Quantities arrive clamped to the qint64 range; their sum must not wrap around.
qint64 saturatingAdd(qint64 a, qint64 b)
{
    qint64 sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    return sum;
}

} // namespace

SecondSums::Kind SecondSums::add(const QByteArray &symbol, qint64 stamp, qint64 *quantity)
{
    auto it = m_entries.find(symbol);
    // A deep copy: the caller's bytes may be a view into its buffer.
    if (it == m_entries.end())
        it = m_entries.insert(QByteArray(symbol.constData(), symbol.size()), Entry());
    Entry &entry = it.value();
    if (!entry.isStaged) {
        entry.staged = entry.committed;
        entry.isStaged = true;
        m_touched.push_back(&entry);
    }
    Second &second = entry.staged;
    if (second.stamp >= 0 && stamp < second.stamp)
        return Kind::Late;
    if (stamp == second.stamp) {
        second.quantity = saturatingAdd(second.quantity, *quantity);
        *quantity = second.quantity;
        return Kind::SameSecond;
    }
    second.stamp = stamp;
    second.quantity = *quantity;
    return Kind::NewSecond;
}

void SecondSums::commit()
{
    for (Entry *entry : m_touched) {
        entry->committed = entry->staged;
        entry->isStaged = false;
    }
    m_touched.clear();
}

void SecondSums::discard()
{
    for (Entry *entry : m_touched)
        entry->isStaged = false;
    m_touched.clear();
}
