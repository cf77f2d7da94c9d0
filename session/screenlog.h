#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

namespace screenlink {
class Screen;
}

// Copying the screen log: the length the screen reports and the chunks it
// hands out.
namespace session {

inline constexpr int kLogBufferSize = 131072;
inline constexpr int kLogChunkSize = 64;

struct LogLength {
    int32_t reported = 0; // the screen's little-endian word as it stands
    int bytes = 0;        // what is read and saved: 0 to kLogBufferSize
};

// The length is the screen's word: kept within the buffer whatever it says.
LogLength logLength(const uint8_t reply[4]);

// Reads `length` bytes (0 to kLogBufferSize) chunk by chunk; readChunk is
// told the offset of each, fills its kLogChunkSize bytes and says whether
// the screen delivered them all. Returns exactly `length` bytes, or nullopt
// at the first chunk that failed: a log with holes in it is no log.
std::optional<QByteArray> assembleLog(int length,
                                      const std::function<bool(uint32_t offset, uint8_t *chunk)> &readChunk);

// The whole log of `screen`; nullopt when any request failed or came back
// short, or `stop` was set before the last chunk.
std::optional<QByteArray> readLog(screenlink::Screen &screen, const std::atomic<bool> &stop);
std::optional<QByteArray> readLog(screenlink::Screen &screen);

} // namespace session
