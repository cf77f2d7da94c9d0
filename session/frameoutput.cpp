#include "frameoutput.h"

#include "frameconvert.h"

#include <QPainter>

#include <algorithm>
#include <cstring>
#include <utility>

namespace session {

QImage renderPicture(const QImage &picture, QSize pictureSize)
{
    // An opaque picture of exactly the panel's size covers the whole canvas.
    if (picture.size() == pictureSize && !picture.hasAlphaChannel())
        return picture.convertToFormat(QImage::Format_RGB16);
    // The canvas is opaque white, so an opaque format paints the same and faster.
    QImage canvas(pictureSize, QImage::Format_RGB32);
    canvas.fill(Qt::white);
    {
        QPainter painter(&canvas);
        // Truncating division: an odd difference leaves the extra column on
        // the right and the extra row at the bottom.
        const int x0 = (pictureSize.width() - picture.width()) / 2;
        const int y0 = (pictureSize.height() - picture.height()) / 2;
        painter.drawImage(x0, y0, picture);
    }
    return canvas.convertToFormat(QImage::Format_RGB16);
}

Frame buildFrame(const QImage &image, const screenlink::ScreenGeometry &g)
{
    const int lead = g.leadBytes();
    Frame frame;
    frame.count = uint32_t(image.width()) * uint32_t(image.height()) * 2;
    frame.sendTwice = lead != 0;
    frame.buffer.assign(size_t(frame.count) + size_t(lead), 0);
    // Through 32 bits and back: the 5-6-5 values come out as they went in,
    // turned by the one conversion monitor mode uses too (cut, not
    // dithered, so that the screen shows what the preview shows).
    const QImage argb = image.convertToFormat(QImage::Format_RGB32);
    FrameConverter converter(image.width(), image.height(), g.scanOrder(), Rgb565::Cut);
    converter.convert(argb.constBits(), argb.bytesPerLine(), frame.buffer.data() + lead);
    return frame;
}

} // namespace session
