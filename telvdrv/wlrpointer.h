#pragma once

#include "touchinjector.h"
#include "waylandoutputs.h"

#include <QRect>

#include <memory>
#include <string>

// Touches on wlroots compositors (sway): a virtual pointer of the
// compositor's own protocol, its absolute motion tied to the output the
// cast shows, its left button pressed while the finger is down.
namespace telvdrv {

class WlrPointer : public TouchInjector {
public:
    // `shown`: the cast output's place in the compositor's logical layout.
    // Null with `why` without a Wayland display, without the protocol, or
    // when no output lies there. `display` null: WAYLAND_DISPLAY's.
    static std::unique_ptr<WlrPointer> open(const QRect &shown, std::string *why, const char *display = nullptr);
    ~WlrPointer() override;
    WlrPointer(const WlrPointer &) = delete;
    WlrPointer &operator=(const WlrPointer &) = delete;

    // The connection was made on another thread; from here on only this
    // one uses it.
    void inject(TouchPhase phase, int x, int y) override;

    struct State;

private:
    explicit WlrPointer(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace telvdrv
