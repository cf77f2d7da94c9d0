#pragma once

#include "fault.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <span>
#include <string>

// The 8 KiB boot EEPROM image of K2T/K5TX screens and the device ID it
// carries near its end.
namespace fwimage {

inline constexpr std::size_t EepromSize = 0x2000;
inline constexpr std::size_t DeviceIdOffset = 0x1FF0;

using DeviceId = std::array<std::uint8_t, 8>;

// Where a new device ID comes from: the moment of the stamp, and a random
// number (`seed` is the moment, for sources that want one). Both must be
// set.
struct DeviceIdSource {
    std::function<std::time_t()> now;
    std::function<std::uint32_t(std::time_t seed)> random;
};

// The system clock and the system's random source: screens stamped in the
// same second (several upgraded at once) must not share an ID.
DeviceIdSource systemDeviceIdSource();

// "%02x%02x-%02x%02x-%02x%02x%02x%02x", as the tools show a device ID.
std::string deviceIdText(const DeviceId &id);

// Whether an ID is in use already (a screen attached has it).
using DeviceIdTaken = std::function<bool(const DeviceId &)>;

// Writes a new device ID into the image: local year since 1900 modulo 255,
// month 1 to 12, day of the month plus one, hour, minute, second, 0, and
// the random number modulo 255, drawn again while `taken` says the ID is
// in use. Prints nothing: the new ID is its caller's result to report.
// Refuses an image that is not EepromSize bytes, and leaves it as it was
// when every draw is taken.
Result<DeviceId> stampDeviceId(std::span<std::uint8_t> eeprom, const DeviceIdSource &source = systemDeviceIdSource(),
                               const DeviceIdTaken &taken = {});

} // namespace fwimage
