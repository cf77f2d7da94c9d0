#include "touchinput.h"

namespace session {

namespace {

int coordinate(screenlink::TouchAxis axis, int x, int y, int w, int h)
{
    using screenlink::TouchAxis;
    switch (axis) {
    case TouchAxis::X: return x;
    case TouchAxis::Y: return y;
    case TouchAxis::WMinusX: return w - x;
    case TouchAxis::HMinusY: return h - y;
    case TouchAxis::HMinusX: return h - x;
    case TouchAxis::WMinusY: return w - y;
    }
    return x;
}

} // namespace

RawTouch decodeReport(const std::array<uint8_t, 14> &r)
{
    RawTouch t;
    t.x = (r[3] & 0x0F) << 8 | r[4];
    t.y = (r[5] & 0x0F) << 8 | r[6];
    t.t = (r[3] >> 6) == 1 ? 1 : 0;
    return t;
}

QPoint mapTouch(const screenlink::ScreenGeometry &g, int firmwareMinor, int rawX, int rawY)
{
    const screenlink::TouchMap map = g.touchMap(firmwareMinor);
    return {coordinate(map.x, rawX, rawY, g.panelWidth, g.panelHeight),
            coordinate(map.y, rawX, rawY, g.panelWidth, g.panelHeight)};
}

} // namespace session
