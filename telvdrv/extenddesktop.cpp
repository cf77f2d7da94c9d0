#include "extenddesktop.h"

#include "testhook.h"
#include "xerrors.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>

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
    kFieldCount
};

} // namespace

struct ExtendedDesktop::State {
    std::unique_ptr<Display, DisplayCloser> display;
    Window root = 0;
    Atom name = None;   // our monitor's
    Atom record = None; // the root window's record of what we changed
    Atom wmState = None;
    Area area;
    int restoredWidth = 0; // the framebuffer as it was before
    int restoredHeight = 0;
    int restoredWidthMm = 0;
    int restoredHeightMm = 0;
    int grownWidth = 0; // and as we made it
    int grownHeight = 0;

    // Connects and learns the atoms; false without a display.
    bool open(const char *displayName)
    {
        display.reset(XOpenDisplay(displayName));
        if (!display)
            return false;
        Display *d = display.get();
        root = DefaultRootWindow(d);
        name = XInternAtom(d, kMonitorName, False);
        record = XInternAtom(d, kRecordName, False);
        wmState = XInternAtom(d, "WM_STATE", False);
        return true;
    }

    void sync(const char *step) const
    {
        XSync(display.get(), False);
        reached(step);
    }

    void writeRecord() const
    {
        std::array<long, kFieldCount> fields{};
        fields[kRestoredWidth] = restoredWidth;
        fields[kRestoredHeight] = restoredHeight;
        fields[kRestoredWidthMm] = restoredWidthMm;
        fields[kRestoredHeightMm] = restoredHeightMm;
        fields[kGrownWidth] = grownWidth;
        fields[kGrownHeight] = grownHeight;
        fields[kAreaX] = area.x;
        fields[kAreaY] = area.y;
        fields[kAreaWidth] = area.width;
        fields[kAreaHeight] = area.height;
        XChangeProperty(display.get(), root, record, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(fields.data()), kFieldCount);
    }

    // False when the root window holds no record, or one not of our making.
    bool readRecord()
    {
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(display.get(), root, record, 0, kFieldCount, False, XA_CARDINAL, &type, &format, &count,
                               &after, &data)
            != Success)
            return false;
        const bool whole = type == XA_CARDINAL && format == 32 && count == kFieldCount && after == 0;
        std::array<long, kFieldCount> fields{};
        if (whole)
            std::copy_n(reinterpret_cast<const long *>(data), kFieldCount, fields.begin());
        if (data)
            XFree(data);
        if (!whole)
            return false;
        // X keeps CARDINALs as 32 bits: read back as the signed numbers written.
        const auto field = [&fields](Field f) { return int(int32_t(uint32_t(fields[f]))); };
        restoredWidth = field(kRestoredWidth);
        restoredHeight = field(kRestoredHeight);
        restoredWidthMm = field(kRestoredWidthMm);
        restoredHeightMm = field(kRestoredHeightMm);
        grownWidth = field(kGrownWidth);
        grownHeight = field(kGrownHeight);
        area = {field(kAreaX), field(kAreaY), field(kAreaWidth), field(kAreaHeight)};
        return restoredWidth > 0 && restoredHeight > 0 && grownWidth > 0 && grownHeight > 0;
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

    bool monitorListed() const
    {
        const Monitors monitors(display.get(), root);
        return std::any_of(monitors.begin(), monitors.end(), [this](const XRRMonitorInfo &m) { return m.name == name; });
    }

    // The primary monitor, or the first other than ours, or the restored
    // framebuffer: where stray windows go.
    Area home() const
    {
        const Monitors monitors(display.get(), root);
        const XRRMonitorInfo *chosen = nullptr;
        for (const XRRMonitorInfo &m : monitors) {
            if (m.name == name)
                continue;
            if (m.primary || !chosen)
                chosen = &m;
            if (m.primary)
                break;
        }
        if (!chosen)
            return {0, 0, restoredWidth, restoredHeight};
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

    // Top-level windows whose origin lies outside the framebuffer that is
    // coming back would be out of reach: each keeps its place relative to
    // the monitor's corner as far as it can while lying wholly on `to`.
    // Managed windows are moved by their window manager, the rest directly.
    void moveWindowsBack(const Area &to) const
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
            if (a.x < restoredWidth && a.y < restoredHeight)
                continue;
            // The frame's outer size, border included.
            const int width = a.width + 2 * a.border_width;
            const int height = a.height + 2 * a.border_width;
            const int x = to.x + std::clamp(a.x - area.x, 0, std::max(0, to.width - width));
            const int y = to.y + std::clamp(a.y - area.y, 0, std::max(0, to.height - height));
            const Window client = managed && !a.override_redirect ? clientOf(children[i]) : Window(None);
            if (client != None)
                askToMove(client, x, y);
            else
                XMoveWindow(d, children[i], x, y);
        }
        if (children)
            XFree(children);
    }

    // Each step is seen by the server before the next: a kill between two
    // leaves the record, and the record is what the next start goes by.
    void undo() const
    {
        Display *d = display.get();
        XErrorScope errors(d);
        const Size now = size();
        // A desktop that someone resized since is theirs now, windows and all.
        const bool ours = now.width == grownWidth && now.height == grownHeight;
        if (ours)
            moveWindowsBack(home());
        sync("windows-moved");
        if (ours)
            XRRSetScreenSize(d, root, restoredWidth, restoredHeight, restoredWidthMm, restoredHeightMm);
        sync("shrunk");
        if (monitorListed())
            XRRDeleteMonitor(d, root, name);
        sync("monitor-deleted");
        XDeleteProperty(d, root, record);
        if (errors.failed() && ours)
            std::fprintf(stderr, "telvdrv: the desktop could not be given back its size of %dx%d\n", restoredWidth,
                         restoredHeight);
    }

    // What a killed driver left, put back on this connection.
    void putBackLeftOver()
    {
        if (readRecord()) {
            std::fprintf(stderr, "telvdrv: a driver ended before it gave the desktop back its size of %dx%d; "
                                 "giving it back now\n", restoredWidth, restoredHeight);
            undo();
        } else if (monitorListed()) {
            // Without a record (one not of our making) only the monitor is
            // surely ours.
            const XErrorScope errors(display.get());
            XRRDeleteMonitor(display.get(), root, name);
            XDeleteProperty(display.get(), root, record);
            (void)errors.failed();
        }
    }
};

void ExtendedDesktop::putBackLeftOver(const char *display)
{
    State state;
    if (state.open(display))
        state.putBackLeftOver();
}

std::unique_ptr<ExtendedDesktop> ExtendedDesktop::add(int width, int height, std::string *why, const char *display)
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

    state->area = {old.width, 0, width, height};
    state->restoredWidth = old.width;
    state->restoredHeight = old.height;
    state->restoredWidthMm = widthMm;
    state->restoredHeightMm = heightMm;
    state->grownWidth = newWidth;
    state->grownHeight = newHeight;

    XErrorScope errors(d);
    state->writeRecord();
    state->sync("recorded");
    XRRSetScreenSize(d, state->root, newWidth, newHeight, scaledMm(widthMm, newWidth, old.width),
                     scaledMm(heightMm, newHeight, old.height));
    if (errors.failed()) {
        XDeleteProperty(d, state->root, state->record);
        XSync(d, False);
        *why = "the X server refused to grow the desktop to " + std::to_string(newWidth) + "x"
               + std::to_string(newHeight);
        return nullptr;
    }
    reached("grown");
    XRRMonitorInfo *monitor = XRRAllocateMonitor(d, 0);
    monitor->name = state->name;
    monitor->primary = False;
    monitor->automatic = False;
    monitor->x = old.width;
    monitor->y = 0;
    monitor->width = width;
    monitor->height = height;
    monitor->mwidth = scaledMm(widthMm, width, old.width);
    monitor->mheight = scaledMm(heightMm, height, old.height);
    XRRSetMonitor(d, state->root, monitor);
    XFree(monitor);
    if (errors.failed()) {
        state->undo();
        *why = "the X server refused the new monitor";
        return nullptr;
    }
    reached("monitor-added");
    return std::unique_ptr<ExtendedDesktop>(new ExtendedDesktop(std::move(state)));
}

ExtendedDesktop::ExtendedDesktop(std::unique_ptr<State> state) : m_state(std::move(state)) {}

ExtendedDesktop::~ExtendedDesktop()
{
    m_state->undo();
}

Area ExtendedDesktop::area() const
{
    return m_state->area;
}

} // namespace telvdrv
