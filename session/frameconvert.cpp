#include "frameconvert.h"

#include "frameshare.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/rotate_argb.h>

namespace session {

using screenlink::ScanOrder;

FrameConverter::FrameConverter(int width, int height, ScanOrder order, Rgb565 kind)
    : m_width(width), m_height(height), m_order(order), m_kind(kind)
{
    const bool turns = order == ScanOrder::HalfTurn || order == ScanOrder::QuarterTurn
                       || order == ScanOrder::QuarterTurnBack;
    if (turns && width > 0 && height > 0)
        m_turned.resize(size_t(width) * size_t(height) * 4);
}

void FrameConverter::toRgb565(const uint8_t *argb, int stride, uint8_t *frame, int width, int height) const
{
    // A negative height reads the rows from the last one up.
    if (m_kind == Rgb565::Dithered)
        libyuv::ARGBToRGB565Dither(argb, stride, frame, width * 2, nullptr, width, height);
    else
        libyuv::ARGBToRGB565(argb, stride, frame, width * 2, width, height);
}

bool FrameConverter::convert(const uint8_t *pixels, int64_t stride, uint8_t *frame)
{
    const int w = m_width;
    const int h = m_height;
    if (!monitor::pictureFits(stride, w, h))
        return false;
    switch (m_order) {
    case ScanOrder::AsIs:
        toRgb565(pixels, int(stride), frame, w, h);
        return true;
    case ScanOrder::TopToBottom:
        toRgb565(pixels, int(stride), frame, w, -h);
        return true;
    case ScanOrder::HalfTurn:
        libyuv::ARGBRotate(pixels, int(stride), m_turned.data(), w * 4, w, h, libyuv::kRotate180);
        toRgb565(m_turned.data(), w * 4, frame, w, h);
        return true;
    case ScanOrder::QuarterTurn:
    case ScanOrder::QuarterTurnBack:
        libyuv::ARGBRotate(pixels, int(stride), m_turned.data(), h * 4, w, h,
                           m_order == ScanOrder::QuarterTurn ? libyuv::kRotate90 : libyuv::kRotate270);
        toRgb565(m_turned.data(), h * 4, frame, h, w);
        return true;
    }
    return false;
}

} // namespace session
