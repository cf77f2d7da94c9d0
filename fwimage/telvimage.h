#pragma once

#include "fault.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// TELV firmware images: an Allwinner eGON boot image whose logo area is a
// chain of blocks. All fields are little-endian. Nothing here trusts an
// offset or a length taken from an image: each is checked against the
// image's size before anything is read at it.
namespace fwimage {

using ByteView = std::span<const std::uint8_t>;
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t BootBranch = 0xEA000016; // ARM branch over the header
inline constexpr std::uint32_t BootMagic = 0x4E4F4765;  // "eGON"
inline constexpr std::uint32_t ChecksumSeed = 0x5F0A6C39;
inline constexpr std::size_t BranchOffset = 0;
inline constexpr std::size_t MagicOffset = 4;
inline constexpr std::size_t ChecksumOffset = 12;
inline constexpr std::size_t BootLengthOffset = 16;
inline constexpr std::size_t LogoPointerOffset = 0xF0C;
inline constexpr std::uint32_t LogoBase = 0xF10; // the pointer counts from the end of its own word
inline constexpr std::size_t BlockHeadSize = 8;  // 4 bytes not interpreted, then the payload length
inline constexpr std::size_t BootRegionSize = 0x6000; // what a running screen gives back of its flash
inline constexpr std::size_t FlashSize = 0x100000;     // the SPI NOR part every TELV screen carries
inline constexpr std::size_t BootLengthAlign = 512;
inline constexpr std::int32_t MinimumImageSize = 97;

// One block of the logo area: where it starts and its size with the head.
struct Block {
    std::size_t offset = 0;
    std::size_t size = 0;

    std::size_t end() const { return offset + size; }
};

// The little-endian word at `offset`; ShortImage when it is not whole
// inside the image.
Result<std::uint32_t> readWord(ByteView image, std::uint64_t offset);

// The logo position: LogoBase plus the pointer, modulo 2^32.
Result<std::uint32_t> logoPosition(ByteView image);

// The checks a firmware file passes before its logo area is used: at
// least the boot region long, branch word and magic in place, and a logo
// position other than 0. Gives the logo position.
Result<std::uint32_t> checkTelvImage(ByteView image);

// The first `count` blocks of the chain starting at `position`. Every
// block must lie whole inside the image; sums that would wrap round at
// 2^32 lead outside it and are refused as well.
Result<std::vector<Block>> logoBlocks(ByteView image, std::uint32_t position, std::size_t count);

// The number of bytes the boot checksum covers: the boot length rounded
// up to a multiple of 512. Must not run past the end of the image.
Result<std::size_t> bootRegion(ByteView image);

// Completes the boot checksum in place: rounds the boot length up to a
// multiple of 512 and stores it back, then stores the wrapping sum of the
// words it covers, seeded with ChecksumSeed at the checksum's own place.
// `size` of 96 or less is refused with "incorrect firmware." on standard
// output. Gives the size to program: `size` rounded up to 512, at most
// BootRegionSize. The image is left untouched when refused.
Result<std::int32_t> prepareImage(std::span<std::uint8_t> image, std::int32_t size);

} // namespace fwimage
