#pragma once

#include "letterbox.h"

// Where the driver's pictures come from: the X11 desktop or a compositor's
// screen-cast stream. Both tell when something changed, so a still desktop
// costs nothing.
namespace telvdrv {

class FrameSource {
public:
    virtual ~FrameSource() = default;

    // Waits up to `ms` for a change: true when there is a picture to grab.
    // False at once when a signal interrupts the wait.
    virtual bool waitForChange(int ms) = 0;

    // The picture as it is now, valid until the next grab; null pixels when
    // there is none.
    virtual Picture grab() = 0;

    // True once the source can give no more pictures.
    virtual bool ended() const { return false; }

protected:
    FrameSource() = default;
    FrameSource(const FrameSource &) = default;
    FrameSource &operator=(const FrameSource &) = default;
};

} // namespace telvdrv
