#include "waylandoutputs.h"

#include "xdg-output-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <poll.h>

#include <algorithm>
#include <cstring>

namespace telvdrv {

namespace {

struct Output : WaylandOutput {
    WaylandOwned<wl_output, wl_output_destroy> own;
    WaylandOwned<zxdg_output_v1, zxdg_output_v1_destroy> logical;
    bool placed = false; // xdg-output told where
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
    auto *o = static_cast<Output *>(data);
    o->position = QPoint(x, y);
    o->placed = true;
}
void onLogicalSize(void *data, zxdg_output_v1 *, int32_t width, int32_t height)
{
    static_cast<Output *>(data)->size = QSize(width, height);
}
void onLogicalDone(void *, zxdg_output_v1 *) {}
void onName(void *, zxdg_output_v1 *, const char *) {}
void onDescription(void *, zxdg_output_v1 *, const char *) {}
const zxdg_output_v1_listener kLogicalListener{onLogicalPosition, onLogicalSize, onLogicalDone, onName, onDescription};

} // namespace

struct WaylandOutputs::State {
    // Declared first: closed last, after every object on it.
    WaylandOwned<wl_display, wl_display_disconnect> display;
    WaylandOwned<wl_registry, wl_registry_destroy> registry;
    WaylandOwned<zxdg_output_manager_v1, zxdg_output_manager_v1_destroy> layout;
    std::vector<std::unique_ptr<Output>> outputs;
    OtherGlobal other;
    bool broken = false;

    ~State()
    {
        outputs.clear();
        layout.reset();
        registry.reset();
        if (display)
            wl_display_flush(display.get());
    }

    void place(Output &o)
    {
        if (!layout || o.logical)
            return;
        o.logical.reset(zxdg_output_manager_v1_get_xdg_output(layout.get(), o.own.get()));
        zxdg_output_v1_add_listener(o.logical.get(), &kLogicalListener, &o);
    }
};

namespace {

void onGlobal(void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
{
    auto &s = *static_cast<WaylandOutputs::State *>(data);
    if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 && !s.layout) {
        s.layout.reset(static_cast<zxdg_output_manager_v1 *>(
            wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min(version, 2u))));
        for (const std::unique_ptr<Output> &o : s.outputs)
            s.place(*o);
    } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
        auto output = std::make_unique<Output>();
        output->own.reset(
            static_cast<wl_output *>(wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 2u))));
        output->output = output->own.get();
        output->global = name;
        wl_output_add_listener(output->own.get(), &kOutputListener, output.get());
        s.place(*output);
        s.outputs.push_back(std::move(output));
    } else if (s.other) {
        s.other(registry, name, interface, version);
    }
}

void onGlobalRemove(void *data, wl_registry *, uint32_t name)
{
    auto &s = *static_cast<WaylandOutputs::State *>(data);
    std::erase_if(s.outputs, [name](const std::unique_ptr<Output> &o) { return o->global == name; });
}

const wl_registry_listener kRegistryListener{onGlobal, onGlobalRemove};

} // namespace

std::unique_ptr<WaylandOutputs> WaylandOutputs::open(std::string *why, const char *display, OtherGlobal other)
{
    auto state = std::make_unique<State>();
    State &s = *state;
    s.other = std::move(other);
    s.display.reset(wl_display_connect(display));
    if (!s.display) {
        *why = "cannot connect to the Wayland display";
        return nullptr;
    }
    s.registry.reset(wl_display_get_registry(s.display.get()));
    wl_registry_add_listener(s.registry.get(), &kRegistryListener, &s);
    // The globals, then what the outputs and their places say.
    if (wl_display_roundtrip(s.display.get()) < 0 || wl_display_roundtrip(s.display.get()) < 0) {
        *why = "the Wayland display closed the connection";
        return nullptr;
    }
    if (!s.layout) {
        *why = "the compositor does not tell where its outputs lie (no xdg-output)";
        return nullptr;
    }
    return std::unique_ptr<WaylandOutputs>(new WaylandOutputs(std::move(state)));
}

WaylandOutputs::WaylandOutputs(std::unique_ptr<State> state) : m_state(std::move(state)) {}

WaylandOutputs::~WaylandOutputs() = default;

bool WaylandOutputs::update()
{
    State &s = *m_state;
    wl_display *d = s.display.get();
    if (s.broken)
        return false;
    // The compositor keeps telling about outputs; read here, so that it
    // never piles up and what is known stays current.
    while (wl_display_prepare_read(d) != 0) {
        if (wl_display_dispatch_pending(d) < 0) {
            s.broken = true;
            return false;
        }
    }
    wl_display_flush(d);
    pollfd p{wl_display_get_fd(d), POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
        if (wl_display_read_events(d) < 0)
            s.broken = true;
    } else {
        wl_display_cancel_read(d);
    }
    if (wl_display_dispatch_pending(d) < 0)
        s.broken = true;
    return !s.broken;
}

bool WaylandOutputs::roundtrip()
{
    State &s = *m_state;
    if (!s.broken && wl_display_roundtrip(s.display.get()) < 0)
        s.broken = true;
    return !s.broken;
}

std::vector<const WaylandOutput *> WaylandOutputs::outputs() const
{
    std::vector<const WaylandOutput *> known;
    for (const std::unique_ptr<Output> &o : m_state->outputs) {
        if (o->placed && !o->size.isEmpty() && !o->pictureSize().isEmpty())
            known.push_back(o.get());
    }
    return known;
}

wl_display *WaylandOutputs::display() const
{
    return m_state->display.get();
}

} // namespace telvdrv
