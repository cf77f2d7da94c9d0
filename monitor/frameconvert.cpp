#include "frameconvert.h"

#include "frameshare.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/rotate_argb.h>

namespace monitor {

bool convertFrame(const uint8_t *pixels, int64_t stride, int width, int height, uint8_t *frame)
{
    if (!pictureFits(stride, width, height))
        return false;
    libyuv::ARGBToRGB565Dither(pixels, int(stride), frame, width * 2, nullptr, width, height);
    return true;
}

FrameConverter::FrameConverter(int width, int height, Turn turn) : m_width(width), m_height(height), m_turn(turn)
{
    const bool turns = turn == Turn::HalfTurn || turn == Turn::QuarterTurn || turn == Turn::QuarterTurnBack;
    if (turns && width > 0 && height > 0)
        m_turned.resize(size_t(width) * size_t(height) * 4);
}

bool FrameConverter::convert(const uint8_t *pixels, int64_t stride, uint8_t *frame)
{
    const int w = m_width;
    const int h = m_height;
    if (!pictureFits(stride, w, h))
        return false;
    switch (m_turn) {
    case Turn::None:
        libyuv::ARGBToRGB565Dither(pixels, int(stride), frame, w * 2, nullptr, w, h);
        return true;
    case Turn::TopToBottom:
        // A negative height reads the rows from the last one up.
        libyuv::ARGBToRGB565Dither(pixels, int(stride), frame, w * 2, nullptr, w, -h);
        return true;
    case Turn::HalfTurn:
        libyuv::ARGBRotate(pixels, int(stride), m_turned.data(), w * 4, w, h, libyuv::kRotate180);
        libyuv::ARGBToRGB565Dither(m_turned.data(), w * 4, frame, w * 2, nullptr, w, h);
        return true;
    case Turn::QuarterTurn:
    case Turn::QuarterTurnBack:
        libyuv::ARGBRotate(pixels, int(stride), m_turned.data(), h * 4, w, h,
                           m_turn == Turn::QuarterTurn ? libyuv::kRotate90 : libyuv::kRotate270);
        libyuv::ARGBToRGB565Dither(m_turned.data(), h * 4, frame, h * 2, nullptr, h, w);
        return true;
    }
    return false;
}

} // namespace monitor
