// Touch reports from the screen's interrupt endpoint and their mapping
// into the picture, for every panel the model table can make of a
// screen's codes and any firmware minor its identification gives.
//
// Input: a 14-byte report, then the size code, the variant code and the
// firmware minor (little-endian words).
#include "fuzzcheck.h"
#include "modeltable.h"
#include "touchinput.h"

#include <algorithm>
#include <cstring>

using fuzzcheck::require;

namespace {

using screenlink::TouchAxis;

int axis(TouchAxis a, const session::RawTouch &t, const screenlink::ScreenGeometry &g)
{
    switch (a) {
    case TouchAxis::X: return t.x;
    case TouchAxis::Y: return t.y;
    case TouchAxis::WMinusX: return g.panelWidth - t.x;
    case TouchAxis::HMinusY: return g.panelHeight - t.y;
    case TouchAxis::HMinusX: return g.panelHeight - t.x;
    case TouchAxis::WMinusY: return g.panelWidth - t.y;
    }
    __builtin_trap();
}

void checkMapping(const screenlink::ScreenGeometry &g, int minor, const session::RawTouch &touch)
{
    const QPoint at = session::mapTouch(g, minor, touch.x, touch.y);
    // The map of the panel's row, the newer one above minor 16; a screen no
    // row knows is mounted by the shape it was given last.
    const screenlink::TouchMap map = g.touchMap(minor);
    if (g.model) {
        const screenlink::TouchMap &row = minor > 16 ? g.model->touchNewerFirmware : g.model->touch;
        require(map.x == row.x && map.y == row.y);
    } else {
        require(map.x == (g.rotationCode == 1 ? TouchAxis::HMinusX : TouchAxis::Y));
    }
    require(at.x() == axis(map.x, touch, g) && at.y() == axis(map.y, touch, g));
    // No clamping, but never further off than the panel's size from the
    // raw range.
    const int reach = 4095 + std::max(g.panelWidth, g.panelHeight);
    require(at.x() >= -reach && at.x() <= reach && at.y() >= -reach && at.y() <= reach);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::array<std::uint8_t, 14> report{};
    std::memcpy(report.data(), data, std::min(size, report.size()));
    const session::RawTouch touch = session::decodeReport(report);
    require(touch.x >= 0 && touch.x <= 4095 && touch.y >= 0 && touch.y <= 4095);
    require(touch.t == ((report[3] >> 6) == 1 ? 1 : 0));

    fuzzcheck::Reader in(data + std::min(size, report.size()), size - std::min(size, report.size()));
    const std::uint32_t sizeCode = in.next();
    const std::int32_t variantCode = std::int32_t(in.next());
    const int minor = int(in.next());

    // Before any screen is identified the session uses the defaults.
    checkMapping(screenlink::ScreenGeometry{}, minor, touch);

    screenlink::ScreenGeometry g;
    screenlink::applyModelTable(g, sizeCode, variantCode, QString());
    checkMapping(g, minor, touch);

    // The same codes after a landscape panel: one no row knows keeps its shape.
    screenlink::ScreenGeometry after;
    screenlink::applyModelTable(after, 7, 6, QString());
    screenlink::applyModelTable(after, sizeCode, variantCode, QString());
    checkMapping(after, minor, touch);
    return 0;
}
