#include "waylandtouch.h"

namespace telvdrv {

std::unique_ptr<TouchInjector> waylandTouch(const ScreenCast &, ScreenCastPortal &, std::string *why)
{
    *why = "this desktop offers no way to pass them on";
    return nullptr;
}

} // namespace telvdrv
