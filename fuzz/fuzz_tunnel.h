#pragma once
// A line's channel whose replies come from the fuzz input, for the modem service's readers
// (DIAG and EFS replies, and the records of the gateway's download-mode switch).
//
// Each request sent takes the next step of the input:
//   u8  kind     bit 0: the bytes are a payload the tunnel frames (EncodeFrame), else raw bytes
//                bit 1: framed with a leading 0x7E
//                bit 2: the request's first 4 bytes (decoded when it is a frame) go first
//                bit 3: a u32 follows: the nLength TakeData reports instead of the byte count
//                bit 4: the send is refused (and the stop flag raised: the command ends)
//   [u32 nLength]
//   u16 n, then n bytes (fewer at the end of the input)
// When the input is used up, the scope's stop flag is raised and every send is refused, so the
// client's pauses end at once and the command fails.
#include <algorithm>
#include <cstring>
#include <optional>

#include "cpelink/tunnel.h"
#include "fuzz/fuzz_support.h"
#include "modem/diag_frame.h"

namespace rkfuzz {

struct TunnelStep {
    bool refuse = false;
    Bytes reply;
    std::optional<int> length;
};

// Reads one step from `in` for the request `request`; nothing when the input is used up.
inline std::optional<TunnelStep> ReadTunnelStep(Reader& in, std::span<const uint8_t> request) {
    if (in.Empty()) return std::nullopt;
    const uint8_t kind = in.U8();
    TunnelStep step;
    if (kind & 0x08) step.length = static_cast<int>(in.U32());
    const uint16_t n = in.U16();
    Bytes body = in.Take(n);
    step.refuse = (kind & 0x10) != 0;
    Bytes payload;
    if (kind & 0x04) {
        const DecodedFrame req = DecodeFrame(request, false);
        const Bytes head = req.ok ? req.payload : Bytes(request.begin(), request.end());
        payload.assign(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(4, head.size())));
    }
    payload.insert(payload.end(), body.begin(), body.end());
    step.reply = (kind & 0x01) ? EncodeFrame(payload, (kind & 0x02) != 0) : payload;
    return step;
}

// Appends a step to a seed.
inline void PutTunnelStep(Bytes& seed, uint8_t kind, const Bytes& body, std::optional<uint32_t> length = {}) {
    seed.push_back(static_cast<uint8_t>(kind | (length ? 0x08 : 0)));
    if (length) plat::AppendLe32(seed, *length);
    plat::AppendLe16(seed, static_cast<uint16_t>(body.size()));
    seed.insert(seed.end(), body.begin(), body.end());
}

class FuzzTunnel : public ILinkTunnel {
public:
    FuzzTunnel(Reader& in, InputScope& scope) : m_in(in), m_scope(scope) {}

    int SlotIndex() const override { return 0; }
    bool IsOpen() const override { return m_bOpen; }
    void MarkClosed() override { m_bOpen = false; }
    int Attach(int) override { return m_bOpen ? 1 : 0; }
    int Close() override {
        m_bOpen = false;
        return 1;
    }

    int SendData(const uint8_t* bytes, int n) override {
        Check(bytes != nullptr && n >= 0, "SendData with a valid buffer");
        m_pending.reset();
        ++m_nSends;
        if (!m_bOpen) return 0;
        auto step = ReadTunnelStep(m_in, {bytes, static_cast<size_t>(n)});
        if (!step) {
            m_scope.RaiseStop();
            return 0;
        }
        if (step->refuse) {
            // The client pauses 150 ms after a refused send; the stop flag ends the pause and
            // the command.
            m_scope.RaiseStop();
            return 0;
        }
        m_pending = std::move(step);
        return n;
    }
    int HasReply() override { return (m_pending || m_record) ? 1 : 0; }
    int TakeData(std::span<uint8_t> dest, size_t zeroCount) override {
        if (!m_pending) return 0;
        std::fill_n(dest.begin(), std::min(zeroCount, dest.size()), uint8_t{0});
        const Bytes& r = m_pending->reply;
        std::copy_n(r.begin(), std::min(r.size(), dest.size()), dest.begin());
        const int n = m_pending->length ? *m_pending->length : static_cast<int>(r.size());
        m_pending.reset();
        return n;
    }
    void SetTypeOverride(int) override {}

    // A download-mode command: the step's first byte is the reply record's type, the rest its
    // data; an empty or refused step is silence (the stop flag ends the wait).
    int PostRecord(LinkRecord& record, int length) override {
        if (!m_bOpen) return 0;
        ++m_nPosted;
        record.nLength = static_cast<uint32_t>(length);
        m_record.reset();
        const uint8_t request[1] = {record.sControl};
        auto step = ReadTunnelStep(m_in, request);
        // An empty or refused step is silence: the stop flag ends the wait for it at once.
        if (!step || step->reply.empty() || step->refuse) {
            m_scope.RaiseStop();
            return length;
        }
        LinkRecord reply{};
        reply.sControl = step->reply[0];
        const size_t n = std::min(step->reply.size() - 1, reply.abData.size());
        std::memcpy(reply.abData.data(), step->reply.data() + 1, n);
        reply.nLength = static_cast<uint32_t>(step->length ? *step->length : static_cast<int>(n));
        m_record = reply;
        return length;
    }
    int TakeReplyLocked(LinkRecord& out) override {
        out = LinkRecord{};
        if (!m_record) return 0;
        out = *m_record;
        m_nLastRecordType = out.sControl;
        m_record.reset();
        return static_cast<int>(out.nLength);
    }
    void RestartSequence() override {}

    int Sends() const { return m_nSends; }
    size_t Posted() const { return m_nPosted; }
    // The type of the last reply record taken (-1: none yet).
    int LastRecordType() const { return m_nLastRecordType; }

private:
    Reader& m_in;
    InputScope& m_scope;
    bool m_bOpen = true;
    int m_nSends = 0;
    size_t m_nPosted = 0;
    int m_nLastRecordType = -1;
    std::optional<TunnelStep> m_pending;
    std::optional<LinkRecord> m_record;
};

}  // namespace rkfuzz
