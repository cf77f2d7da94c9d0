// Touch reports from the screen's interrupt endpoint and their mapping
// into the preview, for every panel the model table can make of a
// screen's codes and any firmware minor its identification gives.
//
// Input: a 14-byte report, then the size code, the variant code and the
// firmware minor (little-endian words).
#include "fuzzcheck.h"
#include "modeltable.h"
#include "touchinput.h"

#include <algorithm>
#include <climits>
#include <cstring>

using fuzzcheck::require;

namespace {

void checkMapping(const touchinput::TouchPanel &panel, const touchinput::RawTouch &touch)
{
    int x = INT_MIN;
    int y = INT_MIN;
    touchinput::mapTouch(panel, touch.x, touch.y, &x, &y);
    // Some row always matches; no clamping, but never further off than the
    // panel's size from the raw range.
    require(x != INT_MIN && y != INT_MIN);
    const int reach = 4095 + std::max(panel.panelWidth, panel.panelHeight);
    require(x >= -reach && x <= reach && y >= -reach && y <= reach);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::array<std::uint8_t, 14> report{};
    std::memcpy(report.data(), data, std::min(size, report.size()));
    const touchinput::RawTouch touch = touchinput::decodeReport(report);
    require(touch.x >= 0 && touch.x <= 4095 && touch.y >= 0 && touch.y <= 4095);
    require(touch.t == ((report[3] >> 6) == 1 ? 1 : 0));

    fuzzcheck::Reader in(data + std::min(size, report.size()), size - std::min(size, report.size()));
    const std::uint32_t sizeCode = in.next();
    const std::int32_t variantCode = std::int32_t(in.next());
    const int minor = int(in.next());

    // Before any screen is identified the preview uses the defaults.
    checkMapping(touchinput::TouchPanel{}, touch);

    screenlink::ScreenGeometry g;
    screenlink::applyModelTable(g, sizeCode, variantCode, QString());
    checkMapping(touchinput::TouchPanel{g.panelWidth, g.panelHeight, g.rotationCode, g.telvFamily, g.sizeCode, minor},
                 touch);
    return 0;
}
