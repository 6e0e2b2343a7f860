#pragma once
// The gateway's reading of the tool's TCP stream: whole 1440-byte messages, except that after a
// CMD_DOWN_BOOT / CMD_DOWN_LINUX header the next nTotal bytes are the raw image. The caller drives
// it: it takes one piece at a time and, on a transfer header, says how many raw bytes follow.
//
//   LinkStream s;
//   while (!bytes.empty()) {
//       LinkStream::Piece p;
//       bytes = bytes.subspan(s.Next(bytes, p));
//       if (p.kind == LinkStream::Kind::Message && IsHeader(p)) s.ExpectImage(total);
//   }
#include <cstddef>
#include <cstdint>
#include <span>

#include "cpelink/link_record.h"

class LinkStream {
public:
    enum class Kind { None, Message, ImageBytes };
    struct Piece {
        Kind kind = Kind::None;
        const LinkMessage* message = nullptr;   // Message: valid until the next call
        std::span<const uint8_t> bytes;         // ImageBytes: a part of the input
        bool bImageDone = false;                // ImageBytes: the last bytes of the image
    };

    // Consumes bytes from `in` up to the end of one piece; returns the number consumed.
    // kind None: all of `in` was taken into an incomplete message (or `in` was empty).
    size_t Next(std::span<const uint8_t> in, Piece& out);
    // The next `count` bytes of the stream are raw image bytes (0: nothing to expect).
    void ExpectImage(uint64_t count) { m_nImageLeft = count; }
    bool InImage() const { return m_nImageLeft > 0; }
    uint64_t ImageLeft() const { return m_nImageLeft; }
    // Bytes of a message begun but not complete.
    size_t Buffered() const { return m_assembler.Buffered(); }
    void Reset();

private:
    MessageAssembler m_assembler;
    uint64_t m_nImageLeft = 0;
};
