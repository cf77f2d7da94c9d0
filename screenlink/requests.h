#pragma once

#include <libusb.h>

#include <cstdint>

// The screen's vendor requests, one function each, with the framing the
// screens expect: wValue and wIndex 0, request type 0x40 out and 0xC0 in.
// Every function returns libusb's result: the byte count, or a negative
// libusb error.
namespace screenlink {

inline constexpr uint8_t kRequestOut = 0x40;
inline constexpr uint8_t kRequestIn = 0xC0;
inline constexpr uint8_t kFrameEndpoint = 0x02;
inline constexpr uint8_t kTouchEndpoint = 0x81;

inline constexpr unsigned kDisplayTimeoutMs = 100; // display commands, frames, identification, log
inline constexpr unsigned kControlTimeoutMs = 200; // identification string, reboot, programming

inline constexpr int kIdentLength = 64;
inline constexpr int kLogChunk = 64;

int readIdentString(libusb_device_handle *h, uint8_t reply[kIdentLength]); // 0xA0
int setLogOffset(libusb_device_handle *h, uint32_t offset);                 // 0xA5
int readLogChunk(libusb_device_handle *h, uint8_t reply[kLogChunk]);       // 0xA6
int readLogLength(libusb_device_handle *h, uint8_t reply[4]);               // 0xA7
int requestReboot(libusb_device_handle *h);                                 // 0xAA

// Screen commands, request 0xB0.
int sendDisplayOn(libusb_device_handle *h);                                 // 0x29
int sendFrameHeader(libusb_device_handle *h, uint32_t count, uint8_t byte5); // 0x2C
int sendFrameHeader(libusb_device_handle *h, uint32_t count);
int sendFlip(libusb_device_handle *h, uint8_t flip);                        // 0x36
int sendBacklight(libusb_device_handle *h, uint8_t level);                  // 0x51
// Pixel data after a frame header, or raw throughput data.
int sendBulk(libusb_device_handle *h, const uint8_t *data, int length, unsigned timeoutMs = kDisplayTimeoutMs);

// The three steps of a bridge transaction. Take the screen's transaction
// lock around them (see Screen); bridge.h does so.
int bridgeCommand(libusb_device_handle *h, const uint8_t *command, uint16_t length, unsigned timeoutMs); // 0xB5
int bridgeStatus(libusb_device_handle *h, uint8_t *status, unsigned timeoutMs);                          // 0xB6
int bridgeData(libusb_device_handle *h, uint8_t *reply, uint16_t length, unsigned timeoutMs);            // 0xB7

int setProgramming(libusb_device_handle *h, bool on); // 0xB9
int eraseStep(libusb_device_handle *h, uint8_t step); // 0xBE

// Runs `request` (returning libusb's result) up to `tries` times while it
// fails, each time with its own timeout: one glitch on the cable must not
// end a flash write halfway. A screen that is gone fails at once.
template <typename Request>
int withRetries(int tries, Request &&request)
{
    int r = LIBUSB_ERROR_OTHER;
    for (int attempt = 0; attempt < tries; ++attempt) {
        r = request();
        if (r >= 0 || r == LIBUSB_ERROR_NO_DEVICE)
            break;
    }
    return r;
}

} // namespace screenlink
