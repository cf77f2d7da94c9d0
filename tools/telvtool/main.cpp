// telvtool: talks to a TELV screen that sits in its boot loader (USB
// 1f3a:efe8). Our stand-in for the vendor's tool, covering what panelctl
// asks of it:
//   telvtool id                        prints the screen identity
//   telvtool spinor write ADDRESS FILE erases, programs and verifies flash
//   telvtool reset                     restarts the screen
// Every failure prints a line with "ERROR" and exits with 1. Everything goes
// to standard output, since panelctl reads only that channel for "id".
//
// Boot loader protocol (vendor requests on interface 0; a flash address is
// wIndex << 16 | wValue):
//   IN  0x50 identity  value 0, index 0: ASCII identity, no terminator
//   OUT 0x51 erase     address of a 4 KiB sector, no data
//   OUT 0x52 program   address, 1-4096 bytes; only clears bits, so erase first
//   IN  0x53 read      address, 1-4096 bytes
//   OUT 0x54 reset     value 0, index 0, no data
#include "bootloadertool.h"
#include "devicelist.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr uint8_t kOut = 0x40; // vendor, host to device
constexpr uint8_t kIn = 0xC0;  // vendor, device to host
constexpr uint8_t kIdentity = 0x50;
constexpr uint8_t kErase = 0x51;
constexpr uint8_t kProgram = 0x52;
constexpr uint8_t kRead = 0x53;
constexpr uint8_t kReset = 0x54;

// The SPI NOR part every TELV screen carries.
constexpr uint32_t kFlashSize = 1u << 20;
constexpr uint32_t kSector = 4096;
constexpr uint32_t kChunk = 4096;
constexpr size_t kMaxIdentity = 64;
constexpr unsigned kTimeoutMs = 1000;
constexpr unsigned kEraseTimeoutMs = 3000; // a real sector erase takes tens of milliseconds

using bootloadertool::fail;

std::string hex(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%06x", unsigned(v));
    return text;
}

[[noreturn]] void usage()
{
    std::printf("usage: telvtool id\n"
                "       telvtool spinor write ADDRESS FILE   (ADDRESS a multiple of 4096, e.g. 0)\n"
                "       telvtool reset\n");
    fail("unknown command line");
}

class BootLoader {
public:
    BootLoader()
    {
        if (!m_usb)
            fail(std::string("cannot start libusb: ") + libusb_error_name(m_usb.initError()));
        m_handle = bootloadertool::openFirst(m_usb.get(), screenlink::kTelvBootLoaderId, "TELV screen");
    }

    std::string identity()
    {
        unsigned char text[kMaxIdentity];
        const int n = libusb_control_transfer(m_handle.get(), kIn, kIdentity, 0, 0, text, sizeof text, kTimeoutMs);
        if (n < 0)
            fail(std::string("identity request failed: ") + libusb_error_name(n));
        if (n == 0)
            fail("the screen sent an empty identity");
        for (int i = 0; i < n; ++i)
            if (text[i] <= 0x20 || text[i] >= 0x7F)
                fail("the screen sent an identity with unprintable characters");
        return std::string(reinterpret_cast<const char *>(text), size_t(n));
    }

    void erase(uint32_t address)
    {
        const int r = libusb_control_transfer(m_handle.get(), kOut, kErase, uint16_t(address), uint16_t(address >> 16),
                                              nullptr, 0, kEraseTimeoutMs);
        if (r < 0)
            fail("erase of the sector at " + hex(address) + " failed: " + libusb_error_name(r));
    }

    void program(uint32_t address, const uint8_t *data, uint16_t length)
    {
        // libusb takes a non-const buffer for both directions; OUT data is only read.
        const int r = libusb_control_transfer(m_handle.get(), kOut, kProgram, uint16_t(address),
                                              uint16_t(address >> 16), const_cast<uint8_t *>(data), length, kTimeoutMs);
        if (r < 0)
            fail("write at " + hex(address) + " failed: " + libusb_error_name(r));
        if (r != length)
            fail("write at " + hex(address) + " took " + std::to_string(r) + " of " + std::to_string(length) + " bytes");
    }

    void read(uint32_t address, uint8_t *data, uint16_t length)
    {
        const int r = libusb_control_transfer(m_handle.get(), kIn, kRead, uint16_t(address), uint16_t(address >> 16),
                                              data, length, kTimeoutMs);
        if (r < 0)
            fail("read at " + hex(address) + " failed: " + libusb_error_name(r));
        if (r != length)
            fail("read at " + hex(address) + " returned " + std::to_string(r) + " of " + std::to_string(length) + " bytes");
    }

    void reset()
    {
        const int r = libusb_control_transfer(m_handle.get(), kOut, kReset, 0, 0, nullptr, 0, kTimeoutMs);
        if (r < 0)
            fail(std::string("reset request failed: ") + libusb_error_name(r));
    }

private:
    screenlink::UsbContext m_usb;
    screenlink::DeviceHandle m_handle;
};

std::vector<uint8_t> readFile(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail(std::string("cannot open ") + path + ": " + std::generic_category().message(errno));
    std::vector<uint8_t> bytes;
    char block[65536];
    // Stops once past the flash size: enough to know the file is too big.
    while (bytes.size() <= kFlashSize && in.read(block, sizeof block).gcount() > 0)
        bytes.insert(bytes.end(), block, block + in.gcount());
    if (in.bad())
        fail(std::string("cannot read ") + path);
    return bytes;
}

bool parseAddress(const char *text, uint32_t *address)
{
    if (!*text || *text == '-' || *text == '+')
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull)
        return false;
    *address = uint32_t(v);
    return true;
}

int spinorWrite(const char *addressText, const char *path)
{
    uint32_t address = 0;
    if (!parseAddress(addressText, &address))
        fail(std::string("not an address: ") + addressText);
    if (address % kSector != 0)
        fail("address " + hex(address) + " is not at a 4096-byte sector start");
    if (address >= kFlashSize)
        fail("address " + hex(address) + " is beyond the " + std::to_string(kFlashSize) + "-byte flash");
    // The file is checked before the screen is touched: a refused image
    // leaves the flash as it was.
    const std::vector<uint8_t> image = readFile(path);
    if (image.empty())
        fail(std::string(path) + " is empty");
    if (image.size() > kFlashSize - address)
        fail(std::string(path) + " does not fit the flash from " + hex(address) + " ("
             + std::to_string(kFlashSize - address) + " bytes there)");
    const uint32_t length = uint32_t(image.size());

    BootLoader loader;
    const uint32_t end = address + length;
    const uint32_t eraseEnd = (end + kSector - 1) / kSector * kSector;
    std::printf("erasing %s-%s\n", hex(address).c_str(), hex(eraseEnd - 1).c_str());
    std::fflush(stdout);
    for (uint32_t at = address; at < eraseEnd; at += kSector)
        loader.erase(at);

    std::printf("writing %u bytes\n", unsigned(length));
    std::fflush(stdout);
    for (uint32_t done = 0; done < length; done += kChunk) {
        const uint32_t n = std::min(kChunk, length - done);
        loader.program(address + done, image.data() + done, uint16_t(n));
        if ((done + n) % (64 * 1024) == 0 || done + n == length) {
            std::printf("written %u of %u bytes\n", unsigned(done + n), unsigned(length));
            std::fflush(stdout);
        }
    }

    std::printf("verifying\n");
    std::fflush(stdout);
    std::vector<uint8_t> back(kChunk);
    for (uint32_t done = 0; done < length; done += kChunk) {
        const uint32_t n = std::min(kChunk, length - done);
        loader.read(address + done, back.data(), uint16_t(n));
        for (uint32_t i = 0; i < n; ++i) {
            if (back[i] != image[done + i]) {
                char detail[64];
                std::snprintf(detail, sizeof detail, " (wrote 0x%02x, read 0x%02x)", image[done + i], back[i]);
                fail("flash differs from the file at " + hex(address + done + i) + detail);
            }
        }
    }
    std::printf("done: %u bytes written from %s and verified\n", unsigned(length), hex(address).c_str());
    return 0;
}

int run(const std::vector<std::string> &args)
{
    if (args.size() == 1 && args[0] == "id") {
        BootLoader loader;
        const std::string identity = loader.identity();
        std::printf("%s\n", identity.c_str());
        return 0;
    }
    if (args.size() == 1 && args[0] == "reset") {
        BootLoader loader;
        loader.reset();
        std::printf("reset sent\n");
        return 0;
    }
    if (args.size() == 4 && args[0] == "spinor" && args[1] == "write")
        return spinorWrite(args[2].c_str(), args[3].c_str());
    usage();
}

} // namespace

int main(int argc, char *argv[])
{
    return bootloadertool::runMain(argc, argv, run);
}
