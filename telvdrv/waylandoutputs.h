#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct wl_display;
struct wl_output;
struct wl_registry;

// The compositor's outputs as a Wayland client sees them: where each lies
// in the logical layout (xdg-output), and the size of its pictures.
namespace telvdrv {

// A Wayland object, let go with its destroy request.
template <typename T, void (*Free)(T *)> struct WaylandFreer {
    void operator()(T *p) const { Free(p); }
};
template <typename T, void (*Free)(T *)> using WaylandOwned = std::unique_ptr<T, WaylandFreer<T, Free>>;

struct WaylandOutput {
    wl_output *output = nullptr;
    uint32_t global = 0; // the compositor's name for it: a later output has a higher one
    QPoint position;
    QSize size; // logical
    QSize mode;
    bool turned = false; // a quarter turn: the pictures' sides swap

    QRect area() const { return {position, size}; }
    QSize pictureSize() const { return turned ? mode.transposed() : mode; }
};

class WaylandOutputs {
public:
    // Called for every global other than outputs and the layout, so that a
    // user can bind what else it needs on the same connection.
    using OtherGlobal = std::function<void(wl_registry *, uint32_t name, const char *interface, uint32_t version)>;

    // Null with `why` without a display or without xdg-output.
    // `display` null: WAYLAND_DISPLAY's.
    static std::unique_ptr<WaylandOutputs> open(std::string *why, const char *display = nullptr,
                                                OtherGlobal other = {});
    ~WaylandOutputs();
    WaylandOutputs(const WaylandOutputs &) = delete;
    WaylandOutputs &operator=(const WaylandOutputs &) = delete;

    // Takes in what the compositor told since (outputs added, removed or
    // set again) without waiting; false once the connection is broken.
    bool update();
    // Waits for the compositor to answer everything asked so far.
    bool roundtrip();
    // Only those whose place and pictures are known.
    std::vector<const WaylandOutput *> outputs() const;
    wl_display *display() const;

    struct State;

private:
    explicit WaylandOutputs(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace telvdrv
