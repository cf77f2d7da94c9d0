#include "telvimage.h"

#include <iostream>

namespace fwimage {

namespace {

void storeWord(std::span<std::uint8_t> image, std::size_t offset, std::uint32_t value)
{
    image[offset] = std::uint8_t(value);
    image[offset + 1] = std::uint8_t(value >> 8);
    image[offset + 2] = std::uint8_t(value >> 16);
    image[offset + 3] = std::uint8_t(value >> 24);
}

std::uint64_t roundUp(std::uint64_t value, std::uint64_t step)
{
    return (value + step - 1) / step * step;
}

} // namespace

Result<std::uint32_t> readWord(ByteView image, std::uint64_t offset)
{
    if (offset > image.size() || image.size() - offset < 4)
        return failure<std::uint32_t>(Fault::ShortImage);
    const std::size_t at = std::size_t(offset);
    return {std::uint32_t(image[at]) | std::uint32_t(image[at + 1]) << 8 | std::uint32_t(image[at + 2]) << 16 |
                std::uint32_t(image[at + 3]) << 24,
            Fault::None};
}

Result<std::uint32_t> logoPosition(ByteView image)
{
    const Result<std::uint32_t> pointer = readWord(image, LogoPointerOffset);
    if (!pointer)
        return pointer;
    // Unsigned arithmetic: the position wraps round exactly as the screen's
    // 32-bit firmware computes it.
    return {LogoBase + pointer.value, Fault::None};
}

Result<std::uint32_t> checkTelvImage(ByteView image)
{
    if (image.size() < BootRegionSize)
        return failure<std::uint32_t>(Fault::ShortImage);
    if (readWord(image, BranchOffset).value != BootBranch || readWord(image, MagicOffset).value != BootMagic)
        return failure<std::uint32_t>(Fault::NotBootImage);
    const Result<std::uint32_t> position = logoPosition(image);
    if (position && position.value == 0)
        return failure<std::uint32_t>(Fault::LogoAtZero);
    return position;
}

Result<std::vector<Block>> logoBlocks(ByteView image, std::uint32_t position, std::size_t count)
{
    std::vector<Block> blocks;
    // 64-bit sums: a block can end at most 2^32 + 7 bytes past an offset
    // that already lies inside the image, so nothing here wraps.
    std::uint64_t offset = position;
    for (std::size_t i = 0; i < count; ++i) {
        const Result<std::uint32_t> length = readWord(image, offset + 4);
        if (!length)
            return failure<std::vector<Block>>(i == 0 ? Fault::LogoOutside : Fault::BlockOutside);
        const std::uint64_t end = offset + BlockHeadSize + length.value;
        if (end > image.size())
            return failure<std::vector<Block>>(Fault::BlockOutside);
        blocks.push_back(Block{std::size_t(offset), std::size_t(end - offset)});
        offset = end;
    }
    return {std::move(blocks), Fault::None};
}

Result<std::size_t> bootRegion(ByteView image)
{
    const Result<std::uint32_t> length = readWord(image, BootLengthOffset);
    if (!length)
        return failure<std::size_t>(length.fault);
    // Rounded in 64 bits: a length just below 2^32 must not round to 0.
    const std::uint64_t rounded = roundUp(length.value, BootLengthAlign);
    if (rounded > image.size())
        return failure<std::size_t>(Fault::BootLengthOutside);
    return {std::size_t(rounded), Fault::None};
}

Result<std::int32_t> prepareImage(std::span<std::uint8_t> image, std::int32_t size)
{
    if (size < MinimumImageSize) {
        std::cout << "incorrect firmware.\n" << std::flush;
        return failure<std::int32_t>(Fault::TooSmall);
    }
    const std::int32_t programSize = size > std::int32_t(BootRegionSize)
                                         ? std::int32_t(BootRegionSize)
                                         : std::int32_t(roundUp(std::uint64_t(size), BootLengthAlign));

    const Result<std::size_t> region = bootRegion(image);
    if (!region)
        return failure<std::int32_t>(region.fault);
    // bootRegion() read the length field, so the image reaches past both
    // fields, and the rounded length lies within the image, so it fits 32
    // bits. A length of 0 leaves a checksum of 0.
    storeWord(image, BootLengthOffset, std::uint32_t(region.value));
    storeWord(image, ChecksumOffset, ChecksumSeed);

    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < region.value; at += 4)
        sum += readWord(image, at).value;
    storeWord(image, ChecksumOffset, sum);
    return {programSize, Fault::None};
}

} // namespace fwimage
