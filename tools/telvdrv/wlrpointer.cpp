#include "wlrpointer.h"

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <linux/input-event-codes.h>
#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

namespace telvdrv {

namespace {

template <typename T, void (*Free)(T *)>
struct Freer {
    void operator()(T *p) const { Free(p); }
};
template <typename T, void (*Free)(T *)>
using Owned = std::unique_ptr<T, Freer<T, Free>>;

// What the compositor says about one output: where it lies in the logical
// layout (xdg-output) and its current mode, the size of its pictures.
struct Output {
    Owned<wl_output, wl_output_destroy> output;
    Owned<zxdg_output_v1, zxdg_output_v1_destroy> logical;
    QPoint position;
    QSize size;
    QSize mode;
    bool turned = false; // a quarter turn: the pictures' sides swap

    QSize pictureSize() const { return turned ? mode.transposed() : mode; }
};

void onGeometry(void *data, wl_output *, int32_t, int32_t, int32_t, int32_t, int32_t, const char *, const char *,
                int32_t transform)
{
    static_cast<Output *>(data)->turned = transform % 2 == 1;
}
void onMode(void *data, wl_output *, uint32_t flags, int32_t width, int32_t height, int32_t)
{
    if (flags & WL_OUTPUT_MODE_CURRENT)
        static_cast<Output *>(data)->mode = QSize(width, height);
}
void onOutputDone(void *, wl_output *) {}
void onScale(void *, wl_output *, int32_t) {}
void onOutputName(void *, wl_output *, const char *) {}
const wl_output_listener kOutputListener{onGeometry, onMode, onOutputDone, onScale, onOutputName, onOutputName};

void onLogicalPosition(void *data, zxdg_output_v1 *, int32_t x, int32_t y)
{
    static_cast<Output *>(data)->position = QPoint(x, y);
}
void onLogicalSize(void *data, zxdg_output_v1 *, int32_t width, int32_t height)
{
    static_cast<Output *>(data)->size = QSize(width, height);
}
void onLogicalDone(void *, zxdg_output_v1 *) {}
void onName(void *, zxdg_output_v1 *, const char *) {}
void onDescription(void *, zxdg_output_v1 *, const char *) {}
const zxdg_output_v1_listener kLogicalListener{onLogicalPosition, onLogicalSize, onLogicalDone, onName,
                                               onDescription};

uint32_t milliseconds()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint32_t(int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000);
}

} // namespace

struct WlrPointer::State {
    // Declared first: closed last, after every object on it.
    Owned<wl_display, wl_display_disconnect> display;
    Owned<wl_registry, wl_registry_destroy> registry;
    Owned<zwlr_virtual_pointer_manager_v1, zwlr_virtual_pointer_manager_v1_destroy> manager;
    uint32_t managerVersion = 0; // as offered; 0: not offered
    Owned<zxdg_output_manager_v1, zxdg_output_manager_v1_destroy> layout;
    std::vector<std::unique_ptr<Output>> outputs;
    const Output *shown = nullptr;
    Owned<zwlr_virtual_pointer_v1, zwlr_virtual_pointer_v1_destroy> pointer;
    bool broken = false;

    ~State()
    {
        // The pointer device goes away with the connection; the destroy
        // requests are sent first so that the compositor sees them in order.
        pointer.reset();
        if (display)
            wl_display_flush(display.get());
    }

    // The compositor keeps telling about outputs (a mode set again, say);
    // read here, so that it never piles up and the picture size stays
    // current.
    void readEvents() const
    {
        wl_display *d = display.get();
        while (wl_display_prepare_read(d) != 0) {
            if (wl_display_dispatch_pending(d) < 0)
                return;
        }
        pollfd p{wl_display_get_fd(d), POLLIN, 0};
        if (poll(&p, 1, 0) > 0)
            wl_display_read_events(d);
        else
            wl_display_cancel_read(d);
        wl_display_dispatch_pending(d);
    }
};

namespace {

void onGlobal(void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
{
    auto &s = *static_cast<WlrPointer::State *>(data);
    if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0 && !s.manager) {
        // Version 2 ties absolute motion to one output, and brought the
        // destroy request the manager is let go with: an older one is only
        // noted.
        s.managerVersion = version;
        if (version >= 2)
            s.manager.reset(static_cast<zwlr_virtual_pointer_manager_v1 *>(
                wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 2)));
    } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 && !s.layout) {
        s.layout.reset(static_cast<zxdg_output_manager_v1 *>(
            wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min(version, 2u))));
    } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
        auto output = std::make_unique<Output>();
        output->output.reset(
            static_cast<wl_output *>(wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 2u))));
        wl_output_add_listener(output->output.get(), &kOutputListener, output.get());
        s.outputs.push_back(std::move(output));
    }
}
void onGlobalRemove(void *, wl_registry *, uint32_t) {}
const wl_registry_listener kRegistryListener{onGlobal, onGlobalRemove};

} // namespace

std::unique_ptr<WlrPointer> WlrPointer::open(const QRect &shown, std::string *why, const char *display)
{
    auto state = std::make_unique<State>();
    State &s = *state;
    s.display.reset(wl_display_connect(display));
    if (!s.display) {
        *why = "cannot connect to the Wayland display";
        return nullptr;
    }
    s.registry.reset(wl_display_get_registry(s.display.get()));
    wl_registry_add_listener(s.registry.get(), &kRegistryListener, &s);
    if (wl_display_roundtrip(s.display.get()) < 0) {
        *why = "the Wayland display closed the connection";
        return nullptr;
    }
    if (s.managerVersion == 0) {
        *why = "the compositor offers no virtual pointer";
        return nullptr;
    }
    if (!s.manager || !s.layout) {
        *why = "the compositor's virtual pointer cannot be tied to an output";
        return nullptr;
    }
    for (const std::unique_ptr<Output> &o : s.outputs) {
        o->logical.reset(zxdg_output_manager_v1_get_xdg_output(s.layout.get(), o->output.get()));
        zxdg_output_v1_add_listener(o->logical.get(), &kLogicalListener, o.get());
    }
    if (wl_display_roundtrip(s.display.get()) < 0) {
        *why = "the Wayland display closed the connection";
        return nullptr;
    }
    // xdg-desktop-portal-wlr (0.7) tells every stream at (0, 0): where the
    // place names no output, the one output of the cast's size is it.
    const auto find = [&s](const std::function<bool(const Output &)> &fits) {
        const Output *found = nullptr;
        for (const std::unique_ptr<Output> &o : s.outputs) {
            if (!o->pictureSize().isEmpty() && fits(*o)) {
                if (found)
                    return static_cast<const Output *>(nullptr);
                found = o.get();
            }
        }
        return found;
    };
    s.shown = find([&shown](const Output &o) { return QRect(o.position, o.size) == shown; });
    if (!s.shown && !shown.isEmpty())
        s.shown = find([&shown](const Output &o) { return o.size == shown.size() || o.pictureSize() == shown.size(); });
    if (!s.shown) {
        *why = "cannot tell which of the compositor's outputs is cast";
        return nullptr;
    }
    s.pointer.reset(
        zwlr_virtual_pointer_manager_v1_create_virtual_pointer_with_output(s.manager.get(), nullptr, s.shown->output.get()));
    if (wl_display_roundtrip(s.display.get()) < 0) {
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
    s.readEvents();
    // The output's pictures are what (x, y) counts in; the compositor maps
    // 0..extent onto the output.
    const QSize extent = s.shown->pictureSize();
    if (extent.isEmpty())
        return;
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
    if (wl_display_flush(s.display.get()) < 0 && wl_display_get_error(s.display.get()) != 0) {
        s.broken = true;
        std::fprintf(stderr, "telvdrv: the compositor closed the connection; touches are no longer passed on\n");
    }
}

} // namespace telvdrv
