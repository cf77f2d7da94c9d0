#include "xerrors.h"

#include <X11/Xlib.h>

#include <mutex>

namespace telvdrv {

namespace {

int g_errors = 0;

int countError(Display *, XErrorEvent *)
{
    ++g_errors;
    return 0;
}

} // namespace

void countXErrors()
{
    static std::once_flag installed;
    std::call_once(installed, [] { XSetErrorHandler(countError); });
}

XErrorScope::XErrorScope(Display *display) : m_display(display), m_before(g_errors)
{
    countXErrors();
}

bool XErrorScope::failed(bool sync) const
{
    if (sync)
        XSync(m_display, False);
    return g_errors != m_before;
}

} // namespace telvdrv
