#include "linkthread.h"

#include <QMetaObject>

namespace session {

// Lives on the owner's thread; results wait here until that thread's event
// loop asks for them.
class LinkThread::Inbox : public QObject {
    Q_OBJECT

public:
    void push(std::function<void()> result)
    {
        {
            const std::lock_guard lock(m_mutex);
            m_results.push_back(std::move(result));
        }
        // By name: the call carries no functor of ours across threads.
        QMetaObject::invokeMethod(this, "takeResults", Qt::QueuedConnection);
    }

    Q_INVOKABLE void takeResults()
    {
        std::deque<std::function<void()>> results;
        {
            const std::lock_guard lock(m_mutex);
            results.swap(m_results);
        }
        for (auto &result : results)
            result();
    }

private:
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_results;
};

LinkThread::LinkThread() : m_inbox(std::make_unique<Inbox>()), m_thread([this] { loop(); }) {}

LinkThread::~LinkThread()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
        m_jobs.clear();
    }
    m_wake.notify_all();
    m_thread.join();
}

void LinkThread::run(std::function<void()> job)
{
    {
        const std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_all();
}

void LinkThread::deliver(std::function<void()> result)
{
    m_inbox->push(std::move(result));
}

void LinkThread::drain()
{
    if (std::this_thread::get_id() == m_thread.get_id())
        return;
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [this] { return m_jobs.empty() && !m_busy; });
}

void LinkThread::loop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
        if (m_stop)
            return;
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_busy = true;
        lock.unlock();
        job();
        job = nullptr; // what it holds (screens, contexts) goes here, on this thread
        lock.lock();
        m_busy = false;
        m_wake.notify_all();
    }
}

} // namespace session

#include "linkthread.moc"
