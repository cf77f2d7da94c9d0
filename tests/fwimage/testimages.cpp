#include "testimages.h"

#include "splice.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include <unistd.h>

namespace testimages {

std::uint32_t get32(const Bytes &image, std::size_t at)
{
    return std::uint32_t(image.at(at)) | std::uint32_t(image.at(at + 1)) << 8 | std::uint32_t(image.at(at + 2)) << 16 |
           std::uint32_t(image.at(at + 3)) << 24;
}

void put32(Bytes &image, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        image.at(at + std::size_t(i)) = std::uint8_t(value >> (8 * i));
}

Bytes pattern(std::size_t size, std::uint8_t seed)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = std::uint8_t(seed * 31 + i * 7 + (i >> 8));
    return bytes;
}

Bytes telvImage(const ImageLayout &layout)
{
    Bytes image(layout.size, layout.fill);
    put32(image, 0, 0xEA000016);
    image[4] = 'e';
    image[5] = 'G';
    image[6] = 'O';
    image[7] = 'N';
    put32(image, 16, layout.bootLength);
    put32(image, 0xF0C, layout.position - 0xF10);
    std::size_t at = layout.position;
    std::uint32_t tag = 1;
    for (const Bytes &payload : layout.payloads) {
        put32(image, at, 0xB10C0000 | tag++);
        put32(image, at + 4, std::uint32_t(payload.size()));
        std::copy(payload.begin(), payload.end(), image.begin() + std::ptrdiff_t(at + 8));
        at += 8 + payload.size();
    }
    return image;
}

std::size_t blockStart(const Bytes &image, std::uint32_t position, int index)
{
    std::size_t at = position;
    for (int i = 0; i < index; ++i)
        at += 8 + get32(image, at + 4);
    return at;
}

std::uint32_t expectedChecksum(const Bytes &image)
{
    const std::size_t length = get32(image, 16);
    // The seed stands in for the checksum word, so it only counts when the
    // region reaches that word.
    std::uint32_t sum = length > 12 ? 0x5F0A6C39 : 0;
    for (std::size_t at = 0; at < length; at += 4) {
        if (at != 12)
            sum += get32(image, at);
    }
    return sum;
}

Bytes handMerge(const Bytes &official, std::uint32_t officialPosition, const Bytes &customised,
                std::uint32_t customisedPosition)
{
    const std::size_t headEnd = blockStart(official, officialPosition, 2);
    const std::size_t logoStart = blockStart(customised, customisedPosition, 2);
    const std::size_t logoEnd = blockStart(customised, customisedPosition, 3);
    Bytes out;
    out.reserve(headEnd + logoEnd - logoStart);
    out.insert(out.end(), official.begin(), official.begin() + std::ptrdiff_t(headEnd));
    out.insert(out.end(), customised.begin() + std::ptrdiff_t(logoStart), customised.begin() + std::ptrdiff_t(logoEnd));
    if (out.size() < BootRegion)
        out.resize(BootRegion, 0xFF);
    put32(out, 16, (get32(out, 16) + 511) / 512 * 512);
    put32(out, 12, expectedChecksum(out));
    return out;
}

std::string captureStdout(const std::function<void()> &action)
{
    std::cout.flush();
    std::fflush(stdout);
    std::FILE *sink = std::tmpfile();
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    action();
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    std::string text;
    std::rewind(sink);
    for (int c = std::fgetc(sink); c != EOF; c = std::fgetc(sink))
        text.push_back(char(c));
    std::fclose(sink);
    return text;
}

Bytes upgradeTelvImage(std::size_t size)
{
    ImageLayout layout;
    layout.size = size;
    layout.position = 0x1000;
    layout.bootLength = 0x5E00;
    layout.payloads = {pattern(64, 0x11), pattern(100, 0x22), pattern(900, 0x33)};
    Bytes image = telvImage(layout);
    for (std::size_t i = 0x2000; i < size; ++i)
        image[i] = std::uint8_t(i * 13 + 7);
    return image;
}

Bytes upgradeEepromImage()
{
    Bytes image = pattern(8192, 0x5C);
    image[0] = 0xC2;
    put32(image, 0x1FFC, 7);
    put32(image, 0x1FF8, 0);
    return image;
}

Bytes upgradedFlash(const Bytes &before, const Bytes &file)
{
    const auto block = fwimage::screenBlock(fwimage::ByteView(before.data(), BootRegion));
    const auto assembled = fwimage::spliceScreenBlock(block.value, file);
    return Bytes(assembled.value.buffer.begin(), assembled.value.buffer.begin() + assembled.value.writeLength);
}

bool startsWith(const Bytes &bytes, const Bytes &prefix)
{
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

} // namespace testimages
