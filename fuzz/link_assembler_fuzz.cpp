// MessageAssembler: whole 1440-byte messages out of a byte stream received in pieces of any size,
// and a slot's reassembly as the link server's receive thread does it (Feed into the slot's
// assembler, each message decoded into the slot's reply queue, replies taken by sequence number).
// Input: u8 k, k u16 piece sizes (used in turn; 0 counts as 1), then the stream.
#include <algorithm>
#include <mutex>

#include "cpelink/link_record.h"
#include "cpelink/link_slots.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace rkfuzz;

}  // namespace

RK_FUZZ_TARGET(link_assembler) {
    Init();
    Reader in(data, size);
    std::vector<size_t> pieces(in.U8() % 16 + 1);
    for (size_t& p : pieces) p = std::max<size_t>(1, in.U16());
    const Bytes stream = in.Rest();

    // Piece by piece through Take.
    MessageAssembler a;
    std::vector<LinkMessage> got;
    size_t pos = 0;
    for (size_t i = 0; pos < stream.size(); ++i) {
        std::span<const uint8_t> piece(stream.data() + pos, std::min(pieces[i % pieces.size()], stream.size() - pos));
        pos += piece.size();
        while (!piece.empty()) {
            const size_t taken = a.Take(piece);
            Check(taken > 0 && taken <= piece.size(), "Take makes progress within the piece");
            piece = piece.subspan(taken);
            if (a.Complete()) got.push_back(a.Message());
        }
    }
    const size_t whole = stream.size() / LINK_MESSAGE_SIZE;
    Check(got.size() == whole, "one message per 1440 bytes");
    for (size_t m = 0; m < got.size(); ++m) {
        Check(std::equal(got[m].begin(), got[m].end(), stream.begin() + static_cast<std::ptrdiff_t>(m * LINK_MESSAGE_SIZE)),
              "a message holds its 1440 bytes of the stream");
    }
    Check(a.Buffered() == stream.size() % LINK_MESSAGE_SIZE, "the rest of the stream is buffered");

    // The whole stream at once through Feed gives the same messages.
    MessageAssembler b;
    size_t index = 0;
    const size_t count = b.Feed(stream, [&](const LinkMessage& m) {
        Check(index < got.size() && m == got[index], "Feed gives the same messages");
        ++index;
    });
    Check(count == whole && index == whole, "Feed counts the messages");
    b.Reset();
    Check(b.Buffered() == 0 && !b.Complete(), "Reset forgets the partial message");

    // A slot (the last one; no server runs here): the same pieces as the receive thread gets
    // them, under the receive lock.
    constexpr int kSlot = LINE_COUNT - 1;
    SlotClear(kSlot);
    LinkSlot& slot = GetLinkSlot(kSlot);
    pos = 0;
    for (size_t i = 0; pos < stream.size(); ++i) {
        const size_t n = std::min(pieces[i % pieces.size()], stream.size() - pos);
        std::lock_guard<std::mutex> lock(slot.recvLock);
        slot.incoming.Feed(std::span<const uint8_t>(stream.data() + pos, n),
                           [&slot](const LinkMessage& m) { SlotAppendLocked(slot, DecodeRecord(m)); });
        pos += n;
    }
    const size_t kept = std::min(whole, LINK_QUEUE_LIMIT);
    Check(SlotQueueSize(kSlot) == kept, "the queue keeps the newest records up to its limit");
    // Every kept record is found by its sequence number (the first of equal ones goes first).
    for (size_t m = whole - kept; m < whole; ++m) {
        const LinkRecord want = DecodeRecord(got[m]);
        Check(SlotHasReply(kSlot, want.nSeq), "a queued record is found by its sequence number");
        LinkRecord out;
        Check(SlotTakeReply(kSlot, want.nSeq, out), "a queued record can be taken");
        Check(out.sControl == want.sControl && out.nSeq == want.nSeq && out.nLength == want.nLength,
              "records are taken oldest first");
    }
    Check(SlotQueueSize(kSlot) == 0, "every record was taken");
    LinkRecord none;
    Check(!SlotTakeReply(kSlot, 0, none), "an empty queue has no reply");
    SlotClear(kSlot);
    return 0;
}

RK_FUZZ_SEEDS(link_assembler) {
    std::vector<Bytes> seeds;
    for (const uint16_t piece : {uint16_t{1}, uint16_t{1000}, uint16_t{1440}, uint16_t{2000}}) {
        Bytes s = {1};
        plat::AppendLe16(s, piece);
        for (size_t i = 0; i < 2 * LINK_MESSAGE_SIZE + 77; ++i) s.push_back(static_cast<uint8_t>(i % 251));
        seeds.push_back(s);
    }
    Bytes mixed = {3};
    plat::AppendLe16(mixed, 7);
    plat::AppendLe16(mixed, 1433);
    plat::AppendLe16(mixed, 0);
    mixed.resize(mixed.size() + 3 * LINK_MESSAGE_SIZE, 0x5A);
    seeds.push_back(mixed);
    return seeds;
}
