#pragma once

#include <QThread>

#include <atomic>

namespace session {

// A job on a thread of its own: its owner gives it its inputs, starts it,
// may ask it to stop and waits for it. The stop flag is cleared before the
// thread starts, so a stop asked for at once is never lost; once a wait has
// seen the thread end, everything the job did is visible to the waiter.
//
// A derived job must stop and wait in its own destructor: the thread runs
// its work() until then.
class Worker : public QThread {
    Q_OBJECT

public:
    explicit Worker(QObject *parent = nullptr) : QThread(parent) {}

    // Running, or ended with its work visible to the caller.
    bool busy() const;
    // Asks the job to end; does not wait.
    virtual void requestStop();
    // requestStop(), then waits at most `msec` (no limit when negative).
    // True when the job has ended.
    bool stopAndWait(int msec = -1);
    // Waits for the job to end by itself, its work then visible here.
    void waitEnded();

protected:
    // Starts work() on the thread; does nothing while it runs.
    bool launch();
    bool stopRequested() const { return m_stop.load(std::memory_order_acquire); }
    virtual void work() = 0;

private:
    void run() final;

    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_finished{true};
};

} // namespace session
