#pragma once

#include <array>
#include <cstdint>

// Touch reports into preview positions. No widgets here.
namespace touchinput {

struct RawTouch {
    int x = 0; // 0 to 4095
    int y = 0;
    int t = 0; // 1 when the report's event flag reads 01
};

// Bytes 3 to 6 of a 14-byte report carry the flag and a 12-bit x and y;
// every other bit is ignored.
RawTouch decodeReport(const std::array<uint8_t, 14> &report);

// What the mapping reads of the identified panel.
struct TouchPanel {
    int panelWidth = 800;
    int panelHeight = 480;
    int rotationCode = 0;
    bool telvFamily = false;
    uint32_t sizeCode = 0;
    int firmwareMinor = 0;
};

// Where a raw touch lands in the preview: the first row of the panel
// mapping table that matches. No clamping.
void mapTouch(const TouchPanel &panel, int rawX, int rawY, int *x, int *y);

} // namespace touchinput
