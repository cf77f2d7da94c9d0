#include "waylandtouch.h"

#include "portaltouch.h"
#include "wlrpointer.h"

namespace telvdrv {

std::unique_ptr<TouchInjector> waylandTouch(const ScreenCast &cast, ScreenCastPortal &portal, std::string *why)
{
    // GNOME and KDE: the remote-desktop session the cast belongs to.
    if ((cast.touchscreen || cast.pointer) && !portal.remoteSession().isEmpty())
        return std::make_unique<PortalTouch>(portal.bus(), portal.remoteSession(), cast.node, cast.pointer);
    // wlroots: a virtual pointer on the output the portal casts.
    std::string pointer;
    std::unique_ptr<TouchInjector> injector = WlrPointer::open(cast.area, &pointer);
    if (!injector)
        *why = cast.noTouches.isEmpty() ? pointer : cast.noTouches.toStdString();
    return injector;
}

} // namespace telvdrv
