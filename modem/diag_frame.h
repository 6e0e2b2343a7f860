#pragma once
// DIAG framing: the HDLC-like frame the modem speaks (FCS-16, 0x7D escapes, 0x7E flags).
// Pure functions over byte spans, no I/O; the gateway simulator uses the same functions.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

constexpr uint8_t DIAG_FLAG = 0x7E;
constexpr uint8_t DIAG_ESCAPE = 0x7D;
constexpr uint8_t DIAG_ESCAPE_XOR = 0x20;
// What the CRC leaves when run over a payload followed by its own FCS.
constexpr uint16_t DIAG_CRC_RESIDUE = 0xF0B8;

// Error texts of a failed decode (they become the client's last error).
inline constexpr const char* DIAG_ERR_NO_END_FLAG = "the Received Data is Wrong without End Flag(0x7e)";
inline constexpr const char* DIAG_ERR_BAD_CRC = "the Received Data is Wrong with Wrong CRC Checksum";

// Runs the bit-reversed CRC-16 (polynomial 0x8408) over `data` from `crc`, without the final
// complement. Start with 0xFFFF.
uint16_t Crc16Update(uint16_t crc, std::span<const uint8_t> data);

// The FCS of `data`: CRC-16/X-25 (init 0xFFFF, complemented). "123456789" gives 0x906E; an empty
// span gives 0x0000. On the wire it follows the payload low byte first.
uint16_t Crc16X25(std::span<const uint8_t> data);

// payload + FCS (low byte first), each 0x7E / 0x7D sent as 0x7D, b ^ 0x20; a leading 0x7E when
// `leadingFlag` (download mode), always a trailing 0x7E.
std::vector<uint8_t> EncodeFrame(std::span<const uint8_t> payload, bool leadingFlag);

struct DecodedFrame {
    bool ok = false;
    std::vector<uint8_t> payload;  // without FCS and flags (ok only)
    std::string error;             // DIAG_ERR_NO_END_FLAG or DIAG_ERR_BAD_CRC (not ok)
};

// Decodes one received frame. In download mode one leading 0x7E is skipped, and a frame without
// it decodes the same. The frame must end with an unescaped 0x7E, and payload + FCS must leave
// the CRC residue.
DecodedFrame DecodeFrame(std::span<const uint8_t> bytes, bool downloadMode);
