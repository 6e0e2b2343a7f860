#include <gtest/gtest.h>

#include <future>

#include "cpelink/line_channel.h"
#include "link_test_util.h"

namespace {

using namespace linktest;

uint32_t U32(const LinkMessage& m, size_t off) { return plat::GetLe32(m, off); }

TEST(LineChannelWithoutServer, AttachFails) {
    CLineChannel ch;
    EXPECT_EQ(ch.Attach(0), 0);
    EXPECT_EQ(ch.Attach(8), 0);
    EXPECT_EQ(ch.Attach(-1), 0);
    EXPECT_EQ(ch.Close(), 1);  // never open
    std::string text;
    EXPECT_EQ(ch.GetText(text), 0);
    EXPECT_EQ(ch.PostRecord(ch.Record(), 1), 0);
    EXPECT_EQ(ch.SendData(reinterpret_cast<const uint8_t*>("x"), 1), 0);
    EXPECT_EQ(ch.Sequence(), 1u);
}

using LineChannel = LinkTest;

TEST_F(LineChannel, AttachFailsWithNoPendingConnection) {
    CLineChannel ch;
    EXPECT_EQ(ch.Attach(0), 0);
    EXPECT_EQ(ch.SlotIndex(), -1);
}

TEST_F(LineChannel, SequenceStartsAtTwoAndAgainAfterHelloReply) {
    CLineChannel ch;
    FakeGateway gw;
    LinkRecord hello;
    ASSERT_EQ(AttachWith(ch, gw, 0, CMD_HELLO, &hello), 1);
    EXPECT_EQ(hello.sControl, CMD_HELLO);
    EXPECT_EQ(hello.nSeq, 2u);
    EXPECT_TRUE(ch.IsOpen());
    EXPECT_EQ(ch.SlotIndex(), 0);
    EXPECT_EQ(ch.Sequence(), 1u);

    std::string text;
    auto q = std::async(std::launch::async, [&] { return ch.GetText(text); });
    LinkMessage m{};
    ASSERT_TRUE(gw.ReadMessage(m));
    EXPECT_EQ(m[0], CMD_GET_TEXT);
    EXPECT_EQ(U32(m, 5), 2u);
    for (size_t i = 9; i < LINK_MESSAGE_SIZE; ++i) ASSERT_EQ(m[i], 0) << i;  // header only
    std::string version(200, 'v');
    version.replace(0, 12, "RK880T_CPE_1");
    ASSERT_TRUE(gw.SendReply(CMD_GET_TEXT, 2, 200, version));
    EXPECT_EQ(q.get(), 1);
    EXPECT_EQ(text, version);
    EXPECT_EQ(ch.Record().nLength, 200u);

    uint8_t buf[MODEM_TEXT_BUFFER] = {};
    auto d = std::async(std::launch::async, [&] { return ch.GetData(buf); });
    LinkRecord r;
    ASSERT_TRUE(gw.ReadRecord(r));
    EXPECT_EQ(r.sControl, CMD_GET_DATA);
    EXPECT_EQ(r.nSeq, 3u);
    ASSERT_TRUE(gw.SendReply(CMD_GET_DATA, 3, 13, "PD_WA_RK880T"));
    EXPECT_EQ(d.get(), 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(buf), "PD_WA_RK880T");
}

// The reply is looked for through a window after the request left, not once at 20 ms: a
// gateway that answers 100 ms later is still heard.
TEST_F(LineChannel, ReplyHundredMillisecondsAfterTheRequestLeftIsTaken) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    std::string text;
    auto q = std::async(std::launch::async, [&] { return ch.GetText(text); });
    LinkRecord r;
    ASSERT_TRUE(gw.ReadRecord(r));
    plat::SleepRaw(100);
    ASSERT_TRUE(gw.SendReply(CMD_GET_TEXT, r.nSeq, 4, "late"));
    EXPECT_EQ(q.get(), 1);
    EXPECT_EQ(text, "late");
}

TEST_F(LineChannel, HelloThatLeftOpensWithoutReply) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw, 0, 0), 1);
    EXPECT_TRUE(ch.IsOpen());
    EXPECT_EQ(ch.Sequence(), 2u);  // not restarted
    std::string text;
    auto q = std::async(std::launch::async, [&] { return ch.GetText(text); });
    LinkRecord r;
    ASSERT_TRUE(gw.ReadRecord(r));
    EXPECT_EQ(r.nSeq, 3u);
    EXPECT_EQ(q.get(), 0);  // no answer
    EXPECT_TRUE(ch.IsOpen());
}

TEST_F(LineChannel, ReplyWithAnotherSequenceStaysQueued) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    std::string text = "unchanged";
    auto q = std::async(std::launch::async, [&] { return ch.GetText(text); });
    LinkRecord r;
    ASSERT_TRUE(gw.ReadRecord(r));
    ASSERT_TRUE(gw.SendReply(CMD_GET_TEXT, r.nSeq + 5, 4, "old"));
    EXPECT_EQ(q.get(), 0);
    EXPECT_EQ(text, "unchanged");
    EXPECT_EQ(SlotQueueSize(0), 1u);
    EXPECT_EQ(ch.HasReply(), 0);
    LinkRecord out;
    EXPECT_EQ(ch.TakeReply(out), 0);
    EXPECT_EQ(SlotQueueSize(0), 1u);
}

TEST_F(LineChannel, CloseOnClosedChannelSendsNothing) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    ch.MarkClosed();
    EXPECT_EQ(ch.Close(), 1);
    EXPECT_TRUE(gw.Quiet(300));
}

TEST_F(LineChannel, CloseSendsByeAndGivesTheConnectionBack) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    EXPECT_EQ(LinkConnectionCount(), 1);
    auto c = std::async(std::launch::async, [&] { return ch.Close(); });
    LinkMessage m{};
    ASSERT_TRUE(gw.ReadMessage(m));
    EXPECT_EQ(m[0], CMD_BYE);
    EXPECT_EQ(U32(m, 5), 2u);
    for (size_t i = 9; i < LINK_MESSAGE_SIZE; ++i) ASSERT_EQ(m[i], 0) << i;
    EXPECT_EQ(c.get(), 1);
    EXPECT_FALSE(ch.IsOpen());
    EXPECT_FALSE(ch.HasConnection());
    uint8_t b;
    EXPECT_FALSE(gw.ReadExact(&b, 1, 1000));  // closed
    EXPECT_EQ(LinkConnectionCount(), 0);
    EXPECT_EQ(ch.Close(), 1);
}

TEST_F(LineChannel, LateReplyQueuedBeforeHelloReplyNeverAnswersLaterRequest) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    std::string text;
    auto q = std::async(std::launch::async, [&] { return ch.GetText(text); });
    LinkRecord r;
    ASSERT_TRUE(gw.ReadRecord(r));
    ASSERT_EQ(r.nSeq, 2u);
    EXPECT_EQ(q.get(), 0);  // unanswered in time
    ASSERT_TRUE(gw.SendReply(CMD_GET_TEXT, 2, 5, "late"));
    ASSERT_TRUE(WaitUntil([] { return SlotQueueSize(0) == 1; }));

    ch.MarkClosed();  // a time-out closed it; the next open says hello again
    auto h = std::async(std::launch::async, [&] { return ch.Hello(); });
    ASSERT_TRUE(gw.ReadRecord(r));
    EXPECT_EQ(r.sControl, CMD_HELLO);
    ASSERT_TRUE(gw.SendReply(CMD_HELLO, r.nSeq));
    EXPECT_EQ(h.get(), 1);
    EXPECT_EQ(SlotQueueSize(0), 0u);

    auto q2 = std::async(std::launch::async, [&] { return ch.GetText(text); });
    ASSERT_TRUE(gw.ReadRecord(r));
    EXPECT_EQ(r.nSeq, 2u);
    EXPECT_EQ(q2.get(), 0);
    EXPECT_TRUE(text.empty());
}

TEST_F(LineChannel, ImagesDoneReplyRestartsSequence) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    ASSERT_TRUE(gw.SendReply(CMD_GET_TEXT, 3, 5, "stale"));  // would match the request after next
    ASSERT_TRUE(WaitUntil([] { return SlotQueueSize(0) == 1; }));
    auto d = std::async(std::launch::async, [&] { return ch.ImagesDone(); });
    LinkMessage m{};
    ASSERT_TRUE(gw.ReadMessage(m));
    EXPECT_EQ(m[0], CMD_IMAGES_DONE);
    EXPECT_EQ(U32(m, 5), 2u);
    EXPECT_EQ(U32(m, 1359), 1u);  // data layout
    ASSERT_TRUE(gw.SendReply(CMD_IMAGES_DONE, 2));
    EXPECT_EQ(d.get(), 1);
    EXPECT_EQ(ch.Sequence(), 1u);
    EXPECT_EQ(SlotQueueSize(0), 0u);
}

TEST_F(LineChannel, OversizeLengthsNeverRunPastABuffer) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    LinkRecord r;

    // GetData into the watcher's 672 bytes, followed by a guard.
    uint8_t buf[MODEM_TEXT_BUFFER + 32];
    std::memset(buf, 0x5A, sizeof buf);
    auto d = std::async(std::launch::async,
                        [&] { return ch.GetData(std::span<uint8_t>(buf, MODEM_TEXT_BUFFER)); });
    ASSERT_TRUE(gw.ReadRecord(r));
    ASSERT_TRUE(gw.SendReply(CMD_GET_DATA, r.nSeq, 5000, std::string(1350, 'A')));
    EXPECT_EQ(d.get(), 1);
    EXPECT_EQ(buf[MODEM_TEXT_BUFFER - 1], 'A');
    for (size_t i = MODEM_TEXT_BUFFER; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0x5A) << i;

    std::string text;
    auto t = std::async(std::launch::async, [&] { return ch.GetDataText(text); });
    ASSERT_TRUE(gw.ReadRecord(r));
    ASSERT_TRUE(gw.SendReply(CMD_GET_DATA, r.nSeq, 5000, std::string(1350, 'B')));
    EXPECT_EQ(t.get(), 1);
    EXPECT_EQ(text, std::string(MODEM_TEXT_BUFFER, 'B'));

    // A text without its terminator ends at the end of abData.
    auto g = std::async(std::launch::async, [&] { return ch.GetText(text); });
    ASSERT_TRUE(gw.ReadRecord(r));
    ASSERT_TRUE(gw.SendReply(CMD_GET_TEXT, r.nSeq, 5000, std::string(1350, 'C')));
    EXPECT_EQ(g.get(), 1);
    EXPECT_EQ(text, std::string(LINK_DATA_SIZE, 'C'));

    // TakeData copies at most the destination; the capacity only limits the zeroing.
    const uint8_t req[4] = {1, 2, 3, 4};
    ASSERT_EQ(ch.SendData(req, 4), 4);
    ASSERT_TRUE(gw.ReadRecord(r));
    EXPECT_EQ(r.sControl, CMD_DATA);
    EXPECT_EQ(r.nLength, 4u);
    EXPECT_EQ(r.abData[3], 4);
    ASSERT_TRUE(gw.SendReply(CMD_DATA, r.nSeq, 5000, std::string(1350, 'D')));
    ASSERT_TRUE(WaitUntil([&] { return ch.HasReply() == 1; }));
    uint8_t dest[120];
    std::memset(dest, 0x5A, sizeof dest);
    EXPECT_EQ(ch.TakeData(std::span<uint8_t>(dest, 100), 4096), 100);
    EXPECT_EQ(dest[99], 'D');
    for (size_t i = 100; i < sizeof dest; ++i) ASSERT_EQ(dest[i], 0x5A) << i;

    ASSERT_EQ(ch.SendData(req, 4), 4);
    ASSERT_TRUE(gw.ReadRecord(r));
    ASSERT_TRUE(gw.SendReply(CMD_DATA, r.nSeq, 5000, std::string(1350, 'E')));
    ASSERT_TRUE(WaitUntil([&] { return ch.HasReply() == 1; }));
    std::vector<uint8_t> big(4096, 0x5A);
    EXPECT_EQ(ch.TakeData(big, big.size()), 1350);
    EXPECT_EQ(big[1349], 'E');
    EXPECT_EQ(big[1350], 0);  // zeroed, not copied

    EXPECT_EQ(ch.SendData(big.data(), 1351), 0);  // more than abData holds
}

TEST_F(LineChannel, LostConnectionRefusesPostsButHandsOutQueuedReply) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    const uint8_t req[3] = {9, 8, 7};
    ASSERT_EQ(ch.SendData(req, 3), 3);
    LinkRecord r;
    ASSERT_TRUE(gw.ReadRecord(r));
    ASSERT_TRUE(gw.SendReply(CMD_DATA, r.nSeq, 2, "ok"));
    ASSERT_TRUE(WaitUntil([&] { return ch.HasReply() == 1; }));
    gw.Close();
    ASSERT_TRUE(WaitUntil([&] { return ch.IsLost(); }));
    EXPECT_EQ(SlotSendConnection(0), nullptr);
    EXPECT_EQ(LinkConnectionCount(), 0);

    const uint32_t seq = ch.Sequence();
    EXPECT_EQ(ch.SendData(req, 3), 0);
    EXPECT_EQ(ch.PostRecord(ch.Record(), 1), 0);
    std::string text;
    EXPECT_EQ(ch.GetText(text), 0);
    EXPECT_EQ(ch.Sequence(), seq);  // nothing was stamped, nothing went out

    uint8_t dest[LINK_DATA_SIZE] = {};
    EXPECT_EQ(ch.TakeData(dest, sizeof dest), 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(dest)), "ok");
    EXPECT_EQ(ch.Close(), 1);
    EXPECT_FALSE(ch.IsOpen());
    EXPECT_FALSE(ch.HasConnection());
    EXPECT_EQ(LinkConnectionCount(), 0);
}

TEST_F(LineChannel, ALostChannelAttachesTheNextConnectionWithAnEmptyQueue) {
    CLineChannel ch;
    FakeGateway first;
    ASSERT_EQ(AttachWith(ch, first), 1);
    // A record nobody asked for stays queued on the first connection; then it goes away.
    ASSERT_TRUE(first.SendReply(CMD_GET_TEXT, ch.Sequence() + 100, 2, "x"));
    ASSERT_TRUE(WaitUntil([] { return SlotQueueSize(0) == 1; }));
    first.Close();
    ASSERT_TRUE(WaitUntil([&] { return ch.IsLost(); }));
    EXPECT_EQ(LinkConnectionCount(), 0);

    // The next gateway connection is taken, greeted and bound; the stale record is gone.
    FakeGateway second;
    LinkRecord hello;
    ASSERT_EQ(AttachWith(ch, second, 0, CMD_HELLO, &hello), 1);
    EXPECT_EQ(hello.sControl, CMD_HELLO);
    EXPECT_FALSE(ch.IsLost());
    EXPECT_EQ(LinkConnectionCount(), 1);
    EXPECT_EQ(SlotQueueSize(0), 0u);
    EXPECT_EQ(ch.Close(), 1);
    EXPECT_EQ(LinkConnectionCount(), 0);
}

TEST_F(LineChannel, ByeReplyClosesTheChannel) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    const uint8_t req[1] = {1};
    ASSERT_EQ(ch.SendData(req, 1), 1);
    LinkRecord r;
    ASSERT_TRUE(gw.ReadRecord(r));
    ASSERT_TRUE(gw.SendReply(CMD_BYE, r.nSeq));
    ASSERT_TRUE(WaitUntil([&] { return ch.HasReply() == 1; }));
    uint8_t dest[16];
    auto t = std::async(std::launch::async, [&] { return ch.TakeData(dest, sizeof dest); });
    ASSERT_TRUE(gw.ReadRecord(r));
    EXPECT_EQ(r.sControl, CMD_BYE);
    EXPECT_EQ(t.get(), 0);
    EXPECT_FALSE(ch.IsOpen());
    EXPECT_FALSE(ch.HasConnection());
    EXPECT_EQ(LinkConnectionCount(), 0);
}

TEST_F(LineChannel, BusySlotRefusesPostAndRestartClearsTheSlot) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    server.Stop();  // no send thread: a post stays pending
    const uint8_t req[2] = {1, 2};
    EXPECT_EQ(ch.SendData(req, 2), 2);
    EXPECT_EQ(ch.SendData(req, 2), 0);
    EXPECT_EQ(ch.Sequence(), 3u);  // the refused record was stamped too
    EXPECT_FALSE(ch.RequestSent());
    EXPECT_EQ(LinkConnectionCount(), 1);

    ASSERT_TRUE(server.Start(LoopbackConfig(udp.Port())));
    EXPECT_EQ(LinkConnectionCount(), 0);  // the bound connection was let go
    EXPECT_TRUE(ch.IsLost());
    EXPECT_TRUE(ch.RequestSent());
    EXPECT_EQ(ch.SendData(req, 2), 0);
    EXPECT_EQ(ch.Close(), 1);
    uint8_t b;
    EXPECT_FALSE(gw.ReadExact(&b, 1, 1000));
}

TEST_F(LineChannel, UpgradeEndClosesAndGivesBack) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    auto u = std::async(std::launch::async, [&] { return ch.UpgradeEnd(); });
    LinkMessage m{};
    ASSERT_TRUE(gw.ReadMessage(m));
    EXPECT_EQ(m[0], CMD_UPGRADE_END);
    EXPECT_EQ(U32(m, 5), 2u);
    for (size_t i = 9; i < LINK_MESSAGE_SIZE; ++i) ASSERT_EQ(m[i], 0) << i;
    EXPECT_EQ(u.get(), 1);
    EXPECT_FALSE(ch.IsOpen());
    EXPECT_FALSE(ch.HasConnection());
    EXPECT_EQ(LinkConnectionCount(), 0);
    EXPECT_EQ(ch.UpgradeEnd(), 0);  // no connection any more
}

TEST_F(LineChannel, DataOverrideAndPostRecord) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    ch.SetTypeOverride(1);
    const uint8_t req[2] = {0x4B, 0x13};
    ASSERT_EQ(ch.SendData(req, 2), 2);
    LinkMessage m{};
    ASSERT_TRUE(gw.ReadMessage(m));
    EXPECT_EQ(m[0], 0xF0);
    EXPECT_EQ(m[9], 0x4B);
    EXPECT_EQ(U32(m, 1359), 2u);
    ASSERT_TRUE(gw.SendReply(0xF0, U32(m, 5), 1, "\x01"));
    ASSERT_TRUE(WaitUntil([&] { return ch.HasReply() == 1; }));
    LinkRecord out;
    EXPECT_EQ(ch.TakeReplyLocked(out), 1);
    EXPECT_EQ(out.sControl, 0xF0);

    LinkRecord rec;
    rec.sControl = CMD_ENTER_DOWNLOAD;
    EXPECT_EQ(ch.PostRecord(rec, 1), 1);
    ASSERT_TRUE(gw.ReadMessage(m));
    EXPECT_EQ(m[0], CMD_ENTER_DOWNLOAD);
    EXPECT_EQ(U32(m, 5), rec.nSeq);
    EXPECT_EQ(ch.LastEncodedLength(), 9);
}

}  // namespace
