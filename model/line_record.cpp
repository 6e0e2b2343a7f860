#include "model/line_record.h"

#include <algorithm>
#include <cstring>

std::string LineRecord::GetText(TextField f) const {
    const auto* begin = m_bytes.data() + f.offset;
    const auto* end = std::find(begin, begin + f.size, 0);
    return std::string(reinterpret_cast<const char*>(begin), static_cast<size_t>(end - begin));
}

bool LineRecord::SetText(TextField f, const std::string& text) {
    if (text.size() >= f.size) return false;
    std::memset(m_bytes.data() + f.offset, 0, f.size);
    std::memcpy(m_bytes.data() + f.offset, text.data(), text.size());
    return true;
}

int32_t LineRecord::GetInt(size_t offset) const {
    const uint32_t v = static_cast<uint32_t>(m_bytes[offset]) |
                       (static_cast<uint32_t>(m_bytes[offset + 1]) << 8) |
                       (static_cast<uint32_t>(m_bytes[offset + 2]) << 16) |
                       (static_cast<uint32_t>(m_bytes[offset + 3]) << 24);
    return static_cast<int32_t>(v);
}

void LineRecord::SetInt(size_t offset, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) m_bytes[offset + i] = static_cast<unsigned char>(v >> (8 * i));
}

void LineRecord::Load(std::span<const unsigned char, LINE_RECORD_SIZE> bytes) {
    std::copy(bytes.begin(), bytes.end(), m_bytes.begin());
}
