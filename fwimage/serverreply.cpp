#include "serverreply.h"

#include <array>

namespace fwimage {

namespace {

constexpr std::string_view kStart = "\":\"";
constexpr std::string_view kEnd = "\"}";

constexpr std::array<int8_t, 256> makeAlphabet()
{
    std::array<int8_t, 256> table{};
    for (auto &v : table)
        v = -1;
    const char *chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(chars[i])] = static_cast<int8_t>(i);
    return table;
}

constexpr std::array<int8_t, 256> kAlphabet = makeAlphabet();

} // namespace

Result<std::string_view> screenBlockText(std::string_view reply)
{
    const size_t start = reply.find(kStart);
    const size_t end = reply.find(kEnd);
    if (start == std::string_view::npos || end == std::string_view::npos || end < start + kStart.size())
        return failure<std::string_view>(Fault::NoReplyMarkers);
    return {reply.substr(start + kStart.size(), end - start - kStart.size())};
}

Result<Bytes> decodeBase64(std::string_view text)
{
    Bytes out;
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t bits = 0;
    int held = 0;
    size_t symbols = 0; // alphabet characters and padding so far
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (c == '\\' && next == '/') {
            continue; // JSON's escaped slash: the '/' follows
        }
        // Line breaks, as JSON escapes or as they stand, and blanks are what
        // encoders put between groups of four; inside a group they are not.
        const bool escapedBreak = c == '\\' && (next == 'n' || next == 'r');
        if (escapedBreak || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (symbols % 4 != 0)
                return failure<Bytes>(Fault::BadBase64);
            i += escapedBreak ? 1 : 0;
            continue;
        }
        ++symbols;
        if (c == '=') {
            ++padding;
            continue;
        }
        const int8_t v = kAlphabet[static_cast<unsigned char>(c)];
        if (v < 0 || padding > 0)
            return failure<Bytes>(Fault::BadBase64);
        bits = (bits << 6) | uint32_t(v);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(uint8_t(bits >> held));
        }
    }
    // Leftover bits must be the zero fill of a short last group, and the
    // padding must complete that group.
    if (held >= 6 || (bits & ((1u << held) - 1)) != 0 || padding > 2 || (padding > 0 && symbols % 4 != 0))
        return failure<Bytes>(Fault::BadBase64);
    return {std::move(out)};
}

Result<Bytes> screenBlockFromReply(std::string_view reply)
{
    const auto text = screenBlockText(reply);
    if (!text)
        return failure<Bytes>(text.fault);
    auto block = decodeBase64(text.value);
    if (!block)
        return block;
    const Bytes &b = block.value;
    if (b.size() < BlockHeadSize + 1)
        return failure<Bytes>(Fault::BlockTooShort);
    if (b.size() > BootRegionSize)
        return failure<Bytes>(Fault::BlockTooLarge);
    const uint64_t length = uint64_t(b[4]) | uint64_t(b[5]) << 8 | uint64_t(b[6]) << 16 | uint64_t(b[7]) << 24;
    if (length != b.size() - BlockHeadSize)
        return failure<Bytes>(Fault::BlockLengthWrong);
    return block;
}

} // namespace fwimage
