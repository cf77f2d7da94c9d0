#pragma once

#include "touchinjector.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace monitor {
class TouchReceiver;
struct Touch;
} // namespace monitor

// Takes the touches the program holding the screen sends, on a thread of
// its own so that a still desktop or a slow grab never holds one back.
namespace telvdrv {

// Where a point of the published picture (pictureWidth x pictureHeight)
// lies in the source it was made from, through the same letterbox the
// picture was; null in the black bars or for an empty source.
struct SourcePoint {
    int x = 0;
    int y = 0;
};
std::optional<SourcePoint> pictureToSource(int x, int y, int pictureWidth, int pictureHeight, int sourceWidth,
                                           int sourceHeight);

// The press state of the one finger the panels report: the first contact
// presses, later ones move, the lift releases (at the last place seen when
// it is lifted outside what is shown, so nothing stays pressed).
class TouchTracker {
public:
    struct Step {
        TouchPhase phase;
        int x;
        int y;
    };
    std::optional<Step> next(const monitor::Touch &touch, int pictureWidth, int pictureHeight, int sourceWidth,
                             int sourceHeight);

private:
    bool m_down = false;
    SourcePoint m_last;
};

class TouchForwarder {
public:
    // `sourceSize` tells the size the last picture was made from (packed
    // as width << 32 | height); the injector is used on the thread only.
    TouchForwarder(std::unique_ptr<monitor::TouchReceiver> channel, std::unique_ptr<TouchInjector> injector,
                   int pictureWidth, int pictureHeight, const std::atomic<uint64_t> &sourceSize);
    ~TouchForwarder();
    TouchForwarder(const TouchForwarder &) = delete;
    TouchForwarder &operator=(const TouchForwarder &) = delete;

    static uint64_t packSize(int width, int height) { return uint64_t(uint32_t(width)) << 32 | uint32_t(height); }

private:
    void run();

    std::unique_ptr<monitor::TouchReceiver> m_channel;
    std::unique_ptr<TouchInjector> m_injector;
    const int m_pictureWidth;
    const int m_pictureHeight;
    const std::atomic<uint64_t> &m_sourceSize;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace telvdrv
