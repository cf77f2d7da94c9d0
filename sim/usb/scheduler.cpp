#include "scheduler.h"

namespace sim {

Scheduler::Scheduler() : m_thread([this] { run(); }) {}

Scheduler::~Scheduler()
{
    stop();
}

void Scheduler::after(int ms, std::function<void()> job)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        m_jobs.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), std::move(job));
    }
    m_wake.notify_one();
}

void Scheduler::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_jobs.clear();
    }
    m_wake.notify_one();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

void Scheduler::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (m_jobs.empty()) {
            m_wake.wait(lock);
            continue;
        }
        const auto due = m_jobs.begin()->first;
        if (std::chrono::steady_clock::now() < due) {
            m_wake.wait_until(lock, due);
            continue;
        }
        auto job = std::move(m_jobs.begin()->second);
        m_jobs.erase(m_jobs.begin());
        lock.unlock();
        job();
        lock.lock();
    }
}

} // namespace sim
