#include "frameconvert.h"

#include "frameshare.h"

#include <libyuv/convert_from_argb.h>

namespace monitor {

bool convertFrame(const uint8_t *pixels, int64_t stride, int width, int height, uint8_t *frame)
{
    if (!pictureFits(stride, width, height))
        return false;
    libyuv::ARGBToRGB565Dither(pixels, int(stride), frame, width * 2, nullptr, width, height);
    return true;
}

} // namespace monitor
