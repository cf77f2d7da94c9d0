#include "splice.h"

#include <algorithm>

namespace fwimage {

Result<ByteView> screenBlock(ByteView flash)
{
    const Result<std::uint32_t> position = logoPosition(flash);
    if (!position)
        return failure<ByteView>(position.fault);
    const Result<std::vector<Block>> blocks = logoBlocks(flash, position.value, 1);
    if (!blocks)
        return failure<ByteView>(blocks.fault);
    return {flash.subspan(blocks.value[0].offset, blocks.value[0].size), Fault::None};
}

Result<AssembledImage> spliceScreenBlock(ByteView block, ByteView firmwareFile)
{
    const ByteView file = firmwareFile.first(std::min(firmwareFile.size(), ImageBufferSize));
    const Result<std::uint32_t> position = logoPosition(file);
    if (!position)
        return failure<AssembledImage>(position.fault);
    const Result<std::vector<Block>> own = logoBlocks(file, position.value, 1);
    if (!own)
        return failure<AssembledImage>(own.fault);

    const Block replaced = own.value[0];
    const ByteView tail = file.subspan(replaced.end());
    // The block comes from the screen or the server; a long one could push
    // the image past its buffer.
    if (block.size() > ImageBufferSize - replaced.offset - tail.size())
        return failure<AssembledImage>(Fault::TooLarge);

    AssembledImage out;
    out.buffer.assign(ImageBufferSize, 0xFF);
    auto at = std::copy(file.begin(), file.begin() + std::ptrdiff_t(replaced.offset), out.buffer.begin());
    at = std::copy(block.begin(), block.end(), at);
    at = std::copy(tail.begin(), tail.end(), at);
    const std::size_t total = std::size_t(at - out.buffer.begin());
    out.totalLength = std::uint32_t(total);

    // The checksum may cover the buffer's 0xFF beyond the assembled bytes:
    // that is what erased flash reads there, so a screen block shorter than
    // the file's own still gives an image that boots. Never past the buffer.
    const std::int32_t size = std::int32_t(std::min(total, BootRegionSize));
    const Result<std::int32_t> prepared = prepareImage(out.buffer, size);
    if (!prepared)
        return failure<AssembledImage>(prepared.fault);
    out.checksumLength = std::uint32_t(bootRegion(out.buffer).value);

    if (std::size_t(prepared.value) == BootRegionSize)
        out.writeLength = std::uint32_t((total + WriteAlign - 1) / WriteAlign * WriteAlign);
    else
        out.writeLength = std::uint32_t(prepared.value);
    return {std::move(out), Fault::None};
}

} // namespace fwimage
