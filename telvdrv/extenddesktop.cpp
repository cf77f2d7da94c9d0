#include "extenddesktop.h"

#include "testhook.h"
#include "xerrors.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace telvdrv {

namespace {

struct DisplayCloser {
    void operator()(Display *d) const { XCloseDisplay(d); }
};

struct Monitors {
    XRRMonitorInfo *list = nullptr;
    int count = 0;
    Monitors(Display *d, Window root) { list = XRRGetMonitors(d, root, False, &count); }
    ~Monitors()
    {
        if (list)
            XRRFreeMonitors(list);
    }
    Monitors(const Monitors &) = delete;
    Monitors &operator=(const Monitors &) = delete;
    XRRMonitorInfo *begin() const { return list; }
    XRRMonitorInfo *end() const { return list ? list + count : nullptr; }
};

int scaledMm(int mm, int pixels, int fromPixels)
{
    return fromPixels > 0 ? std::max(1, int(int64_t(mm) * pixels / fromPixels)) : std::max(1, mm);
}

// A frame's client lies a few levels down at most; a tree deeper or wider
// than this is not searched to the end.
constexpr int kMostWindowsSearched = 256;

struct Size {
    int width = 0;
    int height = 0;
};

// The record's fields, each a CARDINAL.
enum Field {
    kRestoredWidth,
    kRestoredHeight,
    kRestoredWidthMm,
    kRestoredHeightMm,
    kGrownWidth,
    kGrownHeight,
    kAreaX,
    kAreaY,
    kAreaWidth,
    kAreaHeight,
    kPid, // the driver's; records of older drivers end before it
    kFieldCount
};

constexpr char kRecordPrefix[] = "_TAVRIK_EXTENDED";

// Whether a driver with process ID `pid` still runs on this machine: one
// killed but not yet reaped (a zombie) does not. A record without one is
// an older driver's, long gone.
bool driverRuns(long pid)
{
    if (pid <= 0)
        return false;
    std::FILE *stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!stat)
        return false;
    char line[512] = {};
    const bool read = std::fgets(line, sizeof line, stat) != nullptr;
    std::fclose(stat);
    // The state follows the command name, which is in brackets and may hold any character.
    const char *end = read ? std::strrchr(line, ')') : nullptr;
    return end && end[1] == ' ' && end[2] != 'Z' && end[2] != 'X';
}

// What one driver added to the desktop, as its record on the root window says.
struct Part {
    Atom record = None;
    Atom monitor = None;
    std::string key;
    Area area;
    int restoredWidth = 0;  // the framebuffer's width before the part was added
    int baseHeight = 0;     // the desktop's height without any of our monitors
    int widthMm = 0;        // of that framebuffer
    int heightMm = 0;
    long pid = 0;
};

} // namespace

struct ExtendedDesktop::State {
    std::unique_ptr<Display, DisplayCloser> display;
    Window root = 0;
    Atom wmState = None;
    Part self; // ours, once added

    // Connects; false without a display.
    bool open(const char *displayName)
    {
        display.reset(XOpenDisplay(displayName));
        if (!display)
            return false;
        root = DefaultRootWindow(display.get());
        wmState = XInternAtom(display.get(), "WM_STATE", False);
        return true;
    }

    Atom atom(const std::string &name) const { return XInternAtom(display.get(), name.c_str(), False); }

    void sync(const char *step) const
    {
        XSync(display.get(), False);
        reached(step);
    }

    // The other drivers wait while one changes the desktop.
    struct Grab {
        Display *d;
        explicit Grab(Display *display) : d(display) { XGrabServer(d); }
        ~Grab()
        {
            XUngrabServer(d);
            XSync(d, False);
        }
        Grab(const Grab &) = delete;
        Grab &operator=(const Grab &) = delete;
    };

    void writeRecord(const Part &p) const
    {
        std::array<long, kFieldCount> fields{};
        fields[kRestoredWidth] = p.restoredWidth;
        fields[kRestoredHeight] = p.baseHeight;
        fields[kRestoredWidthMm] = p.widthMm;
        fields[kRestoredHeightMm] = p.heightMm;
        fields[kGrownWidth] = p.restoredWidth + p.area.width;
        fields[kGrownHeight] = std::max(p.baseHeight, p.area.height);
        fields[kAreaX] = p.area.x;
        fields[kAreaY] = p.area.y;
        fields[kAreaWidth] = p.area.width;
        fields[kAreaHeight] = p.area.height;
        fields[kPid] = p.pid;
        XChangeProperty(display.get(), root, p.record, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(fields.data()), kFieldCount);
    }

    // Nullopt when `record` holds no record of our making.
    std::optional<Part> readRecord(Atom record, const std::string &key) const
    {
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(display.get(), root, record, 0, kFieldCount, False, XA_CARDINAL, &type, &format, &count,
                               &after, &data)
            != Success)
            return std::nullopt;
        const bool whole = type == XA_CARDINAL && format == 32 && (count == kFieldCount || count == kPid) && after == 0;
        std::array<long, kFieldCount> fields{};
        if (whole)
            std::copy_n(reinterpret_cast<const long *>(data), count, fields.begin());
        if (data)
            XFree(data);
        if (!whole)
            return std::nullopt;
        // X keeps CARDINALs as 32 bits: read back as the signed numbers written.
        const auto field = [&fields](Field f) { return int(int32_t(uint32_t(fields[f]))); };
        Part p;
        p.record = record;
        p.monitor = atom(monitorName(key));
        p.key = key;
        p.restoredWidth = field(kRestoredWidth);
        p.baseHeight = field(kRestoredHeight);
        p.widthMm = field(kRestoredWidthMm);
        p.heightMm = field(kRestoredHeightMm);
        p.area = {field(kAreaX), field(kAreaY), field(kAreaWidth), field(kAreaHeight)};
        p.pid = fields[kPid];
        if (p.restoredWidth <= 0 || p.baseHeight <= 0 || p.area.width <= 0 || p.area.height <= 0)
            return std::nullopt;
        return p;
    }

    // Every driver's part, by the records on the root window.
    std::vector<Part> parts() const
    {
        std::vector<Part> found;
        int count = 0;
        Atom *properties = XListProperties(display.get(), root, &count);
        for (int i = 0; i < count; ++i) {
            char *name = XGetAtomName(display.get(), properties[i]);
            const std::string text = name ? name : "";
            if (name)
                XFree(name);
            if (text.rfind(kRecordPrefix, 0) != 0)
                continue;
            const std::string rest = text.substr(std::strlen(kRecordPrefix));
            if (!rest.empty() && rest[0] != '_')
                continue;
            if (std::optional<Part> p = readRecord(properties[i], rest.empty() ? rest : rest.substr(1)))
                found.push_back(*p);
        }
        if (properties)
            XFree(properties);
        return found;
    }

    Size size() const
    {
        Window rootReturn = 0;
        int x = 0;
        int y = 0;
        unsigned w = 0;
        unsigned h = 0;
        unsigned border = 0;
        unsigned depth = 0;
        XGetGeometry(display.get(), root, &rootReturn, &x, &y, &w, &h, &border, &depth);
        return {int(w), int(h)};
    }

    std::optional<Area> monitorArea(Atom name) const
    {
        const Monitors monitors(display.get(), root);
        for (const XRRMonitorInfo &m : monitors)
            if (m.name == name)
                return Area{m.x, m.y, m.width, m.height};
        return std::nullopt;
    }

    void placeMonitor(const Part &p, int widthMm, int heightMm) const
    {
        XRRMonitorInfo *monitor = XRRAllocateMonitor(display.get(), 0);
        monitor->name = p.monitor;
        monitor->primary = False;
        monitor->automatic = False;
        monitor->x = p.area.x;
        monitor->y = p.area.y;
        monitor->width = p.area.width;
        monitor->height = p.area.height;
        monitor->mwidth = widthMm;
        monitor->mheight = heightMm;
        XRRSetMonitor(display.get(), root, monitor);
        XFree(monitor);
    }

    // The primary monitor, or the first other than ours, or the desktop
    // without our monitors: where stray windows go.
    Area home(const std::vector<Part> &all, int baseWidth, int baseHeight) const
    {
        const auto ours = [&all](Atom name) {
            return std::any_of(all.begin(), all.end(), [name](const Part &p) { return p.monitor == name; });
        };
        const Atom unkeyed = atom(kMonitorName);
        const Monitors monitors(display.get(), root);
        const XRRMonitorInfo *chosen = nullptr;
        for (const XRRMonitorInfo &m : monitors) {
            if (ours(m.name) || m.name == unkeyed)
                continue;
            if (m.primary || !chosen)
                chosen = &m;
            if (m.primary)
                break;
        }
        if (!chosen)
            return {0, 0, baseWidth, baseHeight};
        return {chosen->x, chosen->y, chosen->width, chosen->height};
    }

    // Whether `w` carries `property` of `type` (or of any type).
    bool hasProperty(Window w, Atom property, Atom type) const
    {
        Atom actual = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char *data = nullptr;
        const bool found = property != None
                           && XGetWindowProperty(display.get(), w, property, 0, 1, False, type, &actual, &format,
                                                 &count, &after, &data)
                                  == Success
                           && actual != None && (type == AnyPropertyType || actual == type);
        if (data)
            XFree(data);
        return found;
    }

    bool isClient(Window w) const { return hasProperty(w, wmState, AnyPropertyType); }

    // Whether a window manager says it runs (EWMH): windows are then its
    // to move, and it is asked to.
    bool windowManagerRuns() const
    {
        return hasProperty(root, XInternAtom(display.get(), "_NET_SUPPORTING_WM_CHECK", True), XA_WINDOW);
    }

    // The application's window behind a top-level window: itself, or the
    // one a reparenting window manager put somewhere inside its frame.
    Window clientOf(Window topLevel) const
    {
        std::deque<Window> next{topLevel};
        for (int looked = 0; !next.empty() && looked < kMostWindowsSearched; ++looked) {
            const Window w = next.front();
            next.pop_front();
            if (isClient(w))
                return w;
            Window rootReturn = 0;
            Window parent = 0;
            Window *children = nullptr;
            unsigned count = 0;
            if (!XQueryTree(display.get(), w, &rootReturn, &parent, &children, &count))
                continue;
            next.insert(next.end(), children, children + count);
            if (children)
                XFree(children);
        }
        return None;
    }

    // _NET_MOVERESIZE_WINDOW: the frame's corner to (x, y), from a pager-like
    // source, which window managers honour without second-guessing.
    void askToMove(Window client, int x, int y) const
    {
        Display *d = display.get();
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = client;
        event.xclient.message_type = XInternAtom(d, "_NET_MOVERESIZE_WINDOW", False);
        event.xclient.format = 32;
        constexpr long kNorthWestGravity = 1;
        constexpr long kX = 1L << 8;
        constexpr long kY = 1L << 9;
        constexpr long kFromPager = 2L << 12;
        event.xclient.data.l[0] = kNorthWestGravity | kX | kY | kFromPager;
        event.xclient.data.l[1] = x;
        event.xclient.data.l[2] = y;
        XSendEvent(d, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    }

    // Moves the top-level windows for which `where` gives a new corner;
    // managed windows by their window manager, the rest directly.
    void moveWindows(const std::function<std::optional<std::pair<int, int>>(const XWindowAttributes &)> &where) const
    {
        Display *d = display.get();
        const bool managed = windowManagerRuns();
        Window rootReturn = 0;
        Window parent = 0;
        Window *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(d, root, &rootReturn, &parent, &children, &count))
            return;
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes a{};
            if (!XGetWindowAttributes(d, children[i], &a))
                continue;
            const std::optional<std::pair<int, int>> to = where(a);
            if (!to)
                continue;
            const Window client = managed && !a.override_redirect ? clientOf(children[i]) : Window(None);
            if (client != None)
                askToMove(client, to->first, to->second);
            else
                XMoveWindow(d, children[i], to->first, to->second);
        }
        if (children)
            XFree(children);
    }

    // Takes `p` out of the desktop; each step is seen by the server before
    // the next: a kill between two leaves the records, which the next
    // start goes by. Under the grab.
    void remove(const Part &p) const
    {
        Display *d = display.get();
        XErrorScope errors(d);
        const std::vector<Part> all = parts();
        std::vector<Part> others;
        for (const Part &o : all)
            if (o.record != p.record)
                others.push_back(o);
        int baseWidth = p.area.x;
        int widths = p.area.width;
        int tallest = p.area.height;
        int othersTallest = 0;
        for (const Part &o : others) {
            baseWidth = std::min(baseWidth, o.area.x);
            widths += o.area.width;
            tallest = std::max(tallest, o.area.height);
            othersTallest = std::max(othersTallest, o.area.height);
        }
        const Size now = size();
        // A desktop that someone resized since is theirs now, windows and all.
        const bool ours = now.width == baseWidth + widths && now.height == std::max(p.baseHeight, tallest);
        const int newWidth = now.width - p.area.width;
        const int newHeight = std::max(p.baseHeight, othersTallest);
        const int right = p.area.x + p.area.width;
        // A driver killed after the others closed the gap: its columns are
        // theirs already.
        const bool vacated = std::any_of(others.begin(), others.end(), [&](const Part &o) {
            return o.area.x < right && o.area.x + o.area.width > p.area.x;
        });
        if (ours && !vacated) {
            const Area to = home(all, baseWidth, p.baseHeight);
            // Windows on its monitor (or out of reach below the desktop to
            // come) go home, keeping their place relative to the corner as
            // far as they can while lying wholly there.
            moveWindows([&](const XWindowAttributes &a) -> std::optional<std::pair<int, int>> {
                const bool onIt = a.x >= p.area.x && a.x < right;
                if (!onIt && !(a.x < p.area.x && a.y >= newHeight))
                    return std::nullopt;
                const int width = a.width + 2 * a.border_width;
                const int height = a.height + 2 * a.border_width;
                return std::pair(to.x + std::clamp(a.x - p.area.x, 0, std::max(0, to.width - width)),
                                 to.y + std::clamp(a.y - p.area.y, 0, std::max(0, to.height - height)));
            });
        }
        sync("windows-moved");
        if (ours && !vacated) {
            // The monitors right of it, and their windows, close the gap.
            moveWindows([&](const XWindowAttributes &a) -> std::optional<std::pair<int, int>> {
                if (a.x < right)
                    return std::nullopt;
                return std::pair(a.x - p.area.width, a.y);
            });
            for (Part o : others) {
                if (o.area.x < right)
                    continue;
                o.area.x -= p.area.width;
                o.restoredWidth -= p.area.width;
                writeRecord(o);
                const Monitors monitors(d, root);
                for (const XRRMonitorInfo &m : monitors) {
                    if (m.name != o.monitor)
                        continue;
                    XRRDeleteMonitor(d, root, o.monitor);
                    placeMonitor(o, m.mwidth, m.mheight);
                }
            }
        }
        sync("shifted");
        if (ours)
            XRRSetScreenSize(d, root, newWidth, newHeight, scaledMm(p.widthMm, newWidth, p.restoredWidth),
                             scaledMm(p.heightMm, newHeight, p.baseHeight));
        sync("shrunk");
        if (monitorArea(p.monitor))
            XRRDeleteMonitor(d, root, p.monitor);
        sync("monitor-deleted");
        XDeleteProperty(d, root, p.record);
        if (errors.failed() && ours)
            std::fprintf(stderr, "telvdrv: the desktop could not be given back its part of %dx%d\n", p.area.width,
                         p.area.height);
    }

    // What killed drivers left, put back: the part of `key`'s driver
    // before this one, and the parts of drivers that no longer run. Under
    // the grab.
    void putBackLeftOver(const std::string &key) const
    {
        for (const Part &p : parts()) {
            if (p.key != key && driverRuns(p.pid))
                continue;
            std::fprintf(stderr, "telvdrv: a driver ended before it gave the desktop back its part of %dx%d; "
                                 "giving it back now\n", p.area.width, p.area.height);
            remove(p);
        }
        // Without a record (one not of our making) only the monitor is
        // surely ours.
        const Atom name = atom(monitorName(key));
        if (monitorArea(name)) {
            const XErrorScope errors(display.get());
            XRRDeleteMonitor(display.get(), root, name);
            (void)errors.failed();
        }
    }
};

std::string ExtendedDesktop::monitorName(const std::string &key)
{
    return key.empty() ? std::string(kMonitorName) : std::string(kMonitorName) + "-" + key;
}

std::string ExtendedDesktop::recordName(const std::string &key)
{
    return key.empty() ? std::string(kRecordName) : std::string(kRecordName) + "_" + key;
}

void ExtendedDesktop::putBackLeftOver(const char *display, const std::string &key)
{
    State state;
    if (!state.open(display))
        return;
    const State::Grab grab(state.display.get());
    state.putBackLeftOver(key);
}

std::unique_ptr<ExtendedDesktop> ExtendedDesktop::add(int width, int height, std::string *why, const char *display,
                                                      const std::string &key)
{
    auto state = std::make_unique<State>();
    if (!state->open(display)) {
        *why = "no X display";
        return nullptr;
    }
    Display *d = state->display.get();
    const int screen = DefaultScreen(d);
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    if (!XRRQueryExtension(d, &eventBase, &errorBase) || !XRRQueryVersion(d, &major, &minor)
        || major * 100 + minor < 105) {
        *why = "the X server has no RandR 1.5 monitors";
        return nullptr;
    }

    const State::Grab grab(d);
    state->putBackLeftOver(key);
    const std::vector<Part> others = state->parts();
    const Size old = state->size();
    // The server's idea of the size in millimetres goes with the pixels.
    const int widthMm = scaledMm(DisplayWidthMM(d, screen), old.width, DisplayWidth(d, screen));
    const int heightMm = scaledMm(DisplayHeightMM(d, screen), old.height, DisplayHeight(d, screen));
    const int newWidth = old.width + width;
    const int newHeight = std::max(old.height, height);

    int minWidth = 0;
    int minHeight = 0;
    int maxWidth = 0;
    int maxHeight = 0;
    XRRGetScreenSizeRange(d, state->root, &minWidth, &minHeight, &maxWidth, &maxHeight);
    if (newWidth > maxWidth || newHeight > maxHeight) {
        *why = "the X server's desktop cannot grow past " + std::to_string(maxWidth) + "x" + std::to_string(maxHeight)
               + " to make room for " + std::to_string(width) + "x" + std::to_string(height);
        return nullptr;
    }

    Part &self = state->self;
    self.record = state->atom(recordName(key));
    self.monitor = state->atom(monitorName(key));
    self.key = key;
    self.area = {old.width, 0, width, height};
    self.restoredWidth = old.width;
    // The other screens' monitors may have made it taller.
    self.baseHeight = others.empty() ? old.height : others.front().baseHeight;
    self.widthMm = widthMm;
    self.heightMm = heightMm;
    self.pid = long(getpid());

    XErrorScope errors(d);
    state->writeRecord(self);
    state->sync("recorded");
    XRRSetScreenSize(d, state->root, newWidth, newHeight, scaledMm(widthMm, newWidth, old.width),
                     scaledMm(heightMm, newHeight, old.height));
    if (errors.failed()) {
        XDeleteProperty(d, state->root, self.record);
        XSync(d, False);
        *why = "the X server refused to grow the desktop to " + std::to_string(newWidth) + "x"
               + std::to_string(newHeight);
        return nullptr;
    }
    reached("grown");
    state->placeMonitor(self, scaledMm(widthMm, width, old.width), scaledMm(heightMm, height, old.height));
    if (errors.failed()) {
        state->remove(self);
        *why = "the X server refused the new monitor";
        return nullptr;
    }
    reached("monitor-added");
    return std::unique_ptr<ExtendedDesktop>(new ExtendedDesktop(std::move(state)));
}

ExtendedDesktop::ExtendedDesktop(std::unique_ptr<State> state) : m_state(std::move(state)) {}

ExtendedDesktop::~ExtendedDesktop()
{
    const State::Grab grab(m_state->display.get());
    // As the record says now: another driver may have moved it.
    if (const std::optional<Part> now = m_state->readRecord(m_state->self.record, m_state->self.key))
        m_state->remove(*now);
    else
        m_state->remove(m_state->self);
}

Area ExtendedDesktop::area() const
{
    return m_state->self.area;
}

bool ExtendedDesktop::follow()
{
    const std::optional<Area> now = m_state->monitorArea(m_state->self.monitor);
    if (!now || (now->x == m_state->self.area.x && now->y == m_state->self.area.y))
        return false;
    m_state->self.area.x = now->x;
    m_state->self.area.y = now->y;
    return true;
}

} // namespace telvdrv
