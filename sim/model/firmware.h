#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What a simulated screen ships with, and how it decides at power-up whether
// the firmware it holds can run.
namespace sim {

inline constexpr uint32_t kBootChecksumSeed = 0x5F0A6C39;
inline constexpr uint32_t kLogoPointerOffset = 0xF0C;
inline constexpr uint32_t kLogoBase = 0xF10;

// A bootable TELV flash image: boot header with a valid checksum over its boot
// length, and a logo area of three blocks whose first holds `screenBlock`.
std::vector<uint8_t> makeTelvImage(const std::vector<uint8_t> &screenBlock, uint32_t seed);

// The screen block that a screen carries from the factory: its panel timings
// and serial, different for every unit (`seed`).
std::vector<uint8_t> makeScreenBlockPayload(uint32_t seed);

// The screen identity a TELV unit leaves the factory with: 24 upper-case
// hexadecimal digits, different for every unit (`seed`).
std::string makeTelvIdentity(uint32_t seed);

// The boot ROM's test: first byte 0x16, boot length a non-zero multiple of 512
// inside the flash, stored checksum equal to the word sum.
bool telvImageBootable(const std::vector<uint8_t> &flash);
uint32_t telvBootChecksum(const uint8_t *image, uint32_t bootLength);

// A bootable older-family EEPROM image (C2 boot format) carrying the size
// code, variant code and device ID at their configuration addresses.
std::vector<uint8_t> makeK2tEeprom(uint32_t sizeCode, int32_t variantCode, const uint8_t deviceId[8]);
bool k2tEepromBootable(const std::vector<uint8_t> &eeprom);

} // namespace sim
