#include "cpelink/link_record.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace {
bool IsOverrideType(uint8_t t) { return t >= 0xF0 && t <= 0xF2; }

// The layout of a record type on one side of the link: `dataTypes` are the types that side
// carries with a data block (besides the CMD_DATA type overrides, which always do).
LinkLayout LayoutOf(uint8_t type, std::initializer_list<uint8_t> dataTypes) {
    if (type == CMD_HELLO) return LinkLayout::Hello;
    if (type == CMD_ANNOUNCE) return LinkLayout::Announce;
    const bool data = IsOverrideType(type) || std::find(dataTypes.begin(), dataTypes.end(), type) != dataTypes.end();
    return data ? LinkLayout::Data : LinkLayout::HeaderOnly;
}
}  // namespace

LinkLayout ChannelEncodeLayout(uint8_t type) { return LayoutOf(type, {0x01, 0x03, 0x04, 0x41, 0x52, 0x91}); }
LinkLayout ServerEncodeLayout(uint8_t type) { return LayoutOf(type, {0x01, 0x04, 0x41}); }
LinkLayout DecodeLayout(uint8_t type) { return LayoutOf(type, {0x01, 0x04, 0x43, 0x60, 0x61}); }

size_t EncodeLayout(const LinkRecord& r, LinkLayout layout, std::span<uint8_t, LINK_MESSAGE_SIZE> out) {
    std::fill(out.begin(), out.end(), uint8_t{0});
    out[LinkOffset::Control] = r.sControl;
    plat::PutLe32(out, LinkOffset::Arg1, r.nArg1);
    plat::PutLe32(out, LinkOffset::Seq, r.nSeq);
    switch (layout) {
        case LinkLayout::Data:
            std::memcpy(out.data() + LinkOffset::Data, r.abData.data(), LINK_DATA_SIZE);
            plat::PutLe32(out, LinkOffset::DataLength, r.nLength);
            plat::PutLe32(out, LinkOffset::DataBlock, r.nBlock);
            plat::PutLe32(out, LinkOffset::DataTotal, r.nTotal);
            return LINK_LENGTH_DATA;
        case LinkLayout::Hello:
            plat::PutLe32(out, LinkOffset::Arg2, r.nArg2);
            plat::PutLe32(out, LinkOffset::Arg3, r.nArg3);
            plat::PutLe32(out, LinkOffset::Arg4, r.nArg4);
            plat::PutLe16(out, LinkOffset::Arg5, r.wArg5);
            return LINK_LENGTH_HELLO;
        case LinkLayout::Announce:
            plat::PutLe32(out, LinkOffset::Arg2, r.nArg2);
            plat::PutLe32(out, LinkOffset::Arg3, r.nArg3);
            return LINK_LENGTH_ANNOUNCE;
        case LinkLayout::HeaderOnly:
            break;
    }
    return LINK_LENGTH_HEADER;
}

size_t EncodeRecordLayout(const LinkRecord& r, std::span<uint8_t, LINK_MESSAGE_SIZE> out) {
    return EncodeLayout(r, ChannelEncodeLayout(r.sControl), out);
}

size_t EncodeChannelRecord(LinkRecord& r, uint32_t& sequence, int& typeOverride,
                           std::span<uint8_t, LINK_MESSAGE_SIZE> out) {
    if (r.sControl == CMD_DATA && typeOverride >= 1 && typeOverride <= 3) {
        r.sControl = static_cast<uint8_t>(0xEF + typeOverride);
        typeOverride = 0;
    }
    ++sequence;
    r.nSeq = sequence;
    return EncodeRecordLayout(r, out);
}

size_t EncodeServerRecord(LinkRecord& r, uint32_t localAddress, std::span<uint8_t, LINK_MESSAGE_SIZE> out) {
    if (r.sControl == CMD_ANNOUNCE) r.nArg3 = localAddress;
    return EncodeLayout(r, ServerEncodeLayout(r.sControl), out);
}

LinkMessage EncodeServerRecord(LinkRecord& r, uint32_t localAddress) {
    LinkMessage m{};
    EncodeServerRecord(r, localAddress, std::span<uint8_t, LINK_MESSAGE_SIZE>(m));
    return m;
}

LinkRecord DecodeRecord(std::span<const uint8_t, LINK_MESSAGE_SIZE> msg) {
    LinkRecord r;
    r.sControl = msg[LinkOffset::Control];
    r.nArg1 = plat::GetLe32(msg, LinkOffset::Arg1);
    r.nSeq = plat::GetLe32(msg, LinkOffset::Seq);
    switch (DecodeLayout(r.sControl)) {
        case LinkLayout::Data:
            std::memcpy(r.abData.data(), msg.data() + LinkOffset::Data, LINK_DATA_SIZE);
            r.nLength = plat::GetLe32(msg, LinkOffset::DataLength);
            r.nBlock = plat::GetLe32(msg, LinkOffset::DataBlock);
            r.nTotal = plat::GetLe32(msg, LinkOffset::DataTotal);
            break;
        case LinkLayout::Hello:
            r.nArg2 = plat::GetLe32(msg, LinkOffset::Arg2);
            r.nArg3 = plat::GetLe32(msg, LinkOffset::Arg3);
            r.nArg4 = plat::GetLe32(msg, LinkOffset::Arg4);
            r.wArg5 = plat::GetLe16(msg, LinkOffset::Arg5);
            std::memcpy(r.abData.data(), msg.data() + LinkOffset::HelloData, LINK_DATA_SIZE);
            r.nLength = plat::GetLe32(msg, LinkOffset::HelloLength);
            r.nBlock = plat::GetLe32(msg, LinkOffset::HelloBlock);
            r.nTotal = plat::GetLe32(msg, LinkOffset::HelloTotal);
            break;
        case LinkLayout::Announce:
            r.nArg2 = plat::GetLe32(msg, LinkOffset::Arg2);
            r.nArg3 = plat::GetLe32(msg, LinkOffset::Arg3);
            r.nLength = plat::GetLe32(msg, LinkOffset::AnnounceLength);
            r.nBlock = plat::GetLe32(msg, LinkOffset::AnnounceBlock);
            r.nTotal = plat::GetLe32(msg, LinkOffset::AnnounceTotal);
            break;
        case LinkLayout::HeaderOnly:
            break;
    }
    return r;
}

size_t MessageAssembler::Take(std::span<const uint8_t> bytes) {
    if (m_nFilled == LINK_MESSAGE_SIZE) m_nFilled = 0;
    const size_t n = std::min(bytes.size(), LINK_MESSAGE_SIZE - m_nFilled);
    if (n) std::memcpy(m_message.data() + m_nFilled, bytes.data(), n);
    m_nFilled += n;
    return n;
}

void MessageAssembler::Reset() {
    m_message.fill(0);
    m_nFilled = 0;
}

size_t MessageAssembler::Feed(std::span<const uint8_t> bytes,
                              const std::function<void(const LinkMessage&)>& onMessage) {
    size_t count = 0;
    while (!bytes.empty()) {
        bytes = bytes.subspan(Take(bytes));
        if (Complete()) {
            ++count;
            if (onMessage) onMessage(m_message);
        }
    }
    return count;
}
