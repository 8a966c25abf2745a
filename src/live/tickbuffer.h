#pragma once

#include <QByteArray>
#include <QMutex>

// The tick lines shared between the WebSocket worker's thread (which publishes
// each batch), the window's thread (the quote table reads the latest batch) and
// the thread that runs the live import cycles (which takes what is pending).
//
// The latest batch is kept for the quote table. Pending ticks collect every kept
// tick line in arrival order until the live import takes them, so each line
// reaches exactly one import however many batches arrive between two import
// cycles. One lock guards both.
class TickBuffer
{
public:
    TickBuffer() = default;
    Q_DISABLE_COPY_MOVE(TickBuffer)

    // The last batch, copied.
    QByteArray latestBatch() const;

    // Worker side: store a new batch as the latest and queue its lines for import.
    void publish(const QByteArray &batch);

    // Import side: take (and clear) every tick line queued since the last take.
    QByteArray takePending();

    // Import side: whether any tick line waits for an import.
    bool hasPending() const;

    // Import side: puts lines taken by a cycle that could not write them back in
    // front of the queue, ahead of anything queued since, so they are not lost.
    void requeue(const QByteArray &ticks);

    // Drops the latest batch (the worker's stop). Queued lines stay: their import
    // cycle is already on its way.
    void clearLatest();

private:
    mutable QMutex m_mutex;
    QByteArray m_latest;
    QByteArray m_pending;
};
