#pragma once

#include <cstddef>
#include <cstdint>

// What every fuzz target shares: a broken promise stops the run like a
// crash, and the input is read as little-endian words.
namespace fuzzcheck {

inline void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

inline std::uint32_t word(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// Takes the next word of the input, or 0 once it is used up.
class Reader {
public:
    Reader(const std::uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}

    std::uint32_t next()
    {
        if (m_size < 4) {
            m_size = 0;
            return 0;
        }
        const std::uint32_t w = word(m_data);
        m_data += 4;
        m_size -= 4;
        return w;
    }
    const std::uint8_t *data() const { return m_data; }
    std::size_t size() const { return m_size; }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
};

} // namespace fuzzcheck
