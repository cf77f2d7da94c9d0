#include "x11touch.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace telvdrv {

struct X11Touch::State {
    Display *display = nullptr;
    int originX = 0;
    int originY = 0;
    bool pointerBack = false;
    int beforeX = 0;
    int beforeY = 0;
    bool knowBefore = false;

    ~State()
    {
        if (display)
            XCloseDisplay(display);
    }
    void moveTo(int x, int y) const { XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime); }
};

std::unique_ptr<X11Touch> X11Touch::open(int originX, int originY, bool pointerBack, std::string *why,
                                         const char *display)
{
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
    state->originX = originX;
    state->originY = originY;
    state->pointerBack = pointerBack;
    return std::unique_ptr<X11Touch>(new X11Touch(std::move(state)));
}

X11Touch::X11Touch(std::unique_ptr<State> state) : m_state(std::move(state)) {}

X11Touch::~X11Touch() = default;

void X11Touch::inject(TouchPhase phase, int x, int y)
{
    State &s = *m_state;
    if (phase == TouchPhase::Down && s.pointerBack) {
        Window root = 0;
        Window child = 0;
        int winX = 0;
        int winY = 0;
        unsigned mask = 0;
        s.knowBefore = XQueryPointer(s.display, DefaultRootWindow(s.display), &root, &child, &s.beforeX, &s.beforeY,
                                     &winX, &winY, &mask);
    }
    s.moveTo(s.originX + x, s.originY + y);
    if (phase != TouchPhase::Move)
        XTestFakeButtonEvent(s.display, 1, phase == TouchPhase::Down ? True : False, CurrentTime);
    if (phase == TouchPhase::Up && s.pointerBack && s.knowBefore)
        s.moveTo(s.beforeX, s.beforeY);
    XFlush(s.display);
}

} // namespace telvdrv
