#include "touchforwarder.h"

#include "letterbox.h"
#include "touchchannel.h"

namespace telvdrv {

namespace {

// How often the thread looks whether it is to end.
constexpr int kStopCheckMs = 100;

} // namespace

std::optional<SourcePoint> pictureToSource(int x, int y, int pictureWidth, int pictureHeight, int sourceWidth,
                                           int sourceHeight)
{
    const Placement p = letterbox(sourceWidth, sourceHeight, pictureWidth, pictureHeight);
    if (p.width <= 0 || p.height <= 0 || x < p.x || y < p.y || x >= p.x + p.width || y >= p.y + p.height)
        return std::nullopt;
    // The centre of the picture pixel, scaled: never past the source's edge.
    return SourcePoint{int((int64_t(x - p.x) * 2 + 1) * sourceWidth / (int64_t(p.width) * 2)),
                       int((int64_t(y - p.y) * 2 + 1) * sourceHeight / (int64_t(p.height) * 2))};
}

std::optional<TouchTracker::Step> TouchTracker::next(const monitor::Touch &touch, int pictureWidth,
                                                     int pictureHeight, int sourceWidth, int sourceHeight)
{
    const std::optional<SourcePoint> at =
        pictureToSource(touch.x, touch.y, pictureWidth, pictureHeight, sourceWidth, sourceHeight);
    if (touch.lifted) {
        if (!m_down)
            return std::nullopt;
        m_down = false;
        if (at)
            m_last = *at;
        return Step{TouchPhase::Up, m_last.x, m_last.y};
    }
    if (!at)
        return std::nullopt; // off what is shown: neither pressed there nor moved
    m_last = *at;
    const TouchPhase phase = m_down ? TouchPhase::Move : TouchPhase::Down;
    m_down = true;
    return Step{phase, at->x, at->y};
}

TouchForwarder::TouchForwarder(std::unique_ptr<monitor::TouchReceiver> channel,
                               std::unique_ptr<TouchInjector> injector, int pictureWidth, int pictureHeight,
                               const std::atomic<uint64_t> &sourceSize)
    : m_channel(std::move(channel)), m_injector(std::move(injector)), m_pictureWidth(pictureWidth),
      m_pictureHeight(pictureHeight), m_sourceSize(sourceSize), m_thread([this] { run(); })
{
}

TouchForwarder::~TouchForwarder()
{
    m_stop = true;
    m_thread.join();
}

void TouchForwarder::run()
{
    TouchTracker tracker;
    bool pressed = false;
    int lastX = 0;
    int lastY = 0;
    while (!m_stop) {
        const std::optional<monitor::Touch> touch = m_channel->receive(kStopCheckMs);
        if (!touch)
            continue;
        const uint64_t size = m_sourceSize.load();
        const auto step = tracker.next(*touch, m_pictureWidth, m_pictureHeight, int(size >> 32),
                                       int(size & 0xFFFFFFFFu));
        if (!step)
            continue;
        m_injector->inject(step->phase, step->x, step->y);
        pressed = step->phase != TouchPhase::Up;
        lastX = step->x;
        lastY = step->y;
    }
    // A finger still down when monitor mode ends would keep the button held.
    if (pressed)
        m_injector->inject(TouchPhase::Up, lastX, lastY);
}

} // namespace telvdrv
