#pragma once

#include "telvimage.h"

#include <cstdint>
#include <string_view>

// The checks a firmware file passes before an upgrade starts, by the family
// of the screen it is meant for: its size, its first byte and the rules for
// its name. Each refusal has its own message, the exact text the programs
// show.
namespace fwimage {

enum class FirmwareFamily { Telv, K2t };

// The family a firmware file is written as: TELV images carry "TELV" in
// their path, folders included, case-sensitive (the official ones are named
// so, and so is what logomerge writes); every other file is an EEPROM image.
FirmwareFamily fileFamily(std::string_view path);

enum class FileVerdict {
    Accepted,
    TelvTooSmall,     // code 1: under the boot region
    TelvTooLarge,     // more than the flash holds: it would be cut
    TelvNotBootImage, // code 2: not starting with the boot branch's 0x16
    TelvNameLacksTelv,
    EepromWrongSize,  // code 3: not exactly 8 KiB
    EepromNotC2,      // code 4: not starting with 0xC2
    EepromForbidden,  // the one image that must never be written
};

inline constexpr std::size_t EepromImageSize = 8192;
inline constexpr std::uint8_t TelvFirstByte = 0x16;
inline constexpr std::uint8_t EepromFirstByte = 0xC2;

// `path` is the file's full path as chosen (UTF-8): the name rules look at
// all of it, folders included. `fileSize` is the file's size on disk and
// `content` its bytes (at least the first one when there is one).
FileVerdict checkFirmwareFile(FirmwareFamily family, std::string_view path, std::uint64_t fileSize, ByteView content);

// The message of a refusal (English, untranslated); empty for Accepted.
std::string_view verdictText(FileVerdict verdict);

// Shown when the file cannot be opened at all.
inline constexpr std::string_view CannotOpenText = "Can not open file.";

} // namespace fwimage
