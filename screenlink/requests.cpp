#include "requests.h"

namespace screenlink {

namespace {

int out(libusb_device_handle *h, uint8_t request, const uint8_t *data, uint16_t length, unsigned timeout)
{
    // libusb takes a non-const buffer for both directions; OUT data is only read.
    return libusb_control_transfer(h, kRequestOut, request, 0, 0, const_cast<uint8_t *>(data), length, timeout);
}

int in(libusb_device_handle *h, uint8_t request, uint8_t *data, uint16_t length, unsigned timeout)
{
    return libusb_control_transfer(h, kRequestIn, request, 0, 0, data, length, timeout);
}

} // namespace

int readIdentString(libusb_device_handle *h, uint8_t reply[kIdentLength])
{
    return in(h, 0xA0, reply, kIdentLength, kControlTimeoutMs);
}

int setLogOffset(libusb_device_handle *h, uint32_t offset)
{
    const uint8_t data[4] = {uint8_t(offset), uint8_t(offset >> 8), uint8_t(offset >> 16), uint8_t(offset >> 24)};
    return out(h, 0xA5, data, 4, kDisplayTimeoutMs);
}

int readLogChunk(libusb_device_handle *h, uint8_t reply[kLogChunk])
{
    return in(h, 0xA6, reply, kLogChunk, kDisplayTimeoutMs);
}

int readLogLength(libusb_device_handle *h, uint8_t reply[4])
{
    return in(h, 0xA7, reply, 4, kDisplayTimeoutMs);
}

int requestReboot(libusb_device_handle *h)
{
    const uint8_t data[1] = {0xE5};
    return out(h, 0xAA, data, 1, kControlTimeoutMs);
}

int sendDisplayOn(libusb_device_handle *h)
{
    const uint8_t data[2] = {0x00, 0x29};
    return out(h, 0xB0, data, 2, kDisplayTimeoutMs);
}

int sendFrameHeader(libusb_device_handle *h, uint32_t count, uint8_t byte5)
{
    const uint8_t data[6] = {0x00, 0x2C, uint8_t(count), uint8_t(count >> 8), uint8_t(count >> 16), byte5};
    return out(h, 0xB0, data, 6, kDisplayTimeoutMs);
}

int sendFrameHeader(libusb_device_handle *h, uint32_t count)
{
    return sendFrameHeader(h, count, uint8_t(count >> 24));
}

int sendFlip(libusb_device_handle *h, uint8_t flip)
{
    const uint8_t data[8] = {0x00, 0x36, 0x02, 0x00, 0x00, 0x00, flip, flip};
    return out(h, 0xB0, data, 8, kDisplayTimeoutMs);
}

int sendBacklight(libusb_device_handle *h, uint8_t level)
{
    const uint8_t data[8] = {0x00, 0x51, 0x02, 0x00, 0x00, 0x00, level, 0x00};
    return out(h, 0xB0, data, 8, kDisplayTimeoutMs);
}

int sendBulk(libusb_device_handle *h, const uint8_t *data, int length, unsigned timeoutMs)
{
    int transferred = 0;
    const int r = libusb_bulk_transfer(h, kFrameEndpoint, const_cast<uint8_t *>(data), length, &transferred, timeoutMs);
    return r < 0 ? r : transferred;
}

int bridgeCommand(libusb_device_handle *h, const uint8_t *command, uint16_t length, unsigned timeoutMs)
{
    return out(h, 0xB5, command, length, timeoutMs);
}

int bridgeStatus(libusb_device_handle *h, uint8_t *status, unsigned timeoutMs)
{
    return in(h, 0xB6, status, 1, timeoutMs);
}

int bridgeData(libusb_device_handle *h, uint8_t *reply, uint16_t length, unsigned timeoutMs)
{
    return in(h, 0xB7, reply, length, timeoutMs);
}

int setProgramming(libusb_device_handle *h, bool on)
{
    const uint8_t data[1] = {uint8_t(on ? 0xEF : 0x00)};
    return out(h, 0xB9, data, 1, kControlTimeoutMs);
}

int eraseStep(libusb_device_handle *h, uint8_t step)
{
    const uint8_t data[2] = {0xEE, step};
    return out(h, 0xBE, data, 2, kControlTimeoutMs);
}

} // namespace screenlink
