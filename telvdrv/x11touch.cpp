// Where the pointer can go, a touch is the core pointer's: XTest moves it
// there and presses button 1, and the window there gets what a mouse would
// give it. The server keeps the pointer on the areas its outputs show
// (RandR confines it to the CRTCs), and the extend monitor is no output:
// there the touch goes to the window under it as the events a pointer
// grab would send (XSendEvent), to the window that takes button presses,
// press, moves and release alike.
#include "x11touch.h"

#include "xerrors.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <atomic>

namespace telvdrv {

struct X11Touch::State {
    Display *display = nullptr;
    Window root = 0;
    // Set by the capture's thread when the monitor moves.
    std::atomic<int> originX{0};
    std::atomic<int> originY{0};
    bool pointerBack = false;
    int beforeX = 0;
    int beforeY = 0;
    bool knowBefore = false;
    // The window a touch off the pointer's reach went to, from its press
    // to its release; none while the pointer carries the touch.
    Window grabbed = 0;

    ~State()
    {
        if (display)
            XCloseDisplay(display);
    }
    void moveTo(int x, int y) const { XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime); }
    bool queryPointer(int *x, int *y) const
    {
        Window rootReturn = 0;
        Window child = 0;
        int winX = 0;
        int winY = 0;
        unsigned mask = 0;
        return XQueryPointer(display, root, &rootReturn, &child, x, y, &winX, &winY, &mask);
    }
    bool pointerAt(int x, int y) const
    {
        int nowX = 0;
        int nowY = 0;
        return queryPointer(&nowX, &nowY) && nowX == x && nowY == y;
    }
    Window takerAt(int x, int y) const;
    void send(Window to, int type, int x, int y) const;
};

// The deepest window at (x, y), then up to the first one some client takes
// button presses on; the root when none.
Window X11Touch::State::takerAt(int x, int y) const
{
    Window at = root;
    for (;;) {
        int localX = 0;
        int localY = 0;
        Window child = 0;
        if (!XTranslateCoordinates(display, root, at, x, y, &localX, &localY, &child) || child == 0)
            break;
        at = child;
    }
    while (at != root) {
        XWindowAttributes a{};
        if (XGetWindowAttributes(display, at, &a) && (a.all_event_masks & ButtonPressMask) != 0)
            return at;
        if (a.do_not_propagate_mask & ButtonPressMask)
            return 0;
        Window rootReturn = 0;
        Window parent = 0;
        Window *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, at, &rootReturn, &parent, &children, &count))
            return 0;
        if (children)
            XFree(children);
        at = parent;
    }
    return root;
}

void X11Touch::State::send(Window to, int type, int x, int y) const
{
    XEvent e{};
    int localX = 0;
    int localY = 0;
    Window child = 0;
    XTranslateCoordinates(display, root, to, x, y, &localX, &localY, &child);
    // Button and motion events lay out these fields alike.
    const auto place = [&](auto &event) {
        event.type = type;
        event.window = to;
        event.root = root;
        event.x = localX;
        event.y = localY;
        event.x_root = x;
        event.y_root = y;
        event.same_screen = True;
        event.state = type == ButtonPress ? 0 : Button1Mask;
    };
    long mask = 0;
    if (type == MotionNotify) {
        place(e.xmotion);
        mask = Button1MotionMask | PointerMotionMask;
    } else {
        place(e.xbutton);
        e.xbutton.button = Button1;
        mask = type == ButtonPress ? ButtonPressMask : ButtonReleaseMask;
    }
    XSendEvent(display, to, False, mask, &e);
}

std::unique_ptr<X11Touch> X11Touch::open(int originX, int originY, bool pointerBack, std::string *why,
                                         const char *display)
{
    // A touch on a window that went away meanwhile fails; Xlib's own
    // handler would end the driver for it.
    countXErrors();
    auto state = std::make_unique<State>();
    state->display = XOpenDisplay(display);
    if (!state->display) {
        *why = "cannot open the display";
        return nullptr;
    }
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    if (!XTestQueryExtension(state->display, &event, &error, &major, &minor)) {
        *why = "the display server has no XTest";
        return nullptr;
    }
    state->root = DefaultRootWindow(state->display);
    state->originX = originX;
    state->originY = originY;
    state->pointerBack = pointerBack;
    return std::unique_ptr<X11Touch>(new X11Touch(std::move(state)));
}

X11Touch::X11Touch(std::unique_ptr<State> state) : m_state(std::move(state)) {}

X11Touch::~X11Touch() = default;

void X11Touch::setOrigin(int originX, int originY)
{
    m_state->originX = originX;
    m_state->originY = originY;
}

void X11Touch::inject(TouchPhase phase, int x, int y)
{
    State &s = *m_state;
    const int rootX = s.originX + x;
    const int rootY = s.originY + y;
    if (phase == TouchPhase::Down) {
        s.knowBefore = s.queryPointer(&s.beforeX, &s.beforeY);
        s.moveTo(rootX, rootY);
        s.grabbed = s.pointerAt(rootX, rootY) ? 0 : s.takerAt(rootX, rootY);
        if (s.grabbed) {
            // The pointer went only as far as it may: it stays where it was.
            if (s.knowBefore)
                s.moveTo(s.beforeX, s.beforeY);
            s.send(s.grabbed, ButtonPress, rootX, rootY);
        } else {
            XTestFakeButtonEvent(s.display, 1, True, CurrentTime);
        }
    } else if (s.grabbed) {
        s.send(s.grabbed, phase == TouchPhase::Move ? MotionNotify : ButtonRelease, rootX, rootY);
    } else {
        s.moveTo(rootX, rootY);
        if (phase == TouchPhase::Up)
            XTestFakeButtonEvent(s.display, 1, False, CurrentTime);
    }
    if (phase == TouchPhase::Up) {
        if (s.pointerBack && s.knowBefore && !s.grabbed)
            s.moveTo(s.beforeX, s.beforeY);
        s.grabbed = 0;
    }
    XFlush(s.display);
}

} // namespace telvdrv
