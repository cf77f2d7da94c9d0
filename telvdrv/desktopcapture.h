#pragma once

#include "extenddesktop.h"
#include "framesource.h"

#include <memory>
#include <vector>

// The X11 desktop, or one area of it, as a picture of 4-byte pixels,
// grabbed through the MIT shared memory extension where the server offers
// it and plain XGetImage where not (a remote display, or a server that
// refuses the segment). Changes are learnt from the DAMAGE extension, so a
// still desktop costs nothing.
namespace telvdrv {

class DesktopCapture : public FrameSource {
public:
    // Null when the display cannot be opened. `display` as for XOpenDisplay.
    static std::unique_ptr<DesktopCapture> open(const char *display = nullptr);
    ~DesktopCapture() override;
    DesktopCapture(const DesktopCapture &) = delete;
    DesktopCapture &operator=(const DesktopCapture &) = delete;

    // From now on only this area of the desktop is grabbed and watched.
    void captureArea(const Area &area);

    // Waits up to `ms` for the grabbed area to change: true when it did,
    // also for the first call after opening or choosing the area, and for
    // every call on a server without DAMAGE. False at once when a signal
    // interrupts the wait.
    bool waitForChange(int ms) override;

    // Grabs the desktop (or the area) as it is now. The picture stays valid
    // until the next grab; its pixels are null when the grab failed.
    Picture grab() override;
    bool tracksDamage() const;
    bool usesSharedMemory() const;
    int width() const;
    int height() const;

    struct State;

private:
    explicit DesktopCapture(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace telvdrv
