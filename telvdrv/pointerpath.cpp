#include "pointerpath.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <queue>

namespace telvdrv {

namespace {

// More and the search is not worth it: a desktop has a handful.
constexpr size_t kMostMonitors = 16;
constexpr int kMostSteps = 6;

int monitorAt(const std::vector<QRect> &monitors, QPoint p)
{
    for (size_t i = 0; i < monitors.size(); ++i) {
        if (monitors[i].contains(p))
            return int(i);
    }
    return -1;
}

// The monitor a pointer in the corner of monitor `from` is on after `by`.
int after(const std::vector<QRect> &monitors, int from, QPoint by)
{
    const int to = monitorAt(monitors, monitors[size_t(from)].bottomRight() + by);
    return to < 0 ? from : to;
}

} // namespace

std::optional<std::vector<QPoint>> pointerPath(const std::vector<QRect> &given, QPoint target)
{
    // A mirrored pair is one place.
    std::vector<QRect> monitors;
    for (const QRect &r : given) {
        if (!r.isEmpty() && std::find(monitors.begin(), monitors.end(), r) == monitors.end())
            monitors.push_back(r);
    }
    const int goal = monitorAt(monitors, target);
    if (goal < 0 || monitors.size() > kMostMonitors)
        return std::nullopt;
    QRect all;
    for (const QRect &r : monitors)
        all |= r;
    // Past every monitor from anywhere on one.
    const QPoint toCorner(all.width() + 1, all.height() + 1);

    // Breadth first over the monitors the pointer may be on after a move
    // to a corner; each step is one move from a corner, then a corner.
    using Mask = uint32_t;
    const Mask start = Mask((uint64_t(1) << monitors.size()) - 1);
    const Mask done = Mask(1) << goal;
    std::map<Mask, std::pair<Mask, QPoint>> cameFrom{{start, {0, {}}}};
    std::queue<std::pair<Mask, int>> open;
    open.push({start, 0});
    while (!open.empty() && !cameFrom.contains(done)) {
        const auto [mask, steps] = open.front();
        open.pop();
        if (steps == kMostSteps)
            continue;
        // Moves that take some possible corner onto a corner or the middle
        // of another monitor.
        for (size_t a = 0; a < monitors.size() && !cameFrom.contains(done); ++a) {
            if (!(mask & (Mask(1) << a)))
                continue;
            for (const QRect &b : monitors) {
                for (const QPoint p : {b.topLeft(), b.topRight(), b.bottomLeft(), b.bottomRight(), b.center()}) {
                    const QPoint by = p - monitors[a].bottomRight();
                    Mask next = 0;
                    for (size_t m = 0; m < monitors.size(); ++m) {
                        if (mask & (Mask(1) << m))
                            next |= Mask(1) << after(monitors, int(m), by);
                    }
                    if (cameFrom.emplace(next, std::pair{mask, by}).second)
                        open.push({next, steps + 1});
                }
            }
        }
    }
    if (!cameFrom.contains(done))
        return std::nullopt;
    std::vector<QPoint> moves{target - monitors[size_t(goal)].bottomRight(), toCorner};
    for (Mask m = done; m != start; m = cameFrom[m].first)
        moves.insert(moves.end(), {cameFrom[m].second, toCorner});
    std::reverse(moves.begin(), moves.end());
    return moves;
}

} // namespace telvdrv
