#pragma once

#include "modeltable.h"

#include <QImage>

#include <cstdint>
#include <vector>

// Pictures into the bytes a panel scans: no USB here, so every rule can be
// checked without a screen.
namespace frameoutput {

// The older 5-inch panels skip this many bytes at the start of a frame.
int frameLead(const screenlink::ScreenGeometry &g);

// The picture centred on a white canvas of the panel's picture size,
// transparent parts showing white, converted to RGB 5-6-5. This is what the
// preview shows.
QImage renderPicture(const QImage &picture, QSize pictureSize);

struct Frame {
    std::vector<uint8_t> buffer; // lead, then the pixel rows in scan order
    uint32_t count = 0;          // bytes announced and sent from the buffer's start
    bool sendTwice = false;      // panels with a lead take the frame twice
};

// `image` (RGB16, the picture size) turned or mirrored into the panel's
// scan order: a quarter turn (90 degrees, 270 for the long 7.8-inch panel)
// for portrait panels, a top-to-bottom mirror for the 6.8- and 10-inch
// panels, a half turn for every other.
Frame buildFrame(const QImage &image, const screenlink::ScreenGeometry &g);

} // namespace frameoutput
