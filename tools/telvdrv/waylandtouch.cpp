#include "waylandtouch.h"

#include "portaltouch.h"

namespace telvdrv {

std::unique_ptr<TouchInjector> waylandTouch(const ScreenCast &cast, ScreenCastPortal &portal, std::string *why)
{
    if (cast.touchscreen && !portal.remoteSession().isEmpty())
        return std::make_unique<PortalTouch>(portal.bus(), portal.remoteSession(), cast.node);
    *why = cast.noTouches.isEmpty() ? "this desktop offers no way to pass them on" : cast.noTouches.toStdString();
    return nullptr;
}

} // namespace telvdrv
