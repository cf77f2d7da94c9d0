// The frame share's header, which another program writes: what the monitor
// job and the frame driver make of a hostile width, height, rate and
// stride before they touch pixels, and then the pixel work itself on a
// buffer exactly the size of the share's pixel area, so that any read or
// write the checks let past its end is caught.
//
// Input: width, height, rate and stride (little-endian words), then a few
// bytes of desktop picture for the driver to scale.
#include "frameconvert.h"
#include "frameshare.h"
#include "fuzzcheck.h"
#include "letterbox.h"

#include <algorithm>
#include <memory>
#include <vector>

using namespace monitor;
using fuzzcheck::require;

namespace {

// One share for the whole run: allocating 8 MiB per input would dominate.
std::uint8_t *pixelArea()
{
    static const std::unique_ptr<std::uint8_t[]> area(new std::uint8_t[kPixelAreaSize]());
    return area.get();
}

// The monitor job: its own size first, then every picture's stride as the
// driver wrote it.
void monitorSide(std::int32_t width, std::int32_t height, std::int32_t stride)
{
    if (!pictureFits(std::int64_t(width) * 4, width, height))
        return;
    require(frameRate(width, height) >= 24);
    std::vector<std::uint8_t> frame(std::size_t(width) * std::size_t(height) * 2);
    session::FrameConverter converter(width, height, screenlink::ScanOrder::AsIs);
    const bool converted = converter.convert(pixelArea(), stride, frame.data());
    require(converted == pictureFits(stride, width, height));
    if (converted)
        require(std::int64_t(stride) * height <= std::int64_t(kPixelAreaSize));
}

// telvdrv: the size and rate it reads, the stride it picks, and the
// picture it composes and publishes.
void driverSide(std::int32_t width, std::int32_t height, std::int32_t rate, const fuzzcheck::Reader &rest)
{
    const int clamped = std::clamp(rate, 1, 1000);
    require(1000000000L / clamped > 0);
    const int stride = telvdrv::chooseStride(width, height, std::int64_t(kPixelAreaSize));
    if (!pictureFits(stride, width, height))
        return;
    require(pictureFits(stride, 1, height));
    // A small desktop, scaled into the whole picture. At least 8 pixels a
    // side: libyuv's box filter asserts on steps of exactly 4 across and 6
    // down, which letterboxing only yields for a desktop under 7 pixels.
    const int sourceWidth = rest.size() >= 8 ? 8 + rest.data()[0] % 32 : 8;
    const int sourceHeight = rest.size() >= 8 ? 8 + rest.data()[1] % 32 : 8;
    std::vector<std::uint8_t> desktop(std::size_t(sourceWidth) * std::size_t(sourceHeight) * 4, 0x80);
    std::copy_n(rest.data(), std::min(rest.size(), desktop.size()), desktop.begin());
    const telvdrv::Picture source{desktop.data(), sourceWidth, sourceHeight, sourceWidth * 4};
    std::vector<std::uint8_t> picture(std::size_t(stride) * std::size_t(height));
    telvdrv::compose(source, picture.data(), width, height, stride);
    std::copy(picture.begin(), picture.end(), pixelArea());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzzcheck::Reader in(data, size);
    const std::int32_t width = std::int32_t(in.next());
    const std::int32_t height = std::int32_t(in.next());
    const std::int32_t rate = std::int32_t(in.next());
    const std::int32_t stride = std::int32_t(in.next());
    require(frameRate(width, height) >= 0);
    monitorSide(width, height, stride);
    driverSide(width, height, rate, in);
    return 0;
}
