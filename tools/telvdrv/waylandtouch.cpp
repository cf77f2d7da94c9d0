#include "waylandtouch.h"

#include "wlrpointer.h"

namespace telvdrv {

std::unique_ptr<TouchInjector> waylandTouch(const ScreenCast &cast, ScreenCastPortal &, std::string *why)
{
    // wlroots: a virtual pointer on the output the portal casts.
    return WlrPointer::open(cast.area, why);
}

} // namespace telvdrv
