#include "sim/link_stream.h"

#include <algorithm>

size_t LinkStream::Next(std::span<const uint8_t> in, Piece& out) {
    out = Piece{};
    if (in.empty()) return 0;
    if (m_nImageLeft > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(m_nImageLeft, in.size()));
        m_nImageLeft -= n;
        out.kind = Kind::ImageBytes;
        out.bytes = in.first(n);
        out.bImageDone = m_nImageLeft == 0;
        return n;
    }
    const size_t n = m_assembler.Take(in);
    if (m_assembler.Complete()) {
        out.kind = Kind::Message;
        out.message = &m_assembler.Message();
    }
    return n;
}

void LinkStream::Reset() {
    m_assembler.Reset();
    m_nImageLeft = 0;
}
