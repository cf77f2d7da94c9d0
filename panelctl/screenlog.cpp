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

QByteArray assembleLog(int length, const std::function<void(uint32_t offset, uint8_t *chunk)> &readChunk)
{
    QByteArray log(kBufferSize, '\0');
    length = std::clamp(length, 0, kBufferSize);
    for (int offset = 0; offset < length; offset += kChunkSize) {
        uint8_t chunk[kChunkSize] = {};
        readChunk(uint32_t(offset), chunk);
        // The last chunk may reach past the buffer's end: only its head fits.
        std::memcpy(log.data() + offset, chunk, size_t(std::min(kChunkSize, kBufferSize - offset)));
    }
    return log;
}

} // namespace screenlog
