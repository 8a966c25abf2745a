#pragma once

#include "feedsimstream.h"

#include <QObject>
#include <QThread>

#include <type_traits>

// A FeedSim tick stream on a thread of its own: it keeps sending while the main
// thread is blocked (a long import, a deliberate sleep), as the real server does.
// Reach the stream only through run(), which executes on the stream's thread.
class ThreadedStream
{
public:
    ThreadedStream()
    {
        m_thread.setObjectName(QStringLiteral("feedsimStream"));
        m_anchor.moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(&m_anchor, [this] {
            m_stream = new FeedSimStream;
            m_stream->start();
        }, Qt::BlockingQueuedConnection);
    }

    ~ThreadedStream()
    {
        QMetaObject::invokeMethod(&m_anchor, [this] {
            delete m_stream;
            m_stream = nullptr;
        }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    ThreadedStream(const ThreadedStream &) = delete;
    ThreadedStream &operator=(const ThreadedStream &) = delete;

    // Runs fn(stream) on the stream's thread and returns its result.
    template<typename Fn>
    auto run(Fn fn) -> std::invoke_result_t<Fn, FeedSimStream *>
    {
        using Result = std::invoke_result_t<Fn, FeedSimStream *>;
        if constexpr (std::is_void_v<Result>) {
            QMetaObject::invokeMethod(&m_anchor, [this, fn] { fn(m_stream); }, Qt::BlockingQueuedConnection);
        } else {
            Result result{};
            QMetaObject::invokeMethod(&m_anchor, [this, fn, &result] { result = fn(m_stream); },
                                      Qt::BlockingQueuedConnection);
            return result;
        }
    }

    QUrl url() { return run([](FeedSimStream *s) { return s->url(); }); }

    // A stream object to connect signals to (its signals are emitted on the stream's thread).
    FeedSimStream *stream() const { return m_stream; }

private:
    QThread m_thread;
    QObject m_anchor;
    FeedSimStream *m_stream = nullptr;
};
