#include "bridge.h"

#include "requests.h"

#include <algorithm>
#include <cstring>

namespace screenlink {

namespace {

// A write transaction: the command, then its status.
int commandThenStatus(Wire &wire, const uint8_t *command, uint16_t length)
{
    uint8_t status = 0;
    const int r = bridgeCommand(wire.handle(), command, length, kControlTimeoutMs);
    if (r < 0)
        return r;
    return bridgeStatus(wire.handle(), &status, kControlTimeoutMs);
}

// The same with nothing of another thread's between the two.
int commandThenStatus(Screen &screen, const uint8_t *command, uint16_t length, int tries = 1)
{
    return screen.exchange(
        [&](Wire &wire) { return withRetries(tries, [&] { return commandThenStatus(wire, command, length); }); });
}

} // namespace

int bridgeWrite8(Screen &screen, uint8_t target, uint8_t reg, const uint8_t *data, uint8_t n)
{
    if (n > 16)
        return -1;
    uint8_t buffer[64] = {};
    buffer[0] = target;
    buffer[1] = uint8_t(n + 1);
    buffer[2] = 0x00;
    buffer[3] = reg;
    std::memcpy(buffer + 4, data, n);
    const int r = commandThenStatus(screen, buffer, uint16_t(n + 4));
    return r < 0 ? r : n;
}

int bridgeWriteBlock8(Screen &screen, uint8_t target, uint8_t reg, const uint8_t *data, uint8_t count)
{
    for (int at = 0; at < count; at += 16) {
        const uint8_t piece = uint8_t(std::min(16, count - at));
        bridgeWrite8(screen, target, uint8_t(reg + at), data + at, piece);
    }
    return 0;
}

int bridgeRead(Screen &screen, const uint8_t *command, uint16_t commandLength, uint8_t *reply, uint16_t replyLength,
               unsigned timeoutMs)
{
    std::memset(reply, 0, replyLength);
    return screen.exchange([&](Wire &w) {
        uint8_t status = 0;
        // All three go out whatever each gives, so the bridge is never left
        // half-way; data after a failed command are another transaction's.
        const int sent = bridgeCommand(w.handle(), command, commandLength, timeoutMs);
        const int finished = bridgeStatus(w.handle(), &status, timeoutMs);
        const int got = bridgeData(w.handle(), reply, replyLength, timeoutMs);
        if (sent < 0) {
            std::memset(reply, 0, replyLength);
            return sent;
        }
        return finished < 0 ? finished : got;
    });
}

int flashRead48(Screen &screen, uint32_t address, uint8_t out[kFlashChunk], int tries)
{
    const uint8_t command[6] = {kConfigMemory, 0x03, kFlashChunk, uint8_t(address >> 16), uint8_t(address >> 8),
                                uint8_t(address)};
    uint8_t reply[kFlashChunk + 1] = {};
    const int result = screen.exchange([&](Wire &w) {
        return withRetries(tries, [&] {
            int r = bridgeCommand(w.handle(), command, sizeof command, kControlTimeoutMs);
            if (r < 0)
                return r;
            r = bridgeData(w.handle(), reply, sizeof reply, kControlTimeoutMs);
            // A short answer would leave stale bytes in what the upgrade writes back.
            return r >= 0 && r < int(sizeof reply) ? int(LIBUSB_ERROR_IO) : r;
        });
    });
    if (result >= 0)
        std::memcpy(out, reply + 1, kFlashChunk);
    return result;
}

int flashProgram48(Screen &screen, uint32_t address, uint8_t count, const uint8_t data[kFlashChunk], int tries)
{
    uint8_t command[6 + kFlashChunk] = {kConfigMemory, uint8_t(count + 3), 0x00, uint8_t(address >> 16),
                                        uint8_t(address >> 8), uint8_t(address)};
    std::memcpy(command + 6, data, kFlashChunk);
    return commandThenStatus(screen, command, sizeof command, tries);
}

int writeConfigLine(Screen &screen, uint16_t address, const uint8_t data[16], int tries)
{
    uint8_t command[21] = {kConfigMemory, 0x12, 0x00, uint8_t(address >> 8), uint8_t(address)};
    std::memcpy(command + 5, data, 16);
    return commandThenStatus(screen, command, sizeof command, tries);
}

int readConfig(Screen &screen, uint16_t address, uint8_t count, uint8_t *out, int tries)
{
    if (count == 0 || count > 8)
        return LIBUSB_ERROR_INVALID_PARAM;
    const uint8_t command[5] = {kConfigMemory, 0x02, count, uint8_t(address >> 8), uint8_t(address)};
    uint8_t reply[9] = {};
    const int result = screen.exchange([&](Wire &w) {
        return withRetries(tries, [&] {
            int r = commandThenStatus(w, command, sizeof command);
            if (r < 0)
                return r;
            r = bridgeData(w.handle(), reply, uint16_t(count + 1), kControlTimeoutMs);
            return r >= 0 && r < count + 1 ? int(LIBUSB_ERROR_IO) : r; // a short answer is no answer for a check
        });
    });
    if (result >= 0)
        std::memcpy(out, reply + 1, count);
    return result;
}

QString formatDeviceId(const uint8_t id[8])
{
    return QString::asprintf("%02x%02x-%02x%02x-%02x%02x%02x%02x", id[0], id[1], id[2], id[3], id[4], id[5], id[6],
                             id[7]);
}

QString readDeviceId(Screen &screen, bool *whole)
{
    const uint8_t command[5] = {kConfigMemory, 0x02, 0x08, 0x1F, 0xF0};
    uint8_t reply[9];
    const int got = bridgeRead(screen, command, sizeof command, reply, sizeof reply, kDisplayTimeoutMs);
    if (whole)
        *whole = got == int(sizeof reply);
    return formatDeviceId(reply + 1);
}

} // namespace screenlink
