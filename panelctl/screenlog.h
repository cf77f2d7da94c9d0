#pragma once

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <optional>

// Copying the screen log: the length the screen reports and the chunks it
// hands out, assembled with no USB and no widgets.
namespace screenlog {

inline constexpr int kBufferSize = 131072;
inline constexpr int kChunkSize = 64;

struct Length {
    int32_t reported = 0; // the screen's little-endian word as it stands
    int bytes = 0;        // what is read and saved: 0 to kBufferSize
};

// The length is the screen's word: kept within the buffer whatever it says.
Length logLength(const uint8_t reply[4]);

// Reads `length` bytes (0 to kBufferSize) chunk by chunk; readChunk is told
// the offset of each, fills its kChunkSize bytes and says whether the
// screen delivered them all. Returns exactly `length` bytes, or nullopt at
// the first chunk that failed: a log with holes in it is no log.
std::optional<QByteArray> assembleLog(int length,
                                      const std::function<bool(uint32_t offset, uint8_t *chunk)> &readChunk);

} // namespace screenlog
