// The gateway's reading of the tool's stream: whole messages, then exactly nTotal raw image bytes.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "cpelink/link_record.h"
#include "sim/link_stream.h"

namespace {

LinkMessage Message(uint8_t type, uint32_t seq, uint32_t total = 0) {
    LinkRecord r;
    r.sControl = type;
    r.nArg1 = 1392;
    r.nLength = 1350;
    r.nTotal = total;
    uint32_t counter = seq - 1;
    int override = 0;
    LinkMessage m{};
    EncodeChannelRecord(r, counter, override, std::span<uint8_t, LINK_MESSAGE_SIZE>(m));
    return m;
}

struct Seen {
    std::vector<LinkRecord> messages;
    std::vector<uint8_t> image;
    int imageDone = 0;
};

// Feeds `stream` in the given chunk sizes; transfer headers announce their nTotal raw bytes.
Seen Feed(const std::vector<uint8_t>& bytes, const std::vector<size_t>& chunks) {
    LinkStream stream;
    Seen seen;
    size_t at = 0;
    for (size_t i = 0; at < bytes.size(); ++i) {
        const size_t len = std::min(chunks[i % chunks.size()], bytes.size() - at);
        std::span<const uint8_t> in(bytes.data() + at, len);
        at += len;
        while (!in.empty()) {
            LinkStream::Piece p;
            in = in.subspan(stream.Next(in, p));
            if (p.kind == LinkStream::Kind::Message) {
                const LinkRecord r = DecodeRecord(*p.message);
                seen.messages.push_back(r);
                if (r.sControl == CMD_DOWN_LINUX) stream.ExpectImage(plat::GetLe32(*p.message, LinkOffset::DataTotal));
            } else if (p.kind == LinkStream::Kind::ImageBytes) {
                seen.image.insert(seen.image.end(), p.bytes.begin(), p.bytes.end());
                seen.imageDone += p.bImageDone ? 1 : 0;
            }
        }
    }
    return seen;
}

void Append(std::vector<uint8_t>& out, const LinkMessage& m) { out.insert(out.end(), m.begin(), m.end()); }

}  // namespace

TEST(LinkStream, MessageSplitThousandAndFourForty) {
    LinkStream stream;
    const LinkMessage m = Message(CMD_HELLO, 2);
    LinkStream::Piece p;
    EXPECT_EQ(stream.Next(std::span<const uint8_t>(m.data(), 1000), p), 1000u);
    EXPECT_EQ(p.kind, LinkStream::Kind::None);
    EXPECT_EQ(stream.Buffered(), 1000u);
    EXPECT_EQ(stream.Next(std::span<const uint8_t>(m.data() + 1000, 440), p), 440u);
    ASSERT_EQ(p.kind, LinkStream::Kind::Message);
    EXPECT_EQ(*p.message, m);
    EXPECT_EQ(stream.Buffered(), 0u);
}

TEST(LinkStream, HeaderThenImageAtOddBoundariesThenNextMessage) {
    std::vector<uint8_t> image(5003);
    std::iota(image.begin(), image.end(), uint8_t{7});
    std::vector<uint8_t> bytes;
    Append(bytes, Message(CMD_DOWN_LINUX, 2, static_cast<uint32_t>(image.size())));
    bytes.insert(bytes.end(), image.begin(), image.end());
    Append(bytes, Message(CMD_IMAGES_DONE, 3));

    for (const std::vector<size_t>& chunks :
         {std::vector<size_t>{1}, {7, 1439, 3}, {1441}, {1000, 440}, {1350}, {bytes.size()}}) {
        const Seen seen = Feed(bytes, chunks);
        ASSERT_EQ(seen.messages.size(), 2u) << "first chunk " << chunks[0];
        EXPECT_EQ(seen.messages[0].sControl, CMD_DOWN_LINUX);
        EXPECT_EQ(seen.messages[1].sControl, CMD_IMAGES_DONE);
        EXPECT_EQ(seen.messages[1].nSeq, 3u);
        EXPECT_EQ(seen.image, image);
        EXPECT_EQ(seen.imageDone, 1);
    }
}

TEST(LinkStream, EmptyImageExpectsNothingAndResetDropsPartialMessage) {
    LinkStream stream;
    stream.ExpectImage(0);
    EXPECT_FALSE(stream.InImage());
    const LinkMessage m = Message(CMD_GET_TEXT, 2);
    LinkStream::Piece p;
    stream.Next(std::span<const uint8_t>(m.data(), 500), p);
    stream.Reset();
    EXPECT_EQ(stream.Buffered(), 0u);
    EXPECT_EQ(stream.Next(m, p), LINK_MESSAGE_SIZE);
    ASSERT_EQ(p.kind, LinkStream::Kind::Message);
    EXPECT_EQ((*p.message)[0], CMD_GET_TEXT);
}
