#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct spa_buffer;

// What a screen cast's buffers hold, judged apart from PipeWire: the
// compositor on the other end says where the picture lies and what
// changed, and neither is taken on trust.
namespace telvdrv {

class CastFrames {
public:
    enum class Outcome {
        Taken,     // the newest picture is in the caller's buffer
        Unchanged, // nothing new, or nothing to copy yet
        Refused,   // the newest buffer lies about its memory
    };

    // The format the stream settled on, BGRx or BGRA; 0 x 0 for none that
    // is usable. The next picture is taken whatever its damage says.
    void setFormat(int width, int height);
    int width() const { return m_width; }
    int height() const { return m_height; }

    // A buffer given back uncopied because a newer one came: what it says
    // changed is in the newer ones, whatever their own damage says.
    void skip(const spa_buffer *buffer);

    // Copies the picture of `buffer` into `picture` (rows of width * 4
    // bytes, grown when too small) when it, or a buffer skipped since the
    // last picture, says something changed. `why` tells what a refused
    // buffer got wrong.
    Outcome take(const spa_buffer *buffer, std::vector<uint8_t> &picture, std::string *why);

private:
    int m_width = 0;
    int m_height = 0;
    bool m_takenOne = false;
    bool m_changePending = false;
};

} // namespace telvdrv
