#pragma once

#include <memory>
#include <string>

// The screen as a monitor of the X11 desktop: the framebuffer grows to the
// right by the screen's size and a RandR 1.5 monitor of exactly that size
// is placed there, so that window managers place and maximise windows on
// it. The real outputs keep their place and the primary monitor stays
// primary. Undone when the object goes: the monitor removed, windows left
// in its area moved onto the primary monitor (by the window manager where
// one runs), the framebuffer restored.
namespace telvdrv {

struct Area {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

class ExtendedDesktop {
public:
    // The monitor's name as RandR lists it.
    static constexpr char kMonitorName[] = "TAVRIK";

    // Null with `why` set when the display cannot take the monitor (no
    // RandR 1.5, a framebuffer that cannot grow). `display` as for
    // XOpenDisplay.
    static std::unique_ptr<ExtendedDesktop> add(int width, int height, std::string *why,
                                                const char *display = nullptr);
    ~ExtendedDesktop();
    ExtendedDesktop(const ExtendedDesktop &) = delete;
    ExtendedDesktop &operator=(const ExtendedDesktop &) = delete;

    // Where the monitor lies on the root window.
    Area area() const;

    struct State;

private:
    explicit ExtendedDesktop(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace telvdrv
