#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Hand-made firmware images for the tests, and plain re-implementations of
// what the tests check, written apart from the library on purpose.
namespace testimages {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t BootRegion = 24576;

std::uint32_t get32(const Bytes &image, std::size_t at);
void put32(Bytes &image, std::size_t at, std::uint32_t value);

// `size` bytes of a recognisable pattern that differs with `seed`.
Bytes pattern(std::size_t size, std::uint8_t seed);

// A TELV image: branch word, "eGON", a boot length, the logo pointer for
// `position`, and at `position` one block per payload, each with a head
// tagged by its number. The rest is `fill`.
struct ImageLayout {
    std::size_t size = BootRegion;
    std::uint32_t position = 0x1000;
    std::vector<Bytes> payloads;
    std::uint32_t bootLength = 0x2000;
    std::uint8_t fill = 0x00;
};
Bytes telvImage(const ImageLayout &layout);

// A new firmware file as the upgrade tests write it: three logo blocks at
// 0x1000 (block 1 its own, to be replaced by the screen's), boot length
// 0x5E00, and code after the logo area.
Bytes upgradeTelvImage(std::size_t size = BootRegion);
// An 8 KiB EEPROM image for a 6.8-inch K2T screen (size code 7, variant 0).
Bytes upgradeEepromImage();

// Where block `index` (0-based) of the chain at `position` starts, walking
// the lengths as they are stored. No bounds checks: test images only.
std::size_t blockStart(const Bytes &image, std::uint32_t position, int index);

// The boot checksum, the way the boot ROM checks it: the seed plus every
// word of the boot region except the checksum itself.
std::uint32_t expectedChecksum(const Bytes &image);

// The merged image built by hand: the official image up to the end of its
// block 2, block 3 of the customised image, 0xFF up to the boot region,
// the boot length rounded up to 512 and the checksum completed.
Bytes handMerge(const Bytes &official, std::uint32_t officialPosition, const Bytes &customised,
                std::uint32_t customisedPosition);

// The flash an upgrade with `file` leaves on a running TELV screen whose
// flash was `before`: the image with the screen's own block 1, as the
// program splices it.
Bytes upgradedFlash(const Bytes &before, const Bytes &file);
bool startsWith(const Bytes &bytes, const Bytes &prefix);

// What `action` writes to standard output (the file descriptor, so that
// C and C++ streams are both caught).
std::string captureStdout(const std::function<void()> &action);

} // namespace testimages
