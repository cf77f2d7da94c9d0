#include "screenlog.h"

#include <algorithm>
#include <cstring>

namespace screenlog {

Length logLength(const uint8_t reply[4])
{
    Length l;
    l.reported = int32_t(uint32_t(reply[0]) | uint32_t(reply[1]) << 8 | uint32_t(reply[2]) << 16
                         | uint32_t(reply[3]) << 24);
    l.bytes = std::clamp(l.reported, 0, kBufferSize);
    return l;
}

std::optional<QByteArray> assembleLog(int length,
                                      const std::function<bool(uint32_t offset, uint8_t *chunk)> &readChunk)
{
    length = std::clamp(length, 0, kBufferSize);
    QByteArray log(length, '\0');
    for (int offset = 0; offset < length; offset += kChunkSize) {
        uint8_t chunk[kChunkSize] = {};
        if (!readChunk(uint32_t(offset), chunk))
            return std::nullopt;
        // The last chunk may reach past the log's end: only its head is kept.
        std::memcpy(log.data() + offset, chunk, size_t(std::min(kChunkSize, length - offset)));
    }
    return log;
}

} // namespace screenlog
