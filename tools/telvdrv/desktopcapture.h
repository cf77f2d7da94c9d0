#pragma once

#include "letterbox.h"

#include <memory>
#include <vector>

// The X11 desktop as a picture of 4-byte pixels, grabbed through the MIT
// shared memory extension where the server offers it and plain XGetImage
// where not (a remote display, or a server that refuses the segment).
namespace telvdrv {

class DesktopCapture {
public:
    // Null when the display cannot be opened. `display` as for XOpenDisplay.
    static std::unique_ptr<DesktopCapture> open(const char *display = nullptr);
    ~DesktopCapture();
    DesktopCapture(const DesktopCapture &) = delete;
    DesktopCapture &operator=(const DesktopCapture &) = delete;

    // Grabs the whole desktop as it is now. The picture stays valid until
    // the next grab; its pixels are null when the grab failed.
    Picture grab();
    bool usesSharedMemory() const;
    int width() const;
    int height() const;

    struct State;

private:
    explicit DesktopCapture(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace telvdrv
