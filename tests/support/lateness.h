#pragma once

#include <QObject>

#include <atomic>
#include <thread>
#include <vector>

// p50, p99 and the largest of a set of figures.
struct Spread
{
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    size_t count = 0;
};
Spread spreadOf(std::vector<double> values);

// How late the thread that makes it handles an event posted to it every
// intervalMs from a thread of its own: what input and repaints wait for on the
// window's thread. For benchmarks; the thread must run its event loop meanwhile.
class LatenessProbe
{
public:
    explicit LatenessProbe(int intervalMs = 10);
    ~LatenessProbe();
    LatenessProbe(const LatenessProbe &) = delete;
    LatenessProbe &operator=(const LatenessProbe &) = delete;

    void start();
    // Stops posting; the figures are those of the events handled by then.
    void stop();
    Spread spread() const { return spreadOf(m_lateMs); }

private:
    int m_intervalMs;
    QObject m_target;
    std::vector<double> m_lateMs; // the target's thread only
    std::atomic<bool> m_posting{false};
    std::atomic<bool> m_counting{false};
    std::thread m_poster;
};
