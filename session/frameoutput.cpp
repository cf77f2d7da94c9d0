#include "frameoutput.h"

#include <QPainter>

#include <algorithm>
#include <cstring>
#include <utility>

namespace session {

using screenlink::ScanOrder;

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

void toScanOrder(const QImage &source, ScanOrder order, uint16_t *out)
{
    const QImage image = source.format() == QImage::Format_RGB16 ? source : source.convertToFormat(QImage::Format_RGB16);
    const int w = image.width();
    const int h = image.height();
    const uchar *bits = image.constBits();
    const qsizetype stride = image.bytesPerLine();
    auto row = [bits, stride](int y) { return reinterpret_cast<const uint16_t *>(bits + y * stride); };

    switch (order) {
    case ScanOrder::QuarterTurn:
    case ScanOrder::QuarterTurnBack: {
        // Frame rows are picture columns. Clockwise: frame pixel (fx, fy) is
        // picture pixel (fy, h - 1 - fx); the other way: picture pixel
        // (w - 1 - fy, fx). Done in tiles so that both sides stay in cache.
        const bool clockwise = order == ScanOrder::QuarterTurn;
        constexpr int kTile = 32;
        for (int fy0 = 0; fy0 < w; fy0 += kTile) {
            const int fy1 = std::min(w, fy0 + kTile);
            for (int fx0 = 0; fx0 < h; fx0 += kTile) {
                const int fx1 = std::min(h, fx0 + kTile);
                for (int fy = fy0; fy < fy1; ++fy) {
                    uint16_t *dst = out + size_t(fy) * size_t(h);
                    const int x = clockwise ? fy : w - 1 - fy;
                    for (int fx = fx0; fx < fx1; ++fx)
                        dst[fx] = row(clockwise ? h - 1 - fx : fx)[x];
                }
            }
        }
        break;
    }
    case ScanOrder::TopToBottom:
        for (int y = 0; y < h; ++y)
            std::memcpy(out + size_t(y) * size_t(w), row(h - 1 - y), size_t(w) * 2);
        break;
    case ScanOrder::HalfTurn:
        for (int y = 0; y < h; ++y) {
            const uint16_t *src = row(h - 1 - y);
            uint16_t *dst = out + size_t(y) * size_t(w);
            for (int x = 0; x < w; ++x)
                dst[x] = src[w - 1 - x];
        }
        break;
    }
#if Q_BYTE_ORDER == Q_BIG_ENDIAN
    // Pixels go out low byte first.
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i)
        out[i] = uint16_t(out[i] << 8 | out[i] >> 8);
#endif
}

Frame buildFrame(const QImage &image, const screenlink::ScreenGeometry &g)
{
    const int lead = g.leadBytes();
    Frame frame;
    frame.count = uint32_t(image.width()) * uint32_t(image.height()) * 2;
    frame.sendTwice = lead != 0;
    frame.buffer.assign(size_t(frame.count) + size_t(lead), 0);
    // The lead is even, so the pixels stay aligned for 16-bit stores.
    toScanOrder(image, g.scanOrder(), reinterpret_cast<uint16_t *>(frame.buffer.data() + lead));
    return frame;
}

} // namespace session
