#pragma once

#include <cstdint>
#include <vector>

// Fitting the desktop into the screen's picture: scaled to keep its aspect,
// centred, the rest black.
namespace telvdrv {

struct Placement {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Where a source of sourceWidth x sourceHeight lands in a target of
// targetWidth x targetHeight. Empty (zero size) when either is empty.
Placement letterbox(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight);

// A picture of 4-byte pixels (blue, green, red, alpha in memory).
struct Picture {
    const uint8_t *pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

// Row length the driver publishes for a picture `width` pixels wide: rows
// start on 64-byte boundaries when the share has room for that.
int chooseStride(int width, int height, int64_t room);

// Scales `source` into `target` (rows of `targetStride` bytes, `targetWidth`
// x `targetHeight` pixels) with black bars where it does not reach.
void compose(const Picture &source, uint8_t *target, int targetWidth, int targetHeight, int targetStride);

} // namespace telvdrv
