#pragma once

#include <cstdint>
#include <vector>

namespace monitor {

// Converts the driver's picture at `pixels` (the frame share's pixel area)
// into RGB 5-6-5 for the screen: `frame` takes width * height * 2 bytes.
// The stride is the driver's word: when it does not fit a width x height
// picture in the pixel area, nothing is read or written and false returned.
bool convertFrame(const uint8_t *pixels, int64_t stride, int width, int height, uint8_t *frame);

// How a picture is turned into the order a panel scans it.
enum class Turn {
    None,            // as it is
    HalfTurn,        // mirrored top to bottom and left to right
    TopToBottom,     // mirrored top to bottom only
    QuarterTurn,     // 90 degrees clockwise: frame rows are picture columns
    QuarterTurnBack, // 270 degrees
};

// The conversion of the frame share's pictures of one size into a panel's
// scan order, in one pass of libyuv besides the conversion itself. What it
// needs is allocated once, here, not for every picture.
class FrameConverter {
public:
    FrameConverter(int width, int height, Turn turn);

    // As convertFrame(), then turned: the frame holds height x width pixels
    // (rows of height pixels) after a quarter turn, width x height otherwise.
    bool convert(const uint8_t *pixels, int64_t stride, uint8_t *frame);

private:
    int m_width;
    int m_height;
    Turn m_turn;
    std::vector<uint8_t> m_turned; // the picture after its turn, 4 bytes a pixel
};

} // namespace monitor
