#pragma once

#include "modeltable.h"

#include <QPoint>

#include <array>
#include <cstdint>

// Touch reports into picture positions.
namespace session {

struct RawTouch {
    int x = 0; // 0 to 4095
    int y = 0;
    int t = 0; // 1 when the report's event flag reads 01
};

// Bytes 3 to 6 of a 14-byte report carry the flag and a 12-bit x and y;
// every other bit is ignored.
RawTouch decodeReport(const std::array<uint8_t, 14> &report);

// Where a raw touch lands in the picture of the identified panel, as its
// touch controller is mounted (see the model table). No clamping.
QPoint mapTouch(const screenlink::ScreenGeometry &geometry, int firmwareMinor, int rawX, int rawY);

} // namespace session
