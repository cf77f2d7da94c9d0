#include "castframes.h"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

// SPA's inline helpers are C: casts of the old kind.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace telvdrv {

namespace {

// Whether the buffer says its picture differs from the one before. One
// without damage can only be assumed to.
bool saysChanged(const spa_buffer *buffer)
{
    spa_meta *damage = spa_buffer_find_meta(buffer, SPA_META_VideoDamage);
    if (!damage)
        return true;
    spa_meta_region *region = nullptr;
    spa_meta_for_each(region, damage)
    {
        if (!spa_meta_region_is_valid(region))
            break;
        return true;
    }
    return false;
}

// Something to copy: not marked corrupt, not empty (a compositor sends
// empty buffers when only the pointer moved).
bool holdsAPicture(const spa_buffer *buffer)
{
    const auto *header =
        static_cast<const spa_meta_header *>(spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED))
        return false;
    if (buffer->n_datas < 1 || !buffer->datas)
        return false;
    const spa_chunk *chunk = buffer->datas[0].chunk;
    return chunk && chunk->size > 0 && !(chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
}

// Reads through the descriptor, not the mapping: a compositor that cuts
// its memfd short under us then gives a short read instead of SIGBUS.
bool readAt(int fd, uint8_t *to, size_t bytes, uint64_t at)
{
    while (bytes > 0) {
        const ssize_t n = pread(fd, to, bytes, off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        to += n;
        bytes -= size_t(n);
        at += uint64_t(n);
    }
    return true;
}

} // namespace

void CastFrames::setFormat(int width, int height)
{
    m_width = width > 0 && height > 0 ? width : 0;
    m_height = width > 0 && height > 0 ? height : 0;
    m_takenOne = false;
}

void CastFrames::skip(const spa_buffer *buffer)
{
    m_changePending |= saysChanged(buffer);
}

CastFrames::Outcome CastFrames::take(const spa_buffer *buffer, std::vector<uint8_t> &picture, std::string *why)
{
    m_changePending |= saysChanged(buffer);
    if (m_width == 0 || (m_takenOne && !m_changePending) || !holdsAPicture(buffer))
        return Outcome::Unchanged;

    const spa_data &d = buffer->datas[0];
    const spa_chunk &chunk = *d.chunk;
    const size_t row = size_t(m_width) * 4;
    if (chunk.stride < 0 || (chunk.stride > 0 && size_t(chunk.stride) < row)) {
        *why = "rows of " + std::to_string(chunk.stride) + " bytes for a picture " + std::to_string(m_width)
               + " pixels wide";
        return Outcome::Refused;
    }
    const size_t stride = chunk.stride > 0 ? size_t(chunk.stride) : row;
    const size_t offset = chunk.offset;
    // The picture must lie inside both what the compositor filled and
    // what it mapped; compared so that nothing wraps.
    const size_t room = offset > d.maxsize ? 0 : std::min<size_t>(chunk.size, d.maxsize - offset);
    if (room < row || (room - row) / stride < size_t(m_height - 1)) {
        *why = "a " + std::to_string(m_width) + "x" + std::to_string(m_height) + " picture in " + std::to_string(room)
               + " bytes";
        return Outcome::Refused;
    }

    const size_t bytes = row * size_t(m_height);
    if (picture.size() < bytes)
        picture.resize(bytes);
    if (d.type == SPA_DATA_MemFd && d.fd >= 0) {
        const uint64_t start = uint64_t(d.mapoffset) + offset;
        const bool whole = stride == row ? readAt(int(d.fd), picture.data(), bytes, start) : [&] {
            for (int y = 0; y < m_height; ++y)
                if (!readAt(int(d.fd), picture.data() + size_t(y) * row, row, start + uint64_t(y) * stride))
                    return false;
            return true;
        }();
        if (!whole) {
            *why = "its memory was cut short";
            return Outcome::Refused;
        }
    } else if (d.type == SPA_DATA_MemPtr && d.data) {
        const auto *from = static_cast<const uint8_t *>(d.data) + offset;
        for (int y = 0; y < m_height; ++y)
            std::memcpy(picture.data() + size_t(y) * row, from + size_t(y) * stride, row);
    } else {
        *why = "memory of a kind not asked for";
        return Outcome::Refused;
    }
    m_takenOne = true;
    m_changePending = false;
    return Outcome::Taken;
}

} // namespace telvdrv
