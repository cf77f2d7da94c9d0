// eeprom: writes the 8 KiB EEPROM of a K2T/K5TX screen that sits in its boot
// loader (USB 04b4:8613). Our stand-in for the vendor's tool, covering what
// panelctl asks of it:
//   eeprom w FILE   writes FILE, reads it back and compares
// Every failure prints a line with "ERROR" and exits with 1; panelctl reads
// standard output and error merged and looks only at those words, so a
// successful run never prints them. The new image runs after a power cycle.
//
// Boot loader protocol (vendor requests on interface 0, EEPROM address in
// wValue, wIndex 0):
//   OUT 0x60 write  1-64 bytes
//   IN  0x61 read   1-64 bytes
#include "bootloadertool.h"
#include "devicelist.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr uint8_t kOut = 0x40; // vendor, host to device
constexpr uint8_t kIn = 0xC0;  // vendor, device to host
constexpr uint8_t kWrite = 0x60;
constexpr uint8_t kRead = 0x61;

constexpr size_t kEepromSize = 8192;
constexpr size_t kChunk = 64;
constexpr uint8_t kBootFormat = 0xC2; // the boot ROM loads only this format
constexpr unsigned kTimeoutMs = 1000;

using bootloadertool::fail;

std::string hex(size_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04zx", v);
    return text;
}

std::vector<uint8_t> readImage(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail("cannot open " + path + ": " + std::generic_category().message(errno));
    std::vector<uint8_t> bytes(kEepromSize + 1);
    // One byte more than an image: enough to tell that the file is too long.
    in.read(reinterpret_cast<char *>(bytes.data()), std::streamsize(bytes.size()));
    if (in.bad())
        fail("cannot read " + path);
    bytes.resize(size_t(in.gcount()));
    if (bytes.size() != kEepromSize)
        fail(path + (bytes.size() > kEepromSize ? " is longer than" : " is shorter than") + " an EEPROM image of "
             + std::to_string(kEepromSize) + " bytes");
    if (bytes[0] != kBootFormat) {
        char detail[64];
        std::snprintf(detail, sizeof detail, " starts with 0x%02x, not 0x%02x", bytes[0], kBootFormat);
        fail(path + detail + ": not a bootable EEPROM image");
    }
    return bytes;
}

int writeImage(const std::string &path)
{
    // The image is checked before the screen is touched: a refused file
    // leaves the EEPROM as it was.
    const std::vector<uint8_t> image = readImage(path);
    screenlink::UsbContext usb;
    if (!usb)
        fail(std::string("cannot start libusb: ") + libusb_error_name(usb.initError()));
    screenlink::DeviceHandle h = bootloadertool::openFirst(usb.get(), screenlink::kK2tBootLoaderId, "K2T/K5TX screen");

    std::printf("writing %zu bytes\n", kEepromSize);
    std::fflush(stdout);
    for (size_t at = 0; at < kEepromSize; at += kChunk) {
        // libusb takes a non-const buffer for both directions; OUT data is only read.
        const int r = libusb_control_transfer(h.get(), kOut, kWrite, uint16_t(at), 0,
                                              const_cast<uint8_t *>(image.data() + at), uint16_t(kChunk), kTimeoutMs);
        if (r < 0)
            fail("write at " + hex(at) + " failed: " + libusb_error_name(r));
        if (size_t(r) != kChunk)
            fail("write at " + hex(at) + " took " + std::to_string(r) + " of " + std::to_string(kChunk) + " bytes");
        if ((at + kChunk) % 2048 == 0) {
            std::printf("written %zu of %zu\n", at + kChunk, kEepromSize);
            std::fflush(stdout);
        }
    }

    std::printf("verifying\n");
    std::fflush(stdout);
    uint8_t back[kChunk];
    for (size_t at = 0; at < kEepromSize; at += kChunk) {
        const int r = libusb_control_transfer(h.get(), kIn, kRead, uint16_t(at), 0, back, uint16_t(kChunk), kTimeoutMs);
        if (r < 0)
            fail("read at " + hex(at) + " failed: " + libusb_error_name(r));
        if (size_t(r) != kChunk)
            fail("read at " + hex(at) + " returned " + std::to_string(r) + " of " + std::to_string(kChunk) + " bytes");
        for (size_t i = 0; i < kChunk; ++i) {
            if (back[i] != image[at + i]) {
                char detail[64];
                std::snprintf(detail, sizeof detail, " (wrote 0x%02x, read 0x%02x)", image[at + i], back[i]);
                fail("EEPROM differs from the file at " + hex(at + i) + detail);
            }
        }
    }
    std::printf("done: %zu bytes written and verified; power-cycle the screen to run them\n", kEepromSize);
    return 0;
}

int run(const std::vector<std::string> &args)
{
    if (args.size() == 2 && args[0] == "w")
        return writeImage(args[1]);
    std::printf("usage: eeprom w FILE   (FILE: an 8192-byte image starting with 0xC2)\n");
    fail("unknown command line");
}

} // namespace

int main(int argc, char *argv[])
{
    return bootloadertool::runMain(argc, argv, run);
}
