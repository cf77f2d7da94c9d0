#pragma once

#include <QObject>
#include <QPointer>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace session {

// The thread on which a window's long exchanges with screens run (listing
// and identifying them, opening one, reading its log), one after another in
// the order they were asked for, so that the window never waits for a
// screen. Each job's result is handed to a function on the thread that made
// the LinkThread, unless the asking object has gone meanwhile.
//
// Jobs and results change threads only through queues under mutexes of our
// own, never as functors handed to Qt, so that the hand-over is plain to
// thread checkers too.
class LinkThread {
public:
    LinkThread();
    // Waits for the job that runs; jobs not started yet are dropped.
    ~LinkThread();
    LinkThread(const LinkThread &) = delete;
    LinkThread &operator=(const LinkThread &) = delete;

    template <typename Result>
    void post(std::function<Result()> job, QObject *context, std::function<void(Result)> done)
    {
        QPointer<QObject> guard(context);
        run([this, job = std::move(job), guard, done = std::move(done)]() {
            auto result = std::make_shared<Result>(job());
            deliver([guard, done, result] {
                if (guard)
                    done(std::move(*result));
            });
        });
    }
    // Waits until every job asked for so far has run (not its result).
    void drain();

private:
    class Inbox;
    void run(std::function<void()> job);
    // Runs `result` on the owner's thread.
    void deliver(std::function<void()> result);
    void loop();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_busy = false;
    bool m_stop = false;
    std::unique_ptr<Inbox> m_inbox;
    std::thread m_thread;
};

} // namespace session
