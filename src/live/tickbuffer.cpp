#include "tickbuffer.h"

#include <QMutexLocker>

QByteArray latestBatch;
QMutex latestBatchMutex;

namespace {
QByteArray g_pendingTicks;
}

QByteArray latestBatchCopy()
{
    QMutexLocker lock(&latestBatchMutex);
    return latestBatch;
}

void publishBatch(const QByteArray &batch)
{
    QMutexLocker lock(&latestBatchMutex);
    latestBatch = batch;
    g_pendingTicks.append(batch);
}

QByteArray takePendingTicks()
{
    QMutexLocker lock(&latestBatchMutex);
    QByteArray taken;
    taken.swap(g_pendingTicks);
    return taken;
}

bool hasPendingTicks()
{
    QMutexLocker lock(&latestBatchMutex);
    return !g_pendingTicks.isEmpty();
}

void requeuePendingTicks(const QByteArray &ticks)
{
    if (ticks.isEmpty())
        return;
    QMutexLocker lock(&latestBatchMutex);
    g_pendingTicks.prepend(ticks);
}

void clearLatestBatch()
{
    QMutexLocker lock(&latestBatchMutex);
    latestBatch.clear();
}
