#pragma once

#include "modeltable.h"

#include <cstdint>
#include <vector>

// Pictures of 4 bytes a pixel (blue, green, red, alpha in memory) into the
// RGB 5-6-5 a panel scans, turned into its scan order in the same libyuv
// pass budget. The one conversion behind both the pictures the programs
// show and the desktop pictures of monitor mode.
namespace session {

// Whether 5-6-5 takes the dropped low bits into account (an ordered
// dither, as monitor mode sends desktop pictures) or cuts them (as Qt does
// for the pictures the preview shows).
enum class Rgb565 { Dithered, Cut };

// The conversion of pictures of one size into a panel's scan order. What
// it needs is allocated once, here, not for every picture.
class FrameConverter {
public:
    FrameConverter(int width, int height, screenlink::ScanOrder order, Rgb565 kind = Rgb565::Dithered);

    // Converts the picture at `pixels`, rows `stride` bytes apart, into
    // `frame`: height x width pixels (rows of height pixels) after a quarter
    // turn, width x height otherwise, low byte first. The stride is the
    // giver's word: when it does not fit a width x height picture in the
    // frame share's pixel area, nothing is read or written and false
    // returned.
    bool convert(const uint8_t *pixels, int64_t stride, uint8_t *frame);

private:
    void toRgb565(const uint8_t *argb, int stride, uint8_t *frame, int width, int height) const;

    int m_width;
    int m_height;
    screenlink::ScanOrder m_order;
    Rgb565 m_kind;
    std::vector<uint8_t> m_turned; // the picture after its turn, 4 bytes a pixel
};

} // namespace session
