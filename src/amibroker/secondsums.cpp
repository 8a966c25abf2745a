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
    auto staged = m_staged.find(symbol);
    if (staged == m_staged.end()) {
        const auto committed = m_committed.constFind(symbol);
        // A deep copy: the caller's bytes may be a view into its buffer.
        staged = m_staged.insert(QByteArray(symbol.constData(), symbol.size()),
                                 committed == m_committed.cend() ? Second() : committed.value());
    }
    Second &second = staged.value();
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
    for (auto it = m_staged.cbegin(); it != m_staged.cend(); ++it)
        m_committed.insert(it.key(), it.value());
    m_staged.clear();
}

void SecondSums::discard()
{
    m_staged.clear();
}
