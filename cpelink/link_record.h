#pragma once
// LinkRecord: the 1392-byte control record, carried as one 1440-byte little-endian message.
// Pure functions over byte spans; the record is packed and unpacked field by field.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "platform/byte_order.h"

constexpr size_t LINK_RECORD_SIZE = 1392;   // in memory
constexpr size_t LINK_MESSAGE_SIZE = 1440;  // on the wire
constexpr size_t LINK_DATA_SIZE = 1350;     // abData

constexpr uint8_t CMD_DOWN_LINUX = 0x01;
constexpr uint8_t CMD_DATA = 0x04;
constexpr uint8_t CMD_UPGRADE_END = 0x1F;
constexpr uint8_t CMD_ENTER_DOWNLOAD = 0x20;
constexpr uint8_t CMD_ENTER_DOWNLOAD_AGAIN = 0x21;
constexpr uint8_t CMD_EXIT_DOWNLOAD = 0x30;
constexpr uint8_t CMD_EXIT_DOWNLOAD_AGAIN = 0x31;
constexpr uint8_t CMD_HELLO = 0x40;
constexpr uint8_t CMD_IMAGES_DONE = 0x52;
constexpr uint8_t CMD_GET_TEXT = 0x60;
constexpr uint8_t CMD_GET_DATA = 0x61;
constexpr uint8_t CMD_ANNOUNCE = 0x6A;
constexpr uint8_t CMD_DOWN_BOOT = 0x91;
constexpr uint8_t CMD_BYE = 0xFF;

struct LinkRecord {
    uint8_t sControl = 0;
    uint32_t nArg1 = 0;
    uint32_t nSeq = 0;
    uint32_t nArg2 = 0;
    uint32_t nArg3 = 0;
    uint32_t nArg4 = 0;
    uint16_t wArg5 = 0;
    std::array<uint8_t, LINK_DATA_SIZE> abData{};
    uint32_t nLength = 0;
    uint32_t nBlock = 0;
    uint32_t nTotal = 0;
};

using LinkMessage = std::array<uint8_t, LINK_MESSAGE_SIZE>;

// Wire offsets of the layouts.
namespace LinkOffset {
constexpr size_t Control = 0;
constexpr size_t Arg1 = 1;
constexpr size_t Seq = 5;
constexpr size_t Arg2 = 9;
constexpr size_t Arg3 = 13;
constexpr size_t Arg4 = 17;
constexpr size_t Arg5 = 21;
// data layout
constexpr size_t Data = 9;
constexpr size_t DataLength = 1359;
constexpr size_t DataBlock = 1363;
constexpr size_t DataTotal = 1367;
// hello layout as decoded (abData and nLength overlap; both are read as they stand)
constexpr size_t HelloData = 29;
constexpr size_t HelloLength = 1373;
constexpr size_t HelloBlock = 1377;
constexpr size_t HelloTotal = 1381;
// announce layout as decoded
constexpr size_t AnnounceLength = 17;
constexpr size_t AnnounceBlock = 21;
constexpr size_t AnnounceTotal = 25;
}  // namespace LinkOffset

static_assert(LinkOffset::Data + LINK_DATA_SIZE == LinkOffset::DataLength);
static_assert(LinkOffset::DataTotal + 4 == 1371);
static_assert(LinkOffset::HelloData + LINK_DATA_SIZE - 1 == 1378);
static_assert(LinkOffset::HelloTotal + 4 <= LINK_MESSAGE_SIZE);

// Encoded lengths of the layouts.
constexpr size_t LINK_LENGTH_DATA = 1371;
constexpr size_t LINK_LENGTH_HELLO = 23;
constexpr size_t LINK_LENGTH_ANNOUNCE = 17;
constexpr size_t LINK_LENGTH_HEADER = 9;

enum class LinkLayout { HeaderOnly, Data, Hello, Announce };

// The layout a type is encoded with by the channel's encoder, by the server's encoder, and the
// one it is decoded with.
LinkLayout ChannelEncodeLayout(uint8_t type);
LinkLayout ServerEncodeLayout(uint8_t type);
LinkLayout DecodeLayout(uint8_t type);

// Writes the header and the fields of `layout` into `out` (zeroed first); returns the encoded
// length.
size_t EncodeLayout(const LinkRecord& r, LinkLayout layout, std::span<uint8_t, LINK_MESSAGE_SIZE> out);

// The channel encoder's layout of r's type into a zeroed message; no stamping. Encoded length.
size_t EncodeRecordLayout(const LinkRecord& r, std::span<uint8_t, LINK_MESSAGE_SIZE> out);

// The channel form: a CMD_DATA record with `typeOverride` 1, 2 or 3 becomes 0xF0, 0xF1 or 0xF2
// (in the record too) and the override returns to 0; `sequence` is incremented and stamped into
// r.nSeq; then the layout of the type. Returns the encoded length.
size_t EncodeChannelRecord(LinkRecord& r, uint32_t& sequence, int& typeOverride,
                           std::span<uint8_t, LINK_MESSAGE_SIZE> out);

// The server's encoder (announcement, bye): nSeq as it stands; for CMD_ANNOUNCE nArg3 is set to
// `localAddress` first. The data layout only for 0x01, 0x04, 0x41 and 0xF0-0xF2.
size_t EncodeServerRecord(LinkRecord& r, uint32_t localAddress, std::span<uint8_t, LINK_MESSAGE_SIZE> out);
LinkMessage EncodeServerRecord(LinkRecord& r, uint32_t localAddress);

// Decodes one whole message with the decoding layout of its type; always yields a record
// (fields its layout does not carry stay zero).
LinkRecord DecodeRecord(std::span<const uint8_t, LINK_MESSAGE_SIZE> msg);

// Reassembles whole 1440-byte messages from a byte stream: one receive is not one message.
//
//   MessageAssembler a;
//   while (!bytes.empty()) {
//       bytes = bytes.subspan(a.Take(bytes));
//       if (a.Complete()) Handle(a.Message());
//   }
//
// Take stops at the end of the message being assembled, so a caller can switch to another
// framing (raw image bytes) right after a message.
class MessageAssembler {
public:
    // Copies bytes into the message being assembled, at most up to its end; returns the number
    // taken. After a complete message, the next Take starts a new one.
    size_t Take(std::span<const uint8_t> bytes);
    bool Complete() const { return m_nFilled == LINK_MESSAGE_SIZE; }
    const LinkMessage& Message() const { return m_message; }
    // Bytes of an incomplete message (0 when none is begun or the last one is complete).
    size_t Buffered() const { return m_nFilled == LINK_MESSAGE_SIZE ? 0 : m_nFilled; }
    void Reset();
    // Takes all bytes, calling onMessage for every whole message; returns the number of messages.
    size_t Feed(std::span<const uint8_t> bytes, const std::function<void(const LinkMessage&)>& onMessage);

private:
    LinkMessage m_message{};
    size_t m_nFilled = 0;
};
