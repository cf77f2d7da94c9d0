#pragma once

#include <cstdint>

namespace monitor {

// Converts the driver's picture at `pixels` (the frame share's pixel area)
// into RGB 5-6-5 for the screen: `frame` takes width * height * 2 bytes.
// The stride is the driver's word: when it does not fit a width x height
// picture in the pixel area, nothing is read or written and false returned.
bool convertFrame(const uint8_t *pixels, int64_t stride, int width, int height, uint8_t *frame);

} // namespace monitor
