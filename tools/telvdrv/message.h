#pragma once

#include <QString>

#include <cstdint>

// A short text drawn large and centred, white on dark grey, into a picture
// of 4-byte pixels: what the driver shows on the screen itself when it
// cannot share the desktop, since nothing else would tell the user.
namespace telvdrv {

void drawMessage(const QString &text, uint8_t *pixels, int width, int height, int stride);

} // namespace telvdrv
