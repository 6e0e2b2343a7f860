#pragma once
// Little-endian fields in byte buffers: the one reader and writer of the link record, the DIAG and
// EFS requests and replies, the NV record and the simulator. Header only, no dependencies, so
// every layer can include it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace plat {

// Fixed offsets in a buffer the caller has sized (the offset plus the field must fit).
inline void PutLe16(std::span<uint8_t> out, size_t at, uint16_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(std::span<uint8_t> out, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t GetLe16(std::span<const uint8_t> in, size_t at) {
    return static_cast<uint16_t>(in[at] | (in[at + 1] << 8));
}
inline uint32_t GetLe32(std::span<const uint8_t> in, size_t at) {
    return static_cast<uint32_t>(in[at]) | static_cast<uint32_t>(in[at + 1]) << 8 |
           static_cast<uint32_t>(in[at + 2]) << 16 | static_cast<uint32_t>(in[at + 3]) << 24;
}

// Appended to a growing request or reply.
inline void AppendLe16(std::vector<uint8_t>& out, uint16_t v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    out.insert(out.end(), b, b + 2);
}
inline void AppendLe32(std::vector<uint8_t>& out, uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 24)};
    out.insert(out.end(), b, b + 4);
}

// Reads fields front to back. A read that would pass the end takes nothing, gives 0 and leaves
// the reader short: Ok() is false from then on, so a caller checks once after its reads.
class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> in) : m_in(in) {}

    uint8_t U8() { return Has(1) ? m_in[m_pos++] : 0; }
    uint16_t U16() {
        if (!Has(2)) return 0;
        const uint16_t v = GetLe16(m_in, m_pos);
        m_pos += 2;
        return v;
    }
    uint32_t U32() {
        if (!Has(4)) return 0;
        const uint32_t v = GetLe32(m_in, m_pos);
        m_pos += 4;
        return v;
    }
    // The next `n` bytes (empty when fewer are left).
    std::span<const uint8_t> Bytes(size_t n) {
        if (!Has(n)) return {};
        const auto part = m_in.subspan(m_pos, n);
        m_pos += n;
        return part;
    }
    void Skip(size_t n) { Bytes(n); }
    // Whatever is left.
    std::span<const uint8_t> Rest() { return Bytes(Left()); }

    size_t Left() const { return m_in.size() - m_pos; }
    bool Ok() const { return !m_bShort; }

private:
    bool Has(size_t n) {
        if (!m_bShort && n <= Left()) return true;
        m_bShort = true;
        return false;
    }

    std::span<const uint8_t> m_in;
    size_t m_pos = 0;
    bool m_bShort = false;
};

}  // namespace plat
