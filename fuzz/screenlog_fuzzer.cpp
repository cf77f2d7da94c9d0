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
    const session::LogLength length = session::logLength(reply);
    require(length.reported == std::int32_t(fuzzcheck::word(reply)));
    require(length.bytes >= 0 && length.bytes <= session::kLogBufferSize);
    if (length.reported >= 0 && length.reported <= session::kLogBufferSize)
        require(length.bytes == length.reported);

    const std::uint8_t *chunks = data + std::min<std::size_t>(size, 4);
    const std::size_t chunkBytes = size - std::min<std::size_t>(size, 4);
    // Also lengths the clamp would not let through, straight from the input.
    // A chunk the input does not cover in full counts as a failed read.
    for (const int asked : {length.bytes, int(length.reported)}) {
        std::uint32_t expected = 0;
        bool failed = false;
        const auto log = session::assembleLog(asked, [&](std::uint32_t offset, std::uint8_t *chunk) {
            require(!failed && offset == expected && offset < std::uint32_t(session::kLogBufferSize));
            expected += session::kLogChunkSize;
            if (offset + session::kLogChunkSize > chunkBytes) {
                failed = true;
                return false;
            }
            std::memcpy(chunk, chunks + offset, session::kLogChunkSize);
            return true;
        });
        const int wanted = std::clamp(asked, 0, session::kLogBufferSize);
        require(log.has_value() == !failed);
        if (!log)
            continue;
        require(log->size() == wanted);
        require(std::equal(chunks, chunks + wanted, reinterpret_cast<const std::uint8_t *>(log->constData())));
    }
    return 0;
}
