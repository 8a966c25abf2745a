#include "tickbuffer.h"

#include <QMutexLocker>

QByteArray TickBuffer::latestBatch() const
{
    QMutexLocker lock(&m_mutex);
    return m_latest;
}

void TickBuffer::publish(const QByteArray &batch)
{
    QMutexLocker lock(&m_mutex);
    m_latest = batch;
    m_pending.append(batch);
}

QByteArray TickBuffer::takePending()
{
    QMutexLocker lock(&m_mutex);
    QByteArray taken;
    taken.swap(m_pending);
    return taken;
}

bool TickBuffer::hasPending() const
{
    QMutexLocker lock(&m_mutex);
    return !m_pending.isEmpty();
}

void TickBuffer::requeue(const QByteArray &ticks)
{
    if (ticks.isEmpty())
        return;
    QMutexLocker lock(&m_mutex);
    m_pending.prepend(ticks);
}

void TickBuffer::clearLatest()
{
    QMutexLocker lock(&m_mutex);
    m_latest.clear();
}
