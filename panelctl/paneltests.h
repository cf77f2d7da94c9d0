#pragma once

#include "screen.h"

#include <QThread>

#include <atomic>
#include <memory>

// The LED chase on the screen board's LED controller. Runs until stopped;
// stops after the step it is in, leaving that step's LED lit.
class LEDTestThread : public QThread {
    Q_OBJECT

public:
    explicit LEDTestThread(QObject *parent = nullptr) : QThread(parent) {}
    ~LEDTestThread() override { stopAndWait(); }

    // The running flag is armed here, before the thread starts, so a stop
    // that comes at once is not lost. Does nothing while a test runs.
    void startTest(std::shared_ptr<screenlink::Screen> screen);
    // Asks the chase to end after its current step; does not wait.
    void stop() { running = false; }
    void stopAndWait();

    static constexpr uint8_t kController = 0x74;

protected:
    void run() override;

private:
    std::atomic<bool> running{false};
    // Set last thing in run(): hands the thread's work over to whoever
    // waited for it, in a way thread checkers can see.
    std::atomic<bool> m_finished{false};
    std::shared_ptr<screenlink::Screen> m_screen;
};

// 300 black frames' worth of bulk data without a header, back to back.
class TestThread : public QThread {
    Q_OBJECT

public:
    explicit TestThread(QObject *parent = nullptr) : QThread(parent) {}
    ~TestThread() override { stopAndWait(); }

    void startTest(std::shared_ptr<screenlink::Screen> screen, int width, int height);
    // Skips the transfers not yet sent, so a closing screen need not wait
    // for all 300.
    void stopAndWait();

    static constexpr int kTransfers = 300;

protected:
    void run() override;

private:
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_finished{false};
    std::shared_ptr<screenlink::Screen> m_screen;
    int m_width = 800;
    int m_height = 480;
};
