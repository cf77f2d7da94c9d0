#include "firmware.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

uint32_t get32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// xorshift: the same seed always gives the same unit.
uint32_t nextRandom(uint32_t &s)
{
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

constexpr uint32_t kImageSize = 0x8000;
constexpr uint32_t kBootLength = 0x6000;
constexpr uint32_t kLogoPointer = 0xF0; // logo area at 0x1000

} // namespace

uint32_t telvBootChecksum(const uint8_t *image, uint32_t bootLength)
{
    uint32_t sum = 0;
    for (uint32_t off = 0; off + 4 <= bootLength; off += 4)
        sum += off == 12 ? kBootChecksumSeed : get32(image + off);
    return sum;
}

std::vector<uint8_t> makeScreenBlockPayload(uint32_t seed)
{
    uint32_t s = seed ? seed : 0x1234567;
    std::vector<uint8_t> payload(120);
    const char tag[] = "LCD-TIMING";
    std::memcpy(payload.data(), tag, sizeof tag - 1);
    for (size_t i = sizeof tag; i < payload.size(); ++i)
        payload[i] = uint8_t(nextRandom(s));
    return payload;
}

std::string makeTelvIdentity(uint32_t seed)
{
    // Mixed so that the identity does not repeat the screen block's bytes.
    uint32_t s = seed ^ 0x9E3779B9u;
    if (s == 0)
        s = 1;
    for (int i = 0; i < 4; ++i)
        nextRandom(s); // neighbouring seeds start out alike
    std::string identity;
    char word[9];
    for (int i = 0; i < 3; ++i) {
        std::snprintf(word, sizeof word, "%08X", unsigned(nextRandom(s)));
        identity += word;
    }
    return identity;
}

std::vector<uint8_t> makeTelvImage(const std::vector<uint8_t> &screenBlock, uint32_t seed)
{
    std::vector<uint8_t> img(kImageSize, 0);
    uint32_t s = seed ? seed : 0xC0FFEE;
    for (uint32_t i = 0x20; i < kImageSize; ++i)
        img[i] = uint8_t(nextRandom(s) & 0x7F); // stand-in for code and data
    put32(img, 0, 0xEA000016);                  // ARM branch over the header
    std::memcpy(img.data() + 4, "eGON.BT0", 8);
    put32(img, 16, kBootLength);
    put32(img, kLogoPointerOffset, kLogoPointer);

    size_t at = kLogoBase + kLogoPointer;
    auto block = [&](const char head[4], const std::vector<uint8_t> &payload) {
        std::memcpy(img.data() + at, head, 4);
        put32(img, at + 4, uint32_t(payload.size()));
        std::memcpy(img.data() + at + 8, payload.data(), payload.size());
        at += 8 + payload.size();
    };
    block("SCRN", screenBlock);
    block("CONF", std::vector<uint8_t>(200, 0x5A));
    std::vector<uint8_t> logo(2048);
    for (size_t i = 0; i < logo.size(); ++i)
        logo[i] = uint8_t(i * 7);
    block("LOGO", logo);

    put32(img, 12, telvBootChecksum(img.data(), kBootLength));
    return img;
}

bool telvImageBootable(const std::vector<uint8_t> &flash)
{
    if (flash.size() < 32 || flash[0] != 0x16)
        return false;
    const uint32_t bootLength = get32(flash.data() + 16);
    if (bootLength == 0 || bootLength % 512 != 0 || bootLength > flash.size())
        return false;
    return get32(flash.data() + 12) == telvBootChecksum(flash.data(), bootLength);
}

std::vector<uint8_t> makeK2tEeprom(uint32_t sizeCode, int32_t variantCode, const uint8_t deviceId[8])
{
    std::vector<uint8_t> e(8192, 0xFF);
    e[0] = 0xC2;
    // C2 header: VID, PID, DID and config byte, then a first load record.
    const uint8_t header[] = {0xC2, 0x72, 0xC8, 0x04, 0x10, 0x00, 0x00, 0x04};
    std::memcpy(e.data(), header, sizeof header);
    for (size_t i = 8; i < 0x1F00; ++i)
        e[i] = uint8_t(i * 13 + 1);
    std::memcpy(e.data() + 0x1FF0, deviceId, 8);
    put32(e, 0x1FF8, uint32_t(variantCode));
    put32(e, 0x1FFC, sizeCode);
    return e;
}

bool k2tEepromBootable(const std::vector<uint8_t> &eeprom)
{
    return eeprom.size() == 8192 && eeprom[0] == 0xC2;
}

} // namespace sim
