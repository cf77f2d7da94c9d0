// The information string spanmon's screen chooser reads a screen's size
// from, and what it does with the size before monitor mode starts.
//
// Input: the identification string's bytes as the screen sends them.
#include "frameshare.h"
#include "fuzzcheck.h"
#include "identify.h"
#include "requests.h"

#include <cstring>

using fuzzcheck::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The chooser reads into a zeroed buffer twice the reply's size and
    // takes the text up to the first zero, within the reply.
    char text[128] = {};
    std::memcpy(text, data, std::min<std::size_t>(size, screenlink::kIdentLength));
    const QString info = QString::fromUtf8(text, qsizetype(qstrnlen(text, screenlink::kIdentLength)));

    const std::optional<QSize> screen = screenlink::screenSizeFromInformation(info);
    if (!screen)
        return 0;
    require(info.section(QLatin1Char(','), 1, 1).contains(QLatin1Char('x')));
    const int width = screen->width();
    const int height = screen->height();
    if (!monitor::pictureFits(std::int64_t(width) * 4, width, height))
        return 0;
    // What an accepted size goes on to: the rate, the frame and the blank
    // picture sent at the end, all within the share and a 24-bit count.
    require(width > 0 && height > 0);
    require(monitor::frameRate(width, height) >= 24);
    const std::uint64_t frameBytes = std::uint64_t(width) * std::uint64_t(height) * 2;
    require(frameBytes * 2 <= monitor::kPixelAreaSize && frameBytes < (1u << 24));
    return 0;
}
