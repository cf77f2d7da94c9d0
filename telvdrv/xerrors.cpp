#include "xerrors.h"

#include <X11/Xlib.h>

#include <map>
#include <mutex>

namespace telvdrv {

namespace {

// Keyed by connection. A connection closed and another opened at the same
// address shares its count, which is harmless: only changes are looked at.
std::mutex g_lock;
std::map<const Display *, uint64_t> g_errors;

int countError(Display *display, XErrorEvent *)
{
    const std::lock_guard<std::mutex> hold(g_lock);
    ++g_errors[display];
    return 0;
}

uint64_t errorsOf(const Display *display)
{
    const std::lock_guard<std::mutex> hold(g_lock);
    const auto it = g_errors.find(display);
    return it == g_errors.end() ? 0 : it->second;
}

} // namespace

void countXErrors()
{
    static std::once_flag installed;
    std::call_once(installed, [] { XSetErrorHandler(countError); });
}

XErrorScope::XErrorScope(Display *display) : m_display(display), m_before(errorsOf(display))
{
    countXErrors();
}

bool XErrorScope::failed(bool sync) const
{
    if (sync)
        XSync(m_display, False);
    return errorsOf(m_display) != m_before;
}

} // namespace telvdrv
