#pragma once

#include <memory>
#include <string>

// The screen as a monitor of the X11 desktop: the framebuffer grows to the
// right by the screen's size and a RandR 1.5 monitor of exactly that size
// is placed there, right of everything, so that window managers place and
// maximise windows on it. The real outputs keep their place and the
// primary monitor stays primary. Undone when the object goes: windows left
// in its area moved onto the primary monitor (by the window manager where
// one runs), the monitors of other screens right of it and their windows
// moved left by its width, the framebuffer shrunk by its share, the
// monitor removed. What is about to change is recorded on the root window
// first and the record removed last, so that a driver killed at any moment
// leaves enough for the next one to put its part back. Drivers of several
// screens change the desktop one at a time, under a server grab.
namespace telvdrv {

struct Area {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

class ExtendedDesktop {
public:
    // The monitor's name as RandR lists it, and the root window's property
    // holding its record: these for a driver without a screen key, and
    // these followed by "-KEY" and "_KEY" for the screen KEY names.
    static constexpr char kMonitorName[] = "TAVRIK";
    static constexpr char kRecordName[] = "_TAVRIK_EXTENDED";
    static std::string monitorName(const std::string &key);
    static std::string recordName(const std::string &key);

    // What a killed driver left must be put back first (putBackLeftOver).
    // Null with `why` set when the display cannot take the monitor (no
    // RandR 1.5, a framebuffer that cannot grow). `display` as for
    // XOpenDisplay; `key` names the screen (see monitorName()).
    static std::unique_ptr<ExtendedDesktop> add(int width, int height, std::string *why,
                                                const char *display = nullptr, const std::string &key = {});
    // Puts back the part of the desktop that a driver killed before it
    // could left: the part of this screen's driver (`key`), and that of
    // any driver no longer running. Run at every start, in either mode.
    // Says on standard error what it did.
    static void putBackLeftOver(const char *display = nullptr, const std::string &key = {});

    ~ExtendedDesktop();
    ExtendedDesktop(const ExtendedDesktop &) = delete;
    ExtendedDesktop &operator=(const ExtendedDesktop &) = delete;

    // Where the monitor lies on the root window, as last looked at.
    Area area() const;
    // Looks again: another screen's monitor going moves this one left.
    // True when it moved.
    bool follow();

    struct State;

private:
    explicit ExtendedDesktop(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace telvdrv
