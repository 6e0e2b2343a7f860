// The simulator's reading of the tool's TCP stream (LinkStream): 1440-byte messages, and after a
// CMD_DOWN_BOOT / CMD_DOWN_LINUX header exactly its nTotal raw image bytes. Driven as the
// simulator's link thread drives it, received in pieces of any size, and compared with a plain
// reading of the whole stream. Input: u8 k, k u16 piece sizes (used in turn; 0 counts as 1), then
// the stream.
#include <algorithm>

#include "cpelink/link_record.h"
#include "fuzz/fuzz_support.h"
#include "sim/link_stream.h"

namespace {

using namespace rkfuzz;

struct Event {
    bool bMessage = false;
    size_t offset = 0;  // message: where it starts in the stream
    uint64_t bytes = 0; // image bytes: how many (merged while consecutive)
    bool bDone = false;
};

bool IsTransferHeader(const LinkMessage& m) { return m[0] == CMD_DOWN_BOOT || m[0] == CMD_DOWN_LINUX; }
// A transfer header's nTotal, in the layout the tool encodes it with.
uint32_t HeaderTotal(const LinkMessage& m) { return plat::GetLe32(m, LinkOffset::DataTotal); }

void AddImage(std::vector<Event>& events, uint64_t n, bool done) {
    if (!events.empty() && !events.back().bMessage && !events.back().bDone) {
        events.back().bytes += n;
        events.back().bDone = done;
    } else {
        events.push_back(Event{false, 0, n, done});
    }
}

// The stream read in one go.
std::vector<Event> Reference(const Bytes& s, uint64_t& imageLeft, size_t& buffered) {
    std::vector<Event> events;
    size_t pos = 0;
    imageLeft = 0;
    while (pos < s.size()) {
        if (imageLeft > 0) {
            const uint64_t n = std::min<uint64_t>(imageLeft, s.size() - pos);
            imageLeft -= n;
            pos += static_cast<size_t>(n);
            AddImage(events, n, imageLeft == 0);
            continue;
        }
        if (s.size() - pos < LINK_MESSAGE_SIZE) break;
        events.push_back(Event{true, pos, 0, false});
        LinkMessage m{};
        std::copy_n(s.begin() + static_cast<std::ptrdiff_t>(pos), LINK_MESSAGE_SIZE, m.begin());
        if (IsTransferHeader(m)) imageLeft = HeaderTotal(m);
        pos += LINK_MESSAGE_SIZE;
    }
    buffered = imageLeft > 0 ? 0 : s.size() - pos;
    return events;
}

}  // namespace

RK_FUZZ_TARGET(sim_stream) {
    Init();
    Reader in(data, size);
    std::vector<size_t> pieces(in.U8() % 16 + 1);
    for (size_t& p : pieces) p = std::max<size_t>(1, in.U16());
    const Bytes stream = in.Rest();

    LinkStream ls;
    std::vector<Event> events;
    size_t pos = 0;
    for (size_t i = 0; pos < stream.size(); ++i) {
        std::span<const uint8_t> piece(stream.data() + pos, std::min(pieces[i % pieces.size()], stream.size() - pos));
        const size_t pieceStart = pos;
        pos += piece.size();
        while (!piece.empty()) {
            LinkStream::Piece p;
            const size_t used = ls.Next(piece, p);
            Check(used <= piece.size(), "Next consumes within its input");
            const size_t at = pieceStart + static_cast<size_t>(piece.data() - (stream.data() + pieceStart));
            if (p.kind == LinkStream::Kind::Message) {
                Check(p.message != nullptr, "a message piece points at its message");
                const size_t start = at + used - LINK_MESSAGE_SIZE;
                Check(std::equal(p.message->begin(), p.message->end(), stream.begin() + static_cast<std::ptrdiff_t>(start)),
                      "a message holds its bytes of the stream");
                events.push_back(Event{true, start, 0, false});
                if (IsTransferHeader(*p.message)) ls.ExpectImage(HeaderTotal(*p.message));
            } else if (p.kind == LinkStream::Kind::ImageBytes) {
                Check(p.bytes.data() == piece.data() && p.bytes.size() == used, "image bytes are the input's next bytes");
                Check(used > 0, "image bytes make progress");
                AddImage(events, used, p.bImageDone);
            } else {
                Check(used == piece.size(), "an incomplete message takes the whole input");
            }
            if (used == 0) break;
            piece = piece.subspan(used);
        }
    }

    uint64_t imageLeft = 0;
    size_t buffered = 0;
    const std::vector<Event> want = Reference(stream, imageLeft, buffered);
    Check(events.size() == want.size(), "as many pieces as a reading of the whole stream");
    for (size_t k = 0; k < std::min(events.size(), want.size()); ++k) {
        Check(events[k].bMessage == want[k].bMessage && events[k].offset == want[k].offset &&
                  events[k].bytes == want[k].bytes && events[k].bDone == want[k].bDone,
              "the same pieces as a reading of the whole stream");
    }
    Check(ls.ImageLeft() == imageLeft && ls.InImage() == (imageLeft > 0), "the image still expected");
    Check(ls.Buffered() == buffered, "the part of a message begun");
    ls.Reset();
    Check(!ls.InImage() && ls.Buffered() == 0, "Reset forgets everything");
    return 0;
}

RK_FUZZ_SEEDS(sim_stream) {
    std::vector<Bytes> seeds;
    auto message = [](Bytes& s, uint8_t type, uint32_t total) {
        Bytes m(LINK_MESSAGE_SIZE, 0);
        m[0] = type;
        plat::PutLe32(m, LinkOffset::DataTotal, total);
        s.insert(s.end(), m.begin(), m.end());
    };
    for (const uint16_t piece : {uint16_t{1}, uint16_t{700}, uint16_t{1440}, uint16_t{5000}}) {
        Bytes s = {1};
        plat::AppendLe16(s, piece);
        message(s, CMD_HELLO, 0);
        message(s, CMD_DOWN_BOOT, 3000);
        s.insert(s.end(), 3000, 0xAB);
        message(s, CMD_DOWN_LINUX, 0);
        message(s, CMD_IMAGES_DONE, 0);
        s.insert(s.end(), 100, 0x01);
        seeds.push_back(s);
    }
    {
        Bytes s = {2};
        plat::AppendLe16(s, 1441);
        plat::AppendLe16(s, 3);
        message(s, CMD_DOWN_LINUX, 0xFFFFFFFFu);
        s.insert(s.end(), 2000, 0xCD);
        seeds.push_back(s);
    }
    return seeds;
}
