#include "mergelogo.h"

#include <algorithm>

namespace fwimage {

namespace {

MergeResult refuse(Fault fault, MergeInput culprit)
{
    return MergeResult{{}, fault, culprit};
}

} // namespace

MergeResult mergeLogo(ByteView official, std::uint32_t officialPosition, ByteView customised,
                      std::uint32_t customisedPosition)
{
    const Result<std::vector<Block>> logo = logoBlocks(customised, customisedPosition, 3);
    if (!logo)
        return refuse(logo.fault, MergeInput::Customised);
    const Result<std::vector<Block>> kept = logoBlocks(official, officialPosition, 2);
    if (!kept)
        return refuse(kept.fault, MergeInput::Official);

    const Block &head = kept.value[1];
    const Block &block3 = logo.value[2];
    MergeResult out;
    out.image.reserve(std::max(BootRegionSize, head.end() + block3.size));
    out.image.assign(official.begin(), official.begin() + std::ptrdiff_t(head.end()));
    const ByteView logoBytes = customised.subspan(block3.offset, block3.size);
    out.image.insert(out.image.end(), logoBytes.begin(), logoBytes.end());
    if (out.image.size() < BootRegionSize)
        out.image.resize(BootRegionSize, 0xFF);

    // The boot header, and so the boot length, come from the official image.
    const Result<std::int32_t> prepared = prepareImage(out.image, std::int32_t(BootRegionSize));
    if (!prepared)
        return refuse(prepared.fault, MergeInput::Official);
    return out;
}

Result<Bytes> modelPrint(ByteView image)
{
    const Result<std::uint32_t> position = checkTelvImage(image);
    if (!position)
        return failure<Bytes>(position.fault);
    const Result<std::vector<Block>> kept = logoBlocks(image, position.value, 2);
    if (!kept)
        return failure<Bytes>(kept.fault);
    // The checksum and the boot length are next to each other, and both lie
    // well before any block.
    static_assert(BootLengthOffset == ChecksumOffset + 4);
    const auto end = std::ptrdiff_t(kept.value[1].end());
    Bytes print(image.begin(), image.begin() + std::ptrdiff_t(ChecksumOffset));
    print.resize(BootLengthOffset + 4, 0);
    print.insert(print.end(), image.begin() + std::ptrdiff_t(BootLengthOffset + 4), image.begin() + end);
    return {std::move(print), Fault::None};
}

} // namespace fwimage
