#include "touchinput.h"

namespace touchinput {

namespace {

enum class Axis { X, Y, WMinusX, HMinusY, HMinusX, WMinusY };

// -1 and Any match everything.
constexpr int Any = -1;

struct MapRow {
    int rotation;   // Any, or the rotation code required
    int telv;       // Any, 0 (not TELV)
    int64_t size;   // Any, or the size code
    int newerFirmware; // Any, 1 (minor above 16), 0 (16 or less)
    Axis storedX;
    Axis storedY;
};

// How each panel's touch controller is mounted against its picture.
constexpr MapRow kRows[] = {
    {1, 0, 7, Any, Axis::WMinusX, Axis::HMinusY},
    {1, 0, Any, Any, Axis::HMinusX, Axis::WMinusY},
    {Any, Any, 0x403, Any, Axis::HMinusX, Axis::WMinusY},
    {Any, Any, 7, 1, Axis::WMinusX, Axis::Y},
    {Any, Any, 7, 0, Axis::WMinusX, Axis::HMinusY},
    {Any, Any, 10, Any, Axis::X, Axis::Y},
    {Any, Any, 8, Any, Axis::WMinusX, Axis::HMinusY},
    {Any, Any, 0x807, Any, Axis::HMinusY, Axis::X},
    {Any, Any, Any, Any, Axis::Y, Axis::WMinusX},
};

int value(Axis a, int x, int y, int w, int h)
{
    switch (a) {
    case Axis::X: return x;
    case Axis::Y: return y;
    case Axis::WMinusX: return w - x;
    case Axis::HMinusY: return h - y;
    case Axis::HMinusX: return h - x;
    case Axis::WMinusY: return w - y;
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

void mapTouch(const TouchPanel &p, int rawX, int rawY, int *x, int *y)
{
    const int newer = p.firmwareMinor > 16 ? 1 : 0;
    for (const MapRow &row : kRows) {
        if ((row.rotation == Any || row.rotation == p.rotationCode) && (row.telv == Any || row.telv == int(p.telvFamily))
            && (row.size == Any || row.size == int64_t(p.sizeCode))
            && (row.newerFirmware == Any || row.newerFirmware == newer)) {
            *x = value(row.storedX, rawX, rawY, p.panelWidth, p.panelHeight);
            *y = value(row.storedY, rawX, rawY, p.panelWidth, p.panelHeight);
            return;
        }
    }
}

} // namespace touchinput
