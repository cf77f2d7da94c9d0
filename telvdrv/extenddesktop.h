#pragma once

#include <memory>
#include <string>

// The screen as a monitor of the X11 desktop: the framebuffer grows to the
// right by the screen's size and a RandR 1.5 monitor of exactly that size
// is placed there, so that window managers place and maximise windows on
// it. The real outputs keep their place and the primary monitor stays
// primary. Undone when the object goes: windows left in its area moved
// onto the primary monitor (by the window manager where one runs), the
// framebuffer restored, the monitor removed. What is about to change is
// recorded on the root window first and the record removed last, so that
// a driver killed at any moment leaves enough for the next one to put
// everything back.
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
    // The root window's property holding that record.
    static constexpr char kRecordName[] = "_TAVRIK_EXTENDED";

    // What a killed driver left must be put back first (putBackLeftOver).
    // Null with `why` set when the display cannot take the monitor (no
    // RandR 1.5, a framebuffer that cannot grow). `display` as for
    // XOpenDisplay.
    static std::unique_ptr<ExtendedDesktop> add(int width, int height, std::string *why,
                                                const char *display = nullptr);
    // Puts back what a driver that was killed before it could left: run at
    // every start, in either mode. Says on standard error what it did.
    static void putBackLeftOver(const char *display = nullptr);

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
