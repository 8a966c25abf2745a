#pragma once

#include <QByteArray>
#include <QMutex>

// The tick lines shared between the WebSocket worker's thread, the window's thread
// (the quote table) and the thread that runs the live import cycles.
//
// latestBatch holds the last batch (the quote table reads it through
// latestBatchCopy). pending ticks collect every kept tick line in arrival order
// until the live import takes them, so each line reaches exactly one import
// however many batches arrive between two import cycles. Both are guarded by
// latestBatchMutex.
extern QByteArray latestBatch;
extern QMutex latestBatchMutex;

QByteArray latestBatchCopy();

// Worker side: store a new batch as the latest and queue its lines for import.
void publishBatch(const QByteArray &batch);

// Import side: take (and clear) every tick line queued since the last take.
QByteArray takePendingTicks();

// Import side: whether any tick line waits for an import.
bool hasPendingTicks();

// Import side: puts lines taken by a cycle that could not write them back in
// front of the queue, ahead of anything queued since, so they are not lost.
void requeuePendingTicks(const QByteArray &ticks);

// Drops the latest batch (the worker's stop). Queued lines stay: their import
// cycle is already on its way.
void clearLatestBatch();
