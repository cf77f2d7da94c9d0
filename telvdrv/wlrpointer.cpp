#include "wlrpointer.h"

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <linux/input-event-codes.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

namespace telvdrv {

namespace {

uint32_t milliseconds()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint32_t(int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000);
}

} // namespace

struct WlrPointer::State {
    // Declared first: closed last, after every object on its connection.
    std::unique_ptr<WaylandOutputs> outputs;
    WaylandOwned<zwlr_virtual_pointer_manager_v1, zwlr_virtual_pointer_manager_v1_destroy> manager;
    uint32_t managerVersion = 0; // as offered; 0: not offered
    uint32_t shown = 0;          // the cast output's global
    WaylandOwned<zwlr_virtual_pointer_v1, zwlr_virtual_pointer_v1_destroy> pointer;
    bool broken = false;

    ~State()
    {
        // The pointer device goes away with the connection; the destroy
        // requests are sent first so that the compositor sees them in order.
        pointer.reset();
        manager.reset();
    }

    void bind(wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
    {
        if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) != 0 || manager)
            return;
        // Version 2 ties absolute motion to one output, and brought the
        // destroy request the manager is let go with: an older one is only
        // noted.
        managerVersion = version;
        if (version >= 2)
            manager.reset(static_cast<zwlr_virtual_pointer_manager_v1 *>(
                wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 2)));
    }

    const WaylandOutput *shownOutput() const
    {
        for (const WaylandOutput *o : outputs->outputs()) {
            if (o->global == shown)
                return o;
        }
        return nullptr;
    }
};

std::unique_ptr<WlrPointer> WlrPointer::open(const QRect &shown, std::string *why, const char *display)
{
    auto state = std::make_unique<State>();
    State &s = *state;
    s.outputs = WaylandOutputs::open(why, display,
                                     [&s](wl_registry *registry, uint32_t name, const char *interface,
                                          uint32_t version) { s.bind(registry, name, interface, version); });
    if (!s.outputs)
        return nullptr;
    if (s.managerVersion == 0) {
        *why = "the compositor offers no virtual pointer";
        return nullptr;
    }
    if (!s.manager) {
        *why = "the compositor's virtual pointer cannot be tied to an output";
        return nullptr;
    }
    // xdg-desktop-portal-wlr (0.7) tells every stream at (0, 0): where the
    // place names no output, the one output of the cast's size is it.
    const std::vector<const WaylandOutput *> outputs = s.outputs->outputs();
    const auto find = [&outputs](const std::function<bool(const WaylandOutput &)> &fits) {
        const WaylandOutput *found = nullptr;
        for (const WaylandOutput *o : outputs) {
            if (fits(*o)) {
                if (found)
                    return static_cast<const WaylandOutput *>(nullptr);
                found = o;
            }
        }
        return found;
    };
    const WaylandOutput *cast = find([&shown](const WaylandOutput &o) { return o.area() == shown; });
    if (!cast && !shown.isEmpty())
        cast = find([&shown](const WaylandOutput &o) {
            return o.size == shown.size() || o.pictureSize() == shown.size();
        });
    if (!cast) {
        *why = "cannot tell which of the compositor's outputs is cast";
        return nullptr;
    }
    s.shown = cast->global;
    s.pointer.reset(
        zwlr_virtual_pointer_manager_v1_create_virtual_pointer_with_output(s.manager.get(), nullptr, cast->output));
    if (!s.outputs->roundtrip()) {
        *why = "the compositor refused a virtual pointer";
        return nullptr;
    }
    return std::unique_ptr<WlrPointer>(new WlrPointer(std::move(state)));
}

WlrPointer::WlrPointer(std::unique_ptr<State> state) : m_state(std::move(state)) {}

WlrPointer::~WlrPointer() = default;

void WlrPointer::inject(TouchPhase phase, int x, int y)
{
    State &s = *m_state;
    if (s.broken)
        return;
    s.outputs->update();
    // The output's pictures are what (x, y) counts in; the compositor maps
    // 0..extent onto the output.
    const WaylandOutput *shown = s.shownOutput();
    if (!shown)
        return;
    const QSize extent = shown->pictureSize();
    zwlr_virtual_pointer_v1 *p = s.pointer.get();
    const uint32_t time = milliseconds();
    zwlr_virtual_pointer_v1_motion_absolute(p, time, uint32_t(std::clamp(x, 0, extent.width() - 1)),
                                            uint32_t(std::clamp(y, 0, extent.height() - 1)),
                                            uint32_t(extent.width()), uint32_t(extent.height()));
    if (phase != TouchPhase::Move)
        zwlr_virtual_pointer_v1_button(p, time, BTN_LEFT,
                                       phase == TouchPhase::Down ? WL_POINTER_BUTTON_STATE_PRESSED
                                                                 : WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(p);
    if (wl_display_flush(s.outputs->display()) < 0 && wl_display_get_error(s.outputs->display()) != 0) {
        s.broken = true;
        std::fprintf(stderr, "telvdrv: the compositor closed the connection; touches are no longer passed on\n");
    }
}

} // namespace telvdrv
