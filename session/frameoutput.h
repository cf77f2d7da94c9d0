#pragma once

#include "modeltable.h"

#include <QImage>

#include <cstdint>
#include <vector>

// Pictures into the bytes a panel scans: no USB here, so every rule can be
// checked without a screen.
namespace session {

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
// scan order, after the panel's lead bytes (zeros).
Frame buildFrame(const QImage &image, const screenlink::ScreenGeometry &geometry);

} // namespace session
