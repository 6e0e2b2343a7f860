// DecodeRecord over any 1440-byte message (the input, zero-padded or cut), and the encoders over
// what it decoded.
#include <algorithm>

#include "cpelink/link_record.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace rkfuzz;

}  // namespace

RK_FUZZ_TARGET(link_record) {
    Init();
    LinkMessage msg{};
    std::copy_n(data, std::min(size, msg.size()), msg.begin());
    const LinkRecord r = DecodeRecord(msg);
    Check(r.sControl == msg[0], "the type is the first byte");
    Check(r.nSeq == plat::GetLe32(msg, LinkOffset::Seq), "the sequence number is at offset 5");

    // Encoding the record with its decoding layout gives back the bytes that layout carries.
    const LinkLayout layout = DecodeLayout(r.sControl);
    LinkMessage again{};
    const size_t n = EncodeLayout(r, layout, again);
    Check(n <= LINK_MESSAGE_SIZE, "an encoded length fits the message");
    Check(std::equal(again.begin(), again.begin() + static_cast<std::ptrdiff_t>(n), msg.begin()),
          "decode then encode keeps the layout's bytes");
    Check(std::all_of(again.begin() + static_cast<std::ptrdiff_t>(n), again.end(), [](uint8_t b) { return b == 0; }),
          "nothing is encoded past the layout's length");
    if (layout == LinkLayout::HeaderOnly) {
        Check(r.nLength == 0 && r.nArg2 == 0 && r.abData[0] == 0, "a header-only type carries no other field");
    }

    // The channel's and the server's encoders over the decoded record.
    LinkRecord c = r;
    uint32_t seq = r.nSeq;
    int typeOverride = static_cast<int>(r.nArg1 % 5);
    const uint8_t type = c.sControl;
    EncodeChannelRecord(c, seq, typeOverride, again);
    Check(c.nSeq == r.nSeq + 1 && plat::GetLe32(again, LinkOffset::Seq) == c.nSeq, "the channel stamps the next sequence number");
    if (type == CMD_DATA && r.nArg1 % 5 >= 1 && r.nArg1 % 5 <= 3) {
        Check(c.sControl == 0xEF + r.nArg1 % 5 && typeOverride == 0, "a type override turns CMD_DATA into 0xF0-0xF2");
    }
    LinkRecord s = r;
    const LinkMessage server = EncodeServerRecord(s, 0x0100007Fu);
    Check(server[0] == r.sControl, "the server keeps the type");
    return 0;
}

RK_FUZZ_SEEDS(link_record) {
    std::vector<Bytes> seeds;
    for (const uint8_t type : {CMD_DATA, CMD_HELLO, CMD_ANNOUNCE, CMD_GET_DATA, CMD_GET_TEXT, CMD_BYE,
                               CMD_DOWN_BOOT, uint8_t{0xF0}, uint8_t{0x43}}) {
        Bytes s(LINK_MESSAGE_SIZE, 0);
        s[0] = type;
        for (size_t i = 1; i < s.size(); ++i) s[i] = static_cast<uint8_t>(i * 7);
        seeds.push_back(s);
    }
    return seeds;
}
