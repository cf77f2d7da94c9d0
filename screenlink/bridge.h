#pragma once

#include "screen.h"

#include <QString>

#include <cstdint>

// Transactions on the screen's internal bus, each one exchange with the
// screen (see Screen::exchange) so that threads sharing a screen never
// interleave them.
namespace screenlink {

inline constexpr uint8_t kConfigMemory = 0x51;
// Where the configuration memory keeps the screen's 8-byte device ID.
inline constexpr uint16_t kDeviceIdAddress = 0x1FF0;

// Writes n (at most 16) bytes from register `reg` of `target`. Returns n,
// the error of the first request that failed, or -1 for more than 16 bytes
// (nothing is sent then).
int bridgeWrite8(Screen &screen, uint8_t target, uint8_t reg, const uint8_t *data, uint8_t n);
// Writes `count` bytes in pieces of 16, the register number wrapping at 256.
int bridgeWriteBlock8(Screen &screen, uint8_t target, uint8_t reg, const uint8_t *data, uint8_t count);
// Command, status, data: the bytes read land in reply[1..readCount] of a
// zero-filled reply of readCount + 1 bytes, left zero when the command
// failed. Returns the first failure, else the data request's result.
int bridgeRead(Screen &screen, const uint8_t *command, uint16_t commandLength, uint8_t *reply, uint16_t replyLength,
               unsigned timeoutMs);

// The firmware store at target 0x51 as an upgrade drives it, 200 ms per
// request. Each returns the first failing request's error, or a count >= 0.
// A transaction that fails is run again from its command, up to `tries`
// times in all (the screen drops a transaction it could not finish); a
// screen that is gone fails at once.
inline constexpr int kFlashChunk = 48;
// Command then data, with no status step between them.
int flashRead48(Screen &screen, uint32_t address, uint8_t out[kFlashChunk], int tries = 1);
// Always 54 bytes of command; `count` (1-48) says how many are programmed.
// Programming the same bytes again changes nothing, so a retry is safe.
int flashProgram48(Screen &screen, uint32_t address, uint8_t count, const uint8_t data[kFlashChunk], int tries = 1);
// One 16-byte line of the configuration memory (the older family's EEPROM).
int writeConfigLine(Screen &screen, uint16_t address, const uint8_t data[16], int tries = 1);
// At most 8 bytes of the configuration memory, the most a screen answers.
int readConfig(Screen &screen, uint16_t address, uint8_t count, uint8_t *out, int tries = 1);

// The 8-byte device ID at 0x1FF0 of the configuration memory, as
// "%02x%02x-%02x%02x-%02x%02x%02x%02x"; zero digits where the screen did not
// answer. `whole` tells whether it answered in full: zeros that were never
// read name no screen.
QString readDeviceId(Screen &screen, bool *whole = nullptr);
QString formatDeviceId(const uint8_t id[8]);

} // namespace screenlink
