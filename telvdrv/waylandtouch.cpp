#include "waylandtouch.h"

#include "portaltouch.h"
#include "waylandoutputs.h"
#include "wlrpointer.h"

namespace telvdrv {

namespace {

// The virtual monitor of the cast among the compositor's outputs: of the
// size it was asked to have, and of several such the newest, ours having
// been made at our start.
LayoutLookup virtualMonitorLayout(std::shared_ptr<WaylandOutputs> outputs, QSize asked)
{
    return [outputs = std::move(outputs), asked](std::string *why) -> std::optional<DesktopLayout> {
        // Twice: an output announced since is bound in the first, and tells
        // its place and mode in the second.
        if (!outputs->roundtrip() || !outputs->roundtrip()) {
            *why = "the Wayland display closed the connection";
            return std::nullopt;
        }
        DesktopLayout layout;
        const WaylandOutput *shown = nullptr;
        for (const WaylandOutput *o : outputs->outputs()) {
            layout.monitors.push_back(o->area());
            if (o->pictureSize() == asked && (!shown || o->global > shown->global))
                shown = o;
        }
        if (!shown) {
            *why = "the compositor shows no monitor of the screen's size";
            return std::nullopt;
        }
        layout.shown = shown->area();
        layout.picture = shown->pictureSize();
        return layout;
    };
}

} // namespace

std::unique_ptr<TouchInjector> waylandTouch(const ScreenCast &cast, ScreenCastPortal &portal, QSize asked,
                                            std::string *why)
{
    // GNOME and KDE: the remote-desktop session the cast belongs to.
    if ((cast.touchscreen || cast.pointer) && !portal.remoteSession().isEmpty()) {
        if (cast.touchscreen)
            return std::make_unique<PortalTouch>(portal.bus(), portal.remoteSession(), cast.node,
                                                 PortalDevice::Touchscreen);
        if (!cast.area.isEmpty() || !cast.virtualMonitor)
            return std::make_unique<PortalTouch>(portal.bus(), portal.remoteSession(), cast.node,
                                                 PortalDevice::Pointer);
        // A virtual monitor's stream takes no point on GNOME 43.
        std::shared_ptr<WaylandOutputs> outputs = WaylandOutputs::open(why);
        if (!outputs)
            return nullptr;
        return std::make_unique<PortalTouch>(portal.bus(), portal.remoteSession(), cast.node,
                                             PortalDevice::RelativePointer, virtualMonitorLayout(outputs, asked));
    }
    // wlroots: a virtual pointer on the output the portal casts.
    std::string pointer;
    std::unique_ptr<TouchInjector> injector = WlrPointer::open(cast.area, &pointer);
    if (!injector)
        *why = cast.noTouches.isEmpty() ? pointer : cast.noTouches.toStdString();
    return injector;
}

} // namespace telvdrv
