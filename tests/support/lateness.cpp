#include "lateness.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>

Spread spreadOf(std::vector<double> values)
{
    Spread s;
    s.count = values.size();
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    auto at = [&](double p) { return values[std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5))]; };
    s.p50 = at(0.50);
    s.p99 = at(0.99);
    s.max = values.back();
    return s;
}

LatenessProbe::LatenessProbe(int intervalMs)
    : m_intervalMs(intervalMs)
{
}

LatenessProbe::~LatenessProbe()
{
    stop();
}

void LatenessProbe::start()
{
    if (m_posting.exchange(true))
        return;
    m_counting = true;
    m_poster = std::thread([this] {
        auto next = std::chrono::steady_clock::now();
        while (m_posting.load()) {
            next += std::chrono::milliseconds(m_intervalMs);
            std::this_thread::sleep_until(next);
            const auto posted = std::chrono::steady_clock::now();
            QMetaObject::invokeMethod(
                &m_target,
                [this, posted] {
                    if (m_counting)
                        m_lateMs.push_back(
                            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - posted).count());
                },
                Qt::QueuedConnection);
        }
    });
}

void LatenessProbe::stop()
{
    m_counting = false;
    if (!m_posting.exchange(false))
        return;
    m_poster.join();
    // Events still queued must not run into a gone probe.
    QCoreApplication::removePostedEvents(&m_target);
}
