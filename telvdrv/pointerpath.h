#pragma once

#include <QPoint>
#include <QRect>

#include <optional>
#include <vector>

// Bringing a desktop's pointer to a point with relative moves alone, not
// knowing where it is: what GNOME 43's portal leaves for a virtual monitor,
// whose stream takes no absolute point.
//
// The compositor keeps the pointer on its monitors: a move that ends on one
// goes there, whatever lies between; one that ends off them all stops at
// the edge of the monitor it started on. A move far past the bottom right
// thus leaves the pointer in that monitor's corner, a place known for each
// monitor it may have been on. Moves are chosen so that whichever it was,
// the pointer ends on the target's monitor; from that one's corner the last
// move is exact. Bottom right, because a pointer pushed into GNOME Shell's
// top-left hot corner opens the overview.
namespace telvdrv {

// The moves, the first from anywhere, that end at `target`; none when
// `target` is on no monitor or no short way was found. `monitors` are in
// the compositor's logical layout.
std::optional<std::vector<QPoint>> pointerPath(const std::vector<QRect> &monitors, QPoint target);

} // namespace telvdrv
