#include "model/line_record.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_order.h"

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

int32_t LineRecord::GetInt(size_t offset) const { return static_cast<int32_t>(plat::GetLe32(m_bytes, offset)); }

void LineRecord::SetInt(size_t offset, int32_t value) { plat::PutLe32(m_bytes, offset, static_cast<uint32_t>(value)); }

void LineRecord::Load(std::span<const unsigned char, LINE_RECORD_SIZE> bytes) {
    std::copy(bytes.begin(), bytes.end(), m_bytes.begin());
}
