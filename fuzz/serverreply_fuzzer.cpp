// The firmware server's reply, as it arrives: the Base64 text between its
// markers, the screen block decoded from it, and the splice of an accepted
// block into a fixed valid firmware image, as a boot-loader upgrade does.
#include "fuzzcheck.h"
#include "serverreply.h"
#include "splice.h"

#include <string>

using namespace fwimage;
using fuzzcheck::require;
using fuzzcheck::word;

namespace {

void put32(Bytes &image, std::size_t at, std::uint32_t value)
{
    for (std::size_t i = 0; i < 4; ++i)
        image[at + i] = std::uint8_t(value >> (8 * i));
}

constexpr std::uint32_t kPosition = 0x1000;
constexpr std::size_t kOwnBlockPayload = 0x300;

// A firmware file longer than the boot region, its logo chain at 0x1000:
// the screen block, then two more blocks.
const Bytes &firmwareFile()
{
    static const Bytes file = [] {
        Bytes image(0x9000, 0x5A);
        put32(image, BranchOffset, BootBranch);
        put32(image, MagicOffset, BootMagic);
        put32(image, BootLengthOffset, 0x2000);
        put32(image, LogoPointerOffset, kPosition - LogoBase);
        std::size_t at = kPosition;
        for (const std::size_t payload : {kOwnBlockPayload, std::size_t(0x800), std::size_t(0x1400)}) {
            put32(image, at, 0xB10C0000);
            put32(image, at + 4, std::uint32_t(payload));
            at += BlockHeadSize + payload;
        }
        return image;
    }();
    return file;
}

std::string encodeBase64(const Bytes &bytes)
{
    static const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = std::uint32_t(bytes[i]) << 16;
        if (n > 1)
            group |= std::uint32_t(bytes[i + 1]) << 8;
        if (n > 2)
            group |= bytes[i + 2];
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= n ? alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return out;
}

bool checksumHolds(ByteView image)
{
    const std::size_t length = word(image.data() + BootLengthOffset);
    if (length % BootLengthAlign != 0 || length > image.size())
        return false;
    std::uint32_t sum = ChecksumSeed;
    for (std::size_t at = 0; at < length; at += 4) {
        if (at != ChecksumOffset)
            sum += word(image.data() + at);
    }
    return sum == word(image.data() + ChecksumOffset);
}

void checkDecode(std::string_view text)
{
    const Result<Bytes> decoded = decodeBase64(text);
    if (!decoded)
        return;
    require(decoded.value.size() <= text.size() / 4 * 3 + 2);
    // Whatever is accepted is the one canonical encoding of its bytes, give
    // or take padding and escaped slashes: encoding it again decodes the same.
    const Result<Bytes> again = decodeBase64(encodeBase64(decoded.value));
    require(again && again.value == decoded.value);
}

void checkSplice(const Bytes &block)
{
    const Bytes &file = firmwareFile();
    const Result<AssembledImage> assembled = spliceScreenBlock(block, file);
    // Any block the reply check lets through fits this image.
    require(assembled.ok());
    const AssembledImage &out = assembled.value;
    const std::size_t ownBlock = BlockHeadSize + kOwnBlockPayload;
    require(out.buffer.size() == ImageBufferSize);
    require(out.totalLength == file.size() - ownBlock + block.size());
    require(std::equal(block.begin(), block.end(), out.buffer.begin() + kPosition));
    require(std::equal(file.begin() + std::ptrdiff_t(kPosition + ownBlock), file.end(),
                       out.buffer.begin() + std::ptrdiff_t(kPosition + block.size())));
    require(out.writeLength >= out.totalLength && out.writeLength % WriteAlign == 0);
    require(checksumHolds(out.buffer));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view reply(reinterpret_cast<const char *>(data), size);
    checkDecode(reply);
    const Result<std::string_view> text = screenBlockText(reply);
    if (text) {
        require(text.value.data() >= reply.data() && text.value.data() + text.value.size() <= reply.data() + size);
        checkDecode(text.value);
    }
    const Result<Bytes> block = screenBlockFromReply(reply);
    if (!block)
        return 0;
    require(text.ok());
    const Bytes &b = block.value;
    require(b.size() > BlockHeadSize && b.size() <= BootRegionSize);
    require(word(b.data() + 4) == b.size() - BlockHeadSize);
    checkSplice(b);
    return 0;
}
