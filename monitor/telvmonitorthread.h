#pragma once

#include "screen.h"

#include <QString>
#include <QThread>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

// Monitor mode: starts the frame driver, and for every picture it publishes
// in the frame share sends one RGB 5-6-5 frame to the screen, until asked
// to stop, a transfer fails or the share is cut short under it. Then it
// blanks the screen with a frame of zero bytes, ends the driver and closes
// the share. Reports only to the debug output.
//
// The thread keeps the screen it was given for its whole run, so the device
// handle stays open under it even when its owner lets go of the screen.
class TelvMonitorThread : public QThread {
    Q_OBJECT

public:
    // `driverPauseMs`: the time given to the frame drivers ended at each
    // start to go away before the share is opened anew.
    explicit TelvMonitorThread(int driverPauseMs, QObject *parent = nullptr);
    // Stops a running thread and waits for it.
    ~TelvMonitorThread() override;

    // Mirrors the desktop to `screen` at width x height. Does nothing while
    // the thread runs. With no screen, the thread only writes "No screen
    // connected." and leaves any running driver alone. The running flag is
    // armed here, so a stop that comes at once is never lost.
    void start(std::shared_ptr<screenlink::Screen> screen, int width, int height);
    // The stop request: clears the running flag and ends every frame driver
    // of the same user by name. Does not wait; a thread waiting for a
    // picture sees it within one wait slice and still blanks the screen and
    // closes down.
    void stop();
    // stop(), then waits at most `msec` (no limit when negative). True when
    // the thread has ended.
    bool stopAndWait(int msec);

    // The frame driver, by default telvdrv next to the program. Its file
    // name is the image name ended at every start and stop. Set it while the
    // thread is not running.
    void setDriverPath(const QString &path);
    QString driverPath() const { return m_driverPath; }
    static QString defaultDriverPath();

    // The frame header request's data for a width x height frame:
    // 00 2C and the byte count in three little-endian bytes, then 00.
    static std::array<uint8_t, 6> frameHeader(int width, int height);

    // How long one wait for a picture lasts before the running flag is
    // looked at again.
    static constexpr int kWaitSliceMs = 100;

protected:
    void run() override;

private:
    // Hides QThread::start(): the thread needs a screen and a size.
    using QThread::start;

    void mirror(screenlink::Screen &screen);
    // Sleeps up to `ms`, ending early when a stop comes; false then.
    bool pause(int ms);

    const int m_driverPauseMs;
    QString m_driverPath;
    QString m_driverImage;
    std::shared_ptr<screenlink::Screen> m_screen;
    int m_width = 0;
    int m_height = 0;
    std::atomic<bool> m_running{false};
    // Stored last thing in run(): hands the thread's data back to whoever
    // saw it finish, in a way thread checkers can see.
    std::atomic<bool> m_finished{true};
};
