#pragma once

#include <string_view>

namespace fwimage {

// Why an image was refused. Each value stands for one way a file can be
// broken, so that the programs can word their own message for it.
enum class Fault {
    None,
    ShortImage,        // shorter than the boot region or the header field read
    NotBootImage,      // branch word or "eGON" magic missing
    LogoAtZero,        // the logo position wraps round to 0
    LogoOutside,       // the logo area starts too close to the end of the image
    BlockOutside,      // a block length leads past the end of the image
    BootLengthOutside, // the checksummed range runs past the end of the image
    TooSmall,          // 96 bytes or less: no firmware at all
    TooLarge,          // the assembled image does not fit its buffer
    NotEeprom,         // not an 8 KiB EEPROM image
    NoFreeDeviceId,    // every new device ID of this second is taken
    NoReplyMarkers,    // a server reply without the text around the block
    BadBase64,         // the block's text is not standard Base64
    BlockTooShort,     // a screen block without a whole head and payload byte
    BlockTooLarge,     // a screen block beyond the boot region
    BlockLengthWrong,  // a screen block whose length field disagrees with its size
};

// A short English description, for debug output.
std::string_view describe(Fault fault);

// A value, or the fault that prevented it.
template <typename T>
struct Result {
    T value{};
    Fault fault = Fault::None;

    bool ok() const { return fault == Fault::None; }
    explicit operator bool() const { return ok(); }
};

template <typename T>
Result<T> failure(Fault fault)
{
    return Result<T>{T{}, fault};
}

} // namespace fwimage
