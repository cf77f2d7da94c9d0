#include "screenlog.h"

#include "screen.h"

#include <QDebug>

#include <algorithm>
#include <cstring>

namespace session {

LogLength logLength(const uint8_t reply[4])
{
    LogLength l;
    l.reported = int32_t(uint32_t(reply[0]) | uint32_t(reply[1]) << 8 | uint32_t(reply[2]) << 16
                         | uint32_t(reply[3]) << 24);
    l.bytes = std::clamp(l.reported, 0, kLogBufferSize);
    return l;
}

std::optional<QByteArray> assembleLog(int length,
                                      const std::function<bool(uint32_t offset, uint8_t *chunk)> &readChunk)
{
    length = std::clamp(length, 0, kLogBufferSize);
    QByteArray log(length, '\0');
    for (int offset = 0; offset < length; offset += kLogChunkSize) {
        uint8_t chunk[kLogChunkSize] = {};
        if (!readChunk(uint32_t(offset), chunk))
            return std::nullopt;
        // The last chunk may reach past the log's end: only its head is kept.
        std::memcpy(log.data() + offset, chunk, size_t(std::min(kLogChunkSize, length - offset)));
    }
    return log;
}

std::optional<QByteArray> readLog(screenlink::Screen &screen, const std::atomic<bool> &stop)
{
    uint8_t lengthBytes[4] = {};
    if (screen.readLogLength(lengthBytes) != int(sizeof lengthBytes))
        return std::nullopt;
    const LogLength length = logLength(lengthBytes);
    if (length.reported > kLogBufferSize)
        qDebug() << "Screen log of" << length.reported << "bytes is cut to" << kLogBufferSize;
    return assembleLog(length.bytes, [&screen, &stop](uint32_t offset, uint8_t *chunk) {
        return !stop && screen.readLogChunk(offset, chunk) == kLogChunkSize;
    });
}

std::optional<QByteArray> readLog(screenlink::Screen &screen)
{
    const std::atomic<bool> never{false};
    return readLog(screen, never);
}

} // namespace session
