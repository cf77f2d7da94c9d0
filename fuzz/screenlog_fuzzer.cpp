// The screen log: the length the screen reports and the chunks it hands
// out, assembled into the fixed buffer that is saved.
//
// Input: the 4-byte length reply, then the chunks' bytes in order (zeros
// once the input is used up).
#include "fuzzcheck.h"
#include "screenlog.h"

#include <algorithm>
#include <cstring>

using fuzzcheck::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::uint8_t reply[4] = {};
    std::memcpy(reply, data, std::min<std::size_t>(size, 4));
    const screenlog::Length length = screenlog::logLength(reply);
    require(length.reported == std::int32_t(fuzzcheck::word(reply)));
    require(length.bytes >= 0 && length.bytes <= screenlog::kBufferSize);
    if (length.reported >= 0 && length.reported <= screenlog::kBufferSize)
        require(length.bytes == length.reported);

    const std::uint8_t *chunks = data + std::min<std::size_t>(size, 4);
    const std::size_t chunkBytes = size - std::min<std::size_t>(size, 4);
    std::uint32_t expected = 0;
    // Also lengths the clamp would not let through, straight from the input.
    for (const int asked : {length.bytes, int(length.reported)}) {
        expected = 0;
        const QByteArray log = screenlog::assembleLog(asked, [&](std::uint32_t offset, std::uint8_t *chunk) {
            require(offset == expected && offset < std::uint32_t(screenlog::kBufferSize));
            expected += screenlog::kChunkSize;
            if (offset < chunkBytes)
                std::memcpy(chunk, chunks + offset, std::min<std::size_t>(screenlog::kChunkSize, chunkBytes - offset));
        });
        require(log.size() == screenlog::kBufferSize);
        const std::size_t filled = std::min<std::size_t>(expected, screenlog::kBufferSize);
        const std::size_t copied = std::min(filled, chunkBytes);
        require(std::equal(chunks, chunks + copied, reinterpret_cast<const std::uint8_t *>(log.constData())));
        require(std::all_of(log.constData() + copied, log.constData() + log.size(), [](char c) { return c == 0; }));
    }
    return 0;
}
