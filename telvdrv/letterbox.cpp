#include "letterbox.h"

#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cstring>

namespace telvdrv {

Placement letterbox(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight)
{
    if (sourceWidth <= 0 || sourceHeight <= 0 || targetWidth <= 0 || targetHeight <= 0)
        return {};
    // Compare targetWidth / sourceWidth with targetHeight / sourceHeight
    // without rounding: the narrower ratio decides.
    const int64_t widthSide = int64_t(targetWidth) * sourceHeight;
    const int64_t heightSide = int64_t(targetHeight) * sourceWidth;
    Placement p;
    if (widthSide <= heightSide) {
        p.width = targetWidth;
        p.height = int(std::max<int64_t>(1, (int64_t(sourceHeight) * targetWidth + sourceWidth / 2) / sourceWidth));
        p.height = std::min(p.height, targetHeight);
    } else {
        p.height = targetHeight;
        p.width = int(std::max<int64_t>(1, (int64_t(sourceWidth) * targetHeight + sourceHeight / 2) / sourceHeight));
        p.width = std::min(p.width, targetWidth);
    }
    p.x = (targetWidth - p.width) / 2;
    p.y = (targetHeight - p.height) / 2;
    return p;
}

int chooseStride(int width, int height, int64_t room)
{
    const int64_t tight = int64_t(width) * 4;
    const int64_t aligned = (tight + 63) / 64 * 64;
    // The size comes from the frame share, which anyone may write: compared
    // by division, as the product could overflow.
    const bool fits = height <= 0 || aligned <= room / height;
    return int(fits ? aligned : tight);
}

void compose(const Picture &source, uint8_t *target, int targetWidth, int targetHeight, int targetStride)
{
    const Placement p = letterbox(source.width, source.height, targetWidth, targetHeight);
    const size_t rowBytes = size_t(targetWidth) * 4;
    for (int y = 0; y < targetHeight; ++y) {
        uint8_t *row = target + size_t(y) * size_t(targetStride);
        if (y < p.y || y >= p.y + p.height) {
            std::memset(row, 0, rowBytes);
            continue;
        }
        std::memset(row, 0, size_t(p.x) * 4);
        const size_t right = size_t(p.x + p.width) * 4;
        std::memset(row + right, 0, rowBytes - right);
    }
    if (p.width == 0)
        return;
    libyuv::ARGBScale(source.pixels, source.stride, source.width, source.height,
                      target + size_t(p.y) * size_t(targetStride) + size_t(p.x) * 4, targetStride, p.width, p.height,
                      libyuv::kFilterBox);
}

} // namespace telvdrv
