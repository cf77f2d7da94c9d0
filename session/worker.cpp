#include "worker.h"

#include <QDeadlineTimer>

namespace session {

bool Worker::busy() const
{
    if (isRunning())
        return true;
    // Thread checkers do not see through QThread::wait(): this load pairs
    // with the store at the end of run().
    (void)m_finished.load(std::memory_order_acquire);
    return false;
}

void Worker::requestStop()
{
    m_stop.store(true, std::memory_order_release);
}

bool Worker::stopAndWait(int msec)
{
    requestStop();
    const bool ended = msec < 0 ? wait() : wait(QDeadlineTimer(msec));
    if (ended)
        (void)m_finished.load(std::memory_order_acquire);
    return ended;
}

void Worker::waitEnded()
{
    wait();
    (void)m_finished.load(std::memory_order_acquire);
}

bool Worker::launch()
{
    if (busy())
        return false;
    m_stop.store(false, std::memory_order_release);
    m_finished.store(false, std::memory_order_relaxed);
    start();
    return true;
}

void Worker::run()
{
    work();
    m_finished.store(true, std::memory_order_release);
}

} // namespace session
