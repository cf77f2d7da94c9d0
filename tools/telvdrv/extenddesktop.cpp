#include "extenddesktop.h"

#include "xerrors.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstdio>

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

} // namespace

struct ExtendedDesktop::State {
    std::unique_ptr<Display, DisplayCloser> display;
    Window root = 0;
    Atom name = None;
    Area area;
    int restoredWidth = 0; // the framebuffer as it was before
    int restoredHeight = 0;
    int restoredWidthMm = 0;
    int restoredHeightMm = 0;

    // The primary monitor, or the first other than ours, or the restored
    // framebuffer: where stray windows go.
    Area home() const
    {
        Display *d = display.get();
        const Monitors monitors(d, root);
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

    // Whether `w` carries the property `propertyName`, of `type` (or of
    // any type).
    bool hasProperty(Window w, const char *propertyName, Atom type) const
    {
        Display *d = display.get();
        const Atom property = XInternAtom(d, propertyName, True);
        if (property == None)
            return false;
        Atom actual = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char *data = nullptr;
        const bool found = XGetWindowProperty(d, w, property, 0, 1, False, type, &actual, &format, &count, &after,
                                              &data) == Success
                           && actual != None && (type == AnyPropertyType || actual == type);
        if (data)
            XFree(data);
        return found;
    }

    // Whether a window manager says it runs (EWMH): windows are then its
    // to move, and it is asked to.
    bool windowManagerRuns() const { return hasProperty(root, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW); }

    bool isClient(Window w) const { return hasProperty(w, "WM_STATE", AnyPropertyType); }

    // The application's window behind a top-level window: itself, or the
    // one a reparenting window manager put into its frame.
    Window clientOf(Window topLevel) const
    {
        if (isClient(topLevel))
            return topLevel;
        Window rootReturn = 0;
        Window parent = 0;
        Window *children = nullptr;
        unsigned count = 0;
        Window client = None;
        if (XQueryTree(display.get(), topLevel, &rootReturn, &parent, &children, &count)) {
            for (unsigned i = 0; i < count && client == None; ++i)
                if (isClient(children[i]))
                    client = children[i];
            if (children)
                XFree(children);
        }
        return client;
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
    // the monitor's corner, moved onto `to` and kept inside it. Managed
    // windows are moved by their window manager, the rest directly.
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
            const int x = to.x + std::clamp(a.x - area.x, 0, std::max(0, to.width - a.width));
            const int y = to.y + std::clamp(a.y - area.y, 0, std::max(0, to.height - a.height));
            const Window client = managed && !a.override_redirect ? clientOf(children[i]) : Window(None);
            if (client != None)
                askToMove(client, x, y);
            else
                XMoveWindow(d, children[i], x, y);
        }
        if (children)
            XFree(children);
    }

    void undo() const
    {
        Display *d = display.get();
        XErrorScope errors(d);
        XRRDeleteMonitor(d, root, name);
        moveWindowsBack(home());
        XRRSetScreenSize(d, root, restoredWidth, restoredHeight, restoredWidthMm, restoredHeightMm);
        if (errors.failed())
            std::fprintf(stderr, "telvdrv: the desktop could not be given back its size of %dx%d\n", restoredWidth,
                         restoredHeight);
    }
};

std::unique_ptr<ExtendedDesktop> ExtendedDesktop::add(int width, int height, std::string *why, const char *display)
{
    auto state = std::make_unique<State>();
    state->display.reset(XOpenDisplay(display));
    if (!state->display) {
        *why = "no X display";
        return nullptr;
    }
    Display *d = state->display.get();
    const int screen = DefaultScreen(d);
    state->root = RootWindow(d, screen);
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    if (!XRRQueryExtension(d, &eventBase, &errorBase) || !XRRQueryVersion(d, &major, &minor)
        || major * 100 + minor < 105) {
        *why = "the X server has no RandR 1.5 monitors";
        return nullptr;
    }
    state->name = XInternAtom(d, kMonitorName, False);

    // A driver that could not tidy up (killed outright) left its monitor:
    // its left edge is where the desktop ended before.
    {
        const Monitors monitors(d, state->root);
        for (const XRRMonitorInfo &m : monitors) {
            if (m.name != state->name)
                continue;
            int restoredHeight = 0;
            for (const XRRMonitorInfo &other : monitors)
                if (other.name != state->name)
                    restoredHeight = std::max(restoredHeight, other.y + other.height);
            state->area = {m.x, m.y, m.width, m.height};
            state->restoredWidth = m.x;
            state->restoredHeight = restoredHeight > 0 ? restoredHeight : DisplayHeight(d, screen);
            state->restoredWidthMm = scaledMm(DisplayWidthMM(d, screen), m.x, DisplayWidth(d, screen));
            state->restoredHeightMm =
                scaledMm(DisplayHeightMM(d, screen), state->restoredHeight, DisplayHeight(d, screen));
            if (state->restoredWidth > 0)
                state->undo();
            break;
        }
    }

    Window rootReturn = 0;
    int x = 0;
    int y = 0;
    unsigned w = 0;
    unsigned h = 0;
    unsigned border = 0;
    unsigned depth = 0;
    XGetGeometry(d, state->root, &rootReturn, &x, &y, &w, &h, &border, &depth);
    const int oldWidth = int(w);
    const int oldHeight = int(h);
    // The server's idea of the size in millimetres goes with the pixels.
    const int widthMm = scaledMm(DisplayWidthMM(d, screen), oldWidth, DisplayWidth(d, screen));
    const int heightMm = scaledMm(DisplayHeightMM(d, screen), oldHeight, DisplayHeight(d, screen));
    const int newWidth = oldWidth + width;
    const int newHeight = std::max(oldHeight, height);

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

    state->area = {oldWidth, 0, width, height};
    state->restoredWidth = oldWidth;
    state->restoredHeight = oldHeight;
    state->restoredWidthMm = widthMm;
    state->restoredHeightMm = heightMm;

    XErrorScope errors(d);
    XRRSetScreenSize(d, state->root, newWidth, newHeight, scaledMm(widthMm, newWidth, oldWidth),
                     scaledMm(heightMm, newHeight, oldHeight));
    if (errors.failed()) {
        *why = "the X server refused to grow the desktop to " + std::to_string(newWidth) + "x"
               + std::to_string(newHeight);
        return nullptr;
    }
    XRRMonitorInfo *monitor = XRRAllocateMonitor(d, 0);
    monitor->name = state->name;
    monitor->primary = False;
    monitor->automatic = False;
    monitor->x = oldWidth;
    monitor->y = 0;
    monitor->width = width;
    monitor->height = height;
    monitor->mwidth = scaledMm(widthMm, width, oldWidth);
    monitor->mheight = scaledMm(heightMm, height, oldHeight);
    XRRSetMonitor(d, state->root, monitor);
    XFree(monitor);
    if (errors.failed()) {
        state->undo();
        *why = "the X server refused the new monitor";
        return nullptr;
    }
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
