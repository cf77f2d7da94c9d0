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
    // `driverPauseMs`: the time given to the frame drivers ended by name
    // at a start without a screen key to go away before the share is
    // opened anew.
    explicit MonitorWorker(int driverPauseMs, QObject *parent = nullptr);
    ~MonitorWorker() override;

    // Mirrors the desktop to `screen` at `picture` size, each picture turned
    // into the panel's scan order `order`, with the driver at `driver`.
    // Does nothing while the job runs. With no screen, the job only writes
    // "No screen connected." and leaves any running driver alone.
    // `mode`, when given ("extend", "mirror"), is the driver's choice over
    // the user's general one.
    // `screenKey` (see screenKey()) gives the screen a frame share, touch
    // channel and driver of its own where names are per screen, so that
    // several screens are monitors at once; the job then ends only the
    // driver it started. Without it, or on Windows, the share has the
    // default names and the drivers of the file name of `driver` are ended
    // at every start and stop: the vendor's driver knows only those names.
    bool begin(std::shared_ptr<screenlink::Screen> screen, QSize picture, screenlink::ScanOrder order,
               const QString &driver, const QString &mode = {}, const QString &screenKey = {});
    // While the desktop sleeps the screen is dark (backlight 0) and gets no
    // frames; at the wake its backlight comes back to `level` and the
    // newest picture is sent at once. Any thread.
    void setAsleep(bool asleep) { m_asleep.store(asleep, std::memory_order_release); }
    void setBacklightLevel(uint8_t level) { m_backlight.store(level, std::memory_order_release); }
    // Without names of its own, also ends every frame driver of this user
    // by name at once.
    void requestStop() override;

    // The machine-wide name a job holds while its screen shows the
    // desktop, so that other programs can tell.
    static std::string showingName(const QString &screenKey);
    static bool showingElsewhere(const QString &screenKey);

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

    bool ownNames() const;

    const int m_driverPauseMs;
    QString m_driverPath;
    QString m_mode;
    QString m_screenKey;
    std::atomic<bool> m_asleep{false};
    std::atomic<uint8_t> m_backlight{255};
    std::string m_driverImage;
    std::shared_ptr<screenlink::Screen> m_screen;
    QSize m_picture;
    screenlink::ScanOrder m_order = screenlink::ScanOrder::AsIs;
};

} // namespace session
