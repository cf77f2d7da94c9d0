#pragma once

#include <QString>

#include <cstdint>
#include <memory>

class QGuiApplication;

// A short text drawn large and centred, white on dark grey, into a picture
// of 4-byte pixels: what the driver shows on the screen itself when it
// cannot share the desktop, since nothing else would tell the user.
namespace telvdrv {

// Qt's application object on the offscreen platform, for fonts and the
// session bus: the driver may run where there is no display for it. Null
// when one exists already; the caller keeps the one made.
std::unique_ptr<QGuiApplication> ensureApplication();

void drawMessage(const QString &text, uint8_t *pixels, int width, int height, int stride);

} // namespace telvdrv
