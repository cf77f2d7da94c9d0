#pragma once

#include "modeltable.h"
#include "screen.h"
#include "worker.h"

#include <QSize>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

namespace session {

// Monitor mode: starts the frame driver, and for every picture it publishes
// in the frame share sends one RGB 5-6-5 frame to the screen, until asked
// to stop or a transfer fails. Then it blanks the screen with a frame of
// zero bytes, ends the driver and closes the share. Reports only to the
// debug output.
//
// The job keeps the screen it was given for its whole run, so the device
// handle stays open under it even when its owner lets go of the screen.
class MonitorWorker : public Worker {
    Q_OBJECT

public:
    // `driverPauseMs`: the time given to the frame drivers ended at each
    // start to go away before the share is opened anew.
    // `yieldsToService`: the per-user monitor service is asked to give up
    // the frame share (one per user) for as long as the job runs; false
    // for the service's own job.
    explicit MonitorWorker(int driverPauseMs, bool yieldsToService = true, QObject *parent = nullptr);
    ~MonitorWorker() override;

    // Mirrors the desktop to `screen` at `picture` size, each picture turned
    // into the panel's scan order `order`, with the driver at `driver`,
    // whose file name is also the image name of the drivers ended at every
    // start and stop. Does nothing while the job runs. With no screen, the
    // job only writes "No screen connected." and leaves any running driver
    // alone.
    // `mode`, when given ("extend", "mirror"), is the driver's choice over
    // the user's general one.
    bool begin(std::shared_ptr<screenlink::Screen> screen, QSize picture, screenlink::ScanOrder order,
               const QString &driver, const QString &mode = {});
    // While the desktop sleeps the screen is dark (backlight 0) and gets no
    // frames; at the wake its backlight comes back to `level` and the
    // newest picture is sent at once. Any thread.
    void setAsleep(bool asleep) { m_asleep.store(asleep, std::memory_order_release); }
    void setBacklightLevel(uint8_t level) { m_backlight.store(level, std::memory_order_release); }
    // Also ends every frame driver of this user by name at once: the driver
    // would set the event the job waits on.
    void requestStop() override;

    // The frame header request's data for a width x height frame:
    // 00 2C and the byte count in three little-endian bytes, then 00.
    static std::array<uint8_t, 6> frameHeader(int width, int height);

    // How long one wait for a picture lasts before the stop flag is looked
    // at again.
    static constexpr int kWaitSliceMs = 100;

protected:
    void work() override;

private:
    void mirror(screenlink::Screen &screen);
    // Sleeps up to `ms`, ending early when a stop comes; false then.
    bool pause(int ms);

    const int m_driverPauseMs;
    const bool m_yieldsToService;
    QString m_driverPath;
    QString m_mode;
    std::atomic<bool> m_asleep{false};
    std::atomic<uint8_t> m_backlight{255};
    std::string m_driverImage;
    std::shared_ptr<screenlink::Screen> m_screen;
    QSize m_picture;
    screenlink::ScanOrder m_order = screenlink::ScanOrder::AsIs;
};

} // namespace session
