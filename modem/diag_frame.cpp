#include "modem/diag_frame.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t v = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) v = (v & 1) ? static_cast<uint16_t>((v >> 1) ^ 0x8408) : static_cast<uint16_t>(v >> 1);
        table[i] = v;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x1189 && kCrcTable[255] == 0x0F78, "FCS-16 table of RFC 1662");

}  // namespace

uint16_t Crc16Update(uint16_t crc, std::span<const uint8_t> data) {
    for (uint8_t b : data) crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ b) & 0xFF]);
    return crc;
}

uint16_t Crc16X25(std::span<const uint8_t> data) {
    return static_cast<uint16_t>(~Crc16Update(0xFFFF, data));
}

std::vector<uint8_t> EncodeFrame(std::span<const uint8_t> payload, bool leadingFlag) {
    const uint16_t fcs = Crc16X25(payload);
    std::vector<uint8_t> out;
    out.reserve(payload.size() * 2 + 6);
    if (leadingFlag) out.push_back(DIAG_FLAG);
    auto put = [&out](uint8_t b) {
        if (b == DIAG_FLAG || b == DIAG_ESCAPE) {
            out.push_back(DIAG_ESCAPE);
            out.push_back(static_cast<uint8_t>(b ^ DIAG_ESCAPE_XOR));
        } else {
            out.push_back(b);
        }
    };
    for (uint8_t b : payload) put(b);
    put(static_cast<uint8_t>(fcs & 0xFF));
    put(static_cast<uint8_t>(fcs >> 8));
    out.push_back(DIAG_FLAG);
    return out;
}

DecodedFrame DecodeFrame(std::span<const uint8_t> bytes, bool downloadMode) {
    DecodedFrame result;
    size_t pos = 0;
    if (downloadMode && !bytes.empty() && bytes[0] == DIAG_FLAG) pos = 1;

    // Unescape everything after the (optional) leading flag: each 0x7D is dropped and the byte
    // after it (if any) taken XOR 0x20. The last decoded byte must then be the end flag; an
    // escaped 0x7E there passes this test and fails the checksum instead.
    std::vector<uint8_t> decoded;
    decoded.reserve(bytes.size());
    for (; pos < bytes.size(); ++pos) {
        const uint8_t b = bytes[pos];
        if (b != DIAG_ESCAPE) {
            decoded.push_back(b);
        } else if (pos + 1 < bytes.size()) {
            decoded.push_back(static_cast<uint8_t>(bytes[++pos] ^ DIAG_ESCAPE_XOR));
        }
    }
    if (decoded.empty() || decoded.back() != DIAG_FLAG) {
        result.error = DIAG_ERR_NO_END_FLAG;
        return result;
    }
    decoded.pop_back();
    if (decoded.size() < 2 || Crc16Update(0xFFFF, decoded) != DIAG_CRC_RESIDUE) {
        result.error = DIAG_ERR_BAD_CRC;
        return result;
    }
    decoded.resize(decoded.size() - 2);
    result.ok = true;
    result.payload = std::move(decoded);
    return result;
}
