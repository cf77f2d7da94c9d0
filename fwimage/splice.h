#pragma once

#include "telvimage.h"

namespace fwimage {

// Images are assembled in buffers of this size, pre-filled with 0xFF (the
// value of erased flash); a longer firmware file is cut here.
inline constexpr std::size_t ImageBufferSize = FlashSize;
inline constexpr std::size_t WriteAlign = 16;

// Block 1 of the logo area of flash read back from a running screen: the
// screen block, which carries what is particular to this one screen.
Result<ByteView> screenBlock(ByteView flash);

struct AssembledImage {
    Bytes buffer;                   // ImageBufferSize bytes, 0xFF after the image
    std::uint32_t totalLength = 0;  // assembled bytes
    std::uint32_t writeLength = 0;  // bytes to program
    // Bytes the boot checksum covers; beyond writeLength they are 0xFF,
    // which the flash must read there for the screen to boot.
    std::uint32_t checksumLength = 0;
};

// A new firmware file with its own block 1 replaced by `block`, and its
// boot checksum completed. The file's block 1 must lie inside the file
// and the result must fit the buffer; the checksum covers the boot length
// of the buffer, 0xFF after the assembled bytes. The write length is the
// assembled length rounded up to 16 once it fills the boot region,
// otherwise rounded up to 512.
Result<AssembledImage> spliceScreenBlock(ByteView block, ByteView firmwareFile);

} // namespace fwimage
