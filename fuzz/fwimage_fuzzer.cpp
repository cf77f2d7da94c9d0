// Feeds arbitrary bytes to everything that reads a firmware image: the
// header and logo chain, the checksum, the screen-block splice and the
// logo merge. Besides crashes and sanitizer reports, a result that breaks
// the promises of the library stops the run.
//
// Input: three little-endian words (where to split the rest, and a logo
// position for each part), then the two parts. The positions are taken
// from the input as well as from the images' own pointers, so that short
// inputs reach the whole chain.
#include "mergelogo.h"
#include "splice.h"

#include <algorithm>
#include <cstdlib>

using namespace fwimage;

namespace {

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

std::uint32_t word(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// The boot checksum recomputed the plain way.
bool checksumHolds(ByteView image)
{
    const std::size_t length = word(image.data() + BootLengthOffset);
    if (length % BootLengthAlign != 0 || length > image.size())
        return false;
    std::uint32_t sum = length > ChecksumOffset ? ChecksumSeed : 0;
    for (std::size_t at = 0; at < length; at += 4) {
        if (at != ChecksumOffset)
            sum += word(image.data() + at);
    }
    return sum == word(image.data() + ChecksumOffset);
}

void checkChain(ByteView image, std::uint32_t position)
{
    const Result<std::vector<Block>> blocks = logoBlocks(image, position, 3);
    if (!blocks)
        return;
    require(blocks.value.size() == 3);
    std::size_t expected = position;
    for (const Block &b : blocks.value) {
        require(b.offset == expected);
        require(b.size >= BlockHeadSize);
        require(b.end() <= image.size());
        expected = b.end();
    }
}

void checkImage(ByteView image)
{
    const Result<std::uint32_t> checked = checkTelvImage(image);
    if (checked) {
        require(image.size() >= BootRegionSize);
        require(checked.value != 0);
    }
    if (const Result<std::uint32_t> position = logoPosition(image))
        checkChain(image, position.value);
    if (const Result<std::size_t> region = bootRegion(image))
        require(region.value <= image.size() && region.value % BootLengthAlign == 0);
    if (const Result<ByteView> block = screenBlock(image)) {
        require(block.value.data() >= image.data());
        require(block.value.data() + block.value.size() <= image.data() + image.size());
    }
}

void checkPrepare(ByteView image, std::int32_t size)
{
    Bytes copy(image.begin(), image.end());
    const Result<std::int32_t> prepared = prepareImage(copy, size);
    if (!prepared)
        return;
    require(prepared.value > 0 && std::size_t(prepared.value) <= BootRegionSize);
    require(checksumHolds(copy));
}

void checkSplice(ByteView block, ByteView file)
{
    const Result<AssembledImage> assembled = spliceScreenBlock(block, file);
    if (!assembled)
        return;
    const AssembledImage &out = assembled.value;
    require(out.buffer.size() == ImageBufferSize);
    require(out.totalLength <= ImageBufferSize);
    require(out.writeLength >= out.totalLength);
    require(out.writeLength % WriteAlign == 0);
    require(out.checksumLength % BootLengthAlign == 0 && out.checksumLength <= ImageBufferSize);
    require(checksumHolds(out.buffer));
    // Whatever the checksum covers beyond the assembled bytes is erased flash.
    require(std::all_of(out.buffer.begin() + std::ptrdiff_t(out.totalLength), out.buffer.end(),
                        [](std::uint8_t b) { return b == 0xFF; }));
}

void checkMerge(ByteView official, std::uint32_t officialPosition, ByteView customised,
                std::uint32_t customisedPosition)
{
    const MergeResult merged = mergeLogo(official, officialPosition, customised, customisedPosition);
    if (!merged) {
        require(merged.culprit != MergeInput::None && merged.image.empty());
        return;
    }
    require(merged.image.size() >= BootRegionSize);
    require(checksumHolds(merged.image));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const ByteView input(data, size);
    checkImage(input);
    if (size < 12)
        return 0;

    const ByteView rest = input.subspan(12);
    const std::size_t split = word(data) % (rest.size() + 1);
    const ByteView first = rest.first(split);
    const ByteView second = rest.subspan(split);
    const std::uint32_t firstPosition = word(data + 4);
    const std::uint32_t secondPosition = word(data + 8);

    checkImage(second);
    checkChain(first, firstPosition);
    checkPrepare(rest, std::int32_t(firstPosition));
    checkMerge(first, firstPosition, second, secondPosition);
    checkMerge(second, secondPosition, first, firstPosition);
    if (const Result<std::uint32_t> a = logoPosition(first), b = logoPosition(second); a && b)
        checkMerge(first, a.value, second, b.value);

    checkSplice(first, second);
    if (const Result<ByteView> block = screenBlock(first))
        checkSplice(block.value, second);
    return 0;
}
