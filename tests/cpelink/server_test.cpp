#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "cpelink/line_channel.h"
#include "cpelink/link_server.h"
#include "link_test_util.h"
#include "platform/trace.h"

namespace {

using namespace linktest;
using LinkServer = LinkTest;

TEST_F(LinkServer, AnnouncementOnTheWire) {
    const std::vector<uint8_t> d = udp.Receive(3000);
    ASSERT_EQ(d.size(), LINK_MESSAGE_SIZE);
    const uint16_t port = static_cast<uint16_t>(server.Port());
    const uint8_t head[17] = {0x6A, 114, 0, 0, 0, 108, 0, 0, 0, static_cast<uint8_t>(port & 0xFF),
                              static_cast<uint8_t>(port >> 8), 0, 0, 127, 0, 0, 1};
    for (size_t i = 0; i < sizeof head; ++i) EXPECT_EQ(d[i], head[i]) << "byte " << i;
    for (size_t i = 17; i < d.size(); ++i) ASSERT_EQ(d[i], 0) << "byte " << i;
    EXPECT_EQ(udp.Receive(3000).size(), LINK_MESSAGE_SIZE);  // and again
}

TEST_F(LinkServer, NoAnnouncementAndNoAcceptAtEightConnections) {
    std::vector<std::unique_ptr<FakeGateway>> gws;
    for (int i = 0; i < 8; ++i) {
        gws.push_back(std::make_unique<FakeGateway>());
        ASSERT_TRUE(gws.back()->Connect(server.Port()));
    }
    ASSERT_TRUE(WaitUntil([&] { return server.PendingCount() == 8; }));
    EXPECT_EQ(LinkConnectionCount(), 8);
    plat::SleepRaw(150);  // an announcement pass that began before the eighth
    udp.Drain();
    FakeGateway ninth;
    ASSERT_TRUE(ninth.Connect(server.Port()));  // completes in the backlog
    EXPECT_TRUE(udp.Receive(500).empty());      // several announcement periods
    EXPECT_EQ(server.PendingCount(), 8u);
    EXPECT_EQ(LinkConnectionCount(), 8);

    LinkConnectionPtr c;
    ASSERT_EQ(server.TakePendingConnection(c), 0);
    EXPECT_TRUE(c->GiveBack());
    EXPECT_FALSE(c->GiveBack());  // once only
    ASSERT_TRUE(WaitUntil([&] { return server.PendingCount() == 8; }));  // the ninth now
    EXPECT_EQ(LinkConnectionCount(), 8);
}

TEST_F(LinkServer, OldestPendingTakenFirst) {
    FakeGateway a, b;
    ASSERT_TRUE(a.Connect(server.Port()));
    ASSERT_TRUE(WaitUntil([&] { return server.PendingCount() == 1; }));
    ASSERT_TRUE(b.Connect(server.Port()));
    ASSERT_TRUE(WaitUntil([&] { return server.PendingCount() == 2; }));
    auto peerPort = [](const LinkConnectionPtr& c) { return c->Sock().PeerAddress().port; };
    LinkConnectionPtr first, second, none;
    ASSERT_EQ(server.TakePendingConnection(first), 0);
    ASSERT_EQ(server.TakePendingConnection(second), 0);
    EXPECT_EQ(server.TakePendingConnection(none), -1);
    EXPECT_EQ(peerPort(first), a.LocalPort());
    EXPECT_EQ(peerPort(second), b.LocalPort());
    first->GiveBack();
    second->GiveBack();
}

TEST_F(LinkServer, LostConnectionClearsBothHalvesAndRequestTimesOut) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    std::string text;
    auto q = std::async(std::launch::async, [&] { return ch.GetText(text); });
    LinkRecord r;
    ASSERT_TRUE(gw.ReadRecord(r));
    gw.Close();
    EXPECT_EQ(q.get(), 0);
    ASSERT_TRUE(WaitUntil([] { return LinkConnectionCount() == 0; }));
    LinkSlot& s = GetLinkSlot(0);
    {
        std::lock_guard<std::mutex> rl(s.recvLock);
        std::lock_guard<std::mutex> wl(s.sendLock);
        EXPECT_EQ(s.recvConn, nullptr);
        EXPECT_EQ(s.sendConn, nullptr);
        EXPECT_FALSE(s.bPending);
    }
    EXPECT_TRUE(ch.IsLost());
    EXPECT_EQ(ch.Close(), 1);
}

TEST_F(LinkServer, MessageInTwoPiecesIsOneRecord) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    const LinkMessage m = FakeGateway::Reply(CMD_GET_DATA, 9, 6, "piece");
    ASSERT_TRUE(gw.SendBytes(m.data(), 1000));
    plat::SleepRaw(100);  // the receive thread sees the first piece alone
    EXPECT_EQ(SlotQueueSize(0), 0u);
    ASSERT_TRUE(gw.SendBytes(m.data() + 1000, 440));
    ASSERT_TRUE(WaitUntil([] { return SlotQueueSize(0) == 1; }));
    LinkRecord r;
    ASSERT_TRUE(SlotTakeReply(0, 9, r));
    EXPECT_EQ(r.sControl, CMD_GET_DATA);
    EXPECT_EQ(r.nLength, 6u);
    EXPECT_STREQ(reinterpret_cast<const char*>(r.abData.data()), "piece");
    plat::SleepRaw(100);
    EXPECT_EQ(SlotQueueSize(0), 0u);  // no second record from the second piece
}

TEST_F(LinkServer, ReceiveQueueIsBounded) {
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    for (uint32_t i = 0; i < LINK_QUEUE_LIMIT + 10; ++i) ASSERT_TRUE(gw.SendReply(CMD_DATA, 1000 + i, 1, "x"));
    ASSERT_TRUE(WaitUntil([] { return SlotHasReply(0, 1000 + LINK_QUEUE_LIMIT + 9); }));
    EXPECT_EQ(SlotQueueSize(0), LINK_QUEUE_LIMIT);
    EXPECT_FALSE(SlotHasReply(0, 1000));  // the oldest went
    EXPECT_TRUE(SlotHasReply(0, 1010));
}

TEST_F(LinkServer, NinthConnectionAcceptedAfterEightClosedByTheTool) {
    for (int i = 0; i < 9; ++i) {
        CLineChannel ch;
        FakeGateway gw;
        ASSERT_EQ(AttachWith(ch, gw, i % LINE_COUNT), 1) << "connection " << i + 1;
        auto c = std::async(std::launch::async, [&] { return ch.Close(); });
        LinkRecord bye;
        ASSERT_TRUE(gw.ReadRecord(bye));
        EXPECT_EQ(bye.sControl, CMD_BYE);
        ASSERT_EQ(c.get(), 1);
        EXPECT_EQ(LinkConnectionCount(), 0);
    }
}

TEST_F(LinkServer, StoppedServerStartsAgainOnTheSamePort) {
    const int port = server.Port();
    server.Stop();
    EXPECT_FALSE(IsLinkServerRunning());
    int busyCalls = 0;
    LinkServerConfig cfg = LoopbackConfig(udp.Port(), port);
    cfg.onPortBusy = [&](const std::string&) { ++busyCalls; };
    ASSERT_TRUE(server.Start(cfg));
    EXPECT_TRUE(IsLinkServerRunning());
    EXPECT_EQ(server.Port(), port);
    EXPECT_EQ(busyCalls, 0);
    FakeGateway gw;
    ASSERT_TRUE(gw.Connect(port));
    EXPECT_TRUE(WaitUntil([&] { return server.PendingCount() == 1; }));
}

TEST_F(LinkServer, SecondServerDoesNothingWhileOneRuns) {
    CLinkServer other;
    EXPECT_FALSE(other.Start(LoopbackConfig(udp.Port())));
    EXPECT_FALSE(other.IsRunning());
    other.Stop();
    EXPECT_TRUE(IsLinkServerRunning());
}

TEST_F(LinkServer, StopSaysByeToPendingPeers) {
    FakeGateway a, b;
    ASSERT_TRUE(a.Connect(server.Port()));
    ASSERT_TRUE(b.Connect(server.Port()));
    ASSERT_TRUE(WaitUntil([&] { return server.PendingCount() == 2; }));
    auto stopped = std::async(std::launch::async, [&] { server.Stop(); });
    for (FakeGateway* g : {&a, &b}) {
        uint8_t bye[9];
        ASSERT_TRUE(g->ReadExact(bye, sizeof bye));
        EXPECT_EQ(bye[0], 0xFF);
        for (int i = 1; i < 9; ++i) EXPECT_EQ(bye[i], 0);
        g->Close();  // the peer closes: the stop goes on
    }
    stopped.get();
    EXPECT_EQ(LinkConnectionCount(), 0);
    EXPECT_FALSE(IsLinkServerRunning());
}

TEST(LinkServerPort, BusyPortGivesItsText) {
    ScaleGuard scale(0.01);
    plat::Socket holder = plat::ListenTcp({plat::IPV4_LOOPBACK, 0}, 1);
    ASSERT_TRUE(holder.Valid());
    const int port = holder.LocalPort();

    UdpListener udp;
    std::vector<std::string> texts;
    LinkServerConfig cfg = LoopbackConfig(udp.Port(), port);
    cfg.onPortBusy = [&](const std::string& t) { texts.push_back(t); };
    CLinkServer server;
    EXPECT_FALSE(server.Start(cfg));
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "端口" + std::to_string(port) + "已被占用，请关闭占用该端口的程序。");
    EXPECT_TRUE(udp.Receive(400).empty());  // nothing to announce
    server.Stop();
    holder.Close();
    ASSERT_TRUE(server.Start(cfg));  // free now
    EXPECT_EQ(texts.size(), 1u);
    server.Stop();
}

// A peer off the announced subnet is closed at once and traced, never queued or counted; with the
// subnet that holds it, the same peer is taken.
TEST(LinkServerPeer, ConnectionFromAnotherSubnetIsClosedAtOnce) {
    ScaleGuard scale(0.01);
    UdpListener udp;
    std::vector<std::string> traces;
    std::mutex traceLock;
    plat::SetTraceSink([&](const std::string& t) {
        std::lock_guard<std::mutex> lock(traceLock);
        traces.push_back(t);
    });
    for (const uint32_t net : {0x7F000002u, 0x7F000000u}) {
        LinkServerConfig cfg = LoopbackConfig(udp.Port());
        cfg.acceptNet = net;
        cfg.acceptMask = net == 0x7F000002u ? 0xFFFFFFFF : 0xFFFFFF00;
        CLinkServer server;
        ASSERT_TRUE(server.Start(cfg));
        FakeGateway gw;
        ASSERT_TRUE(gw.Connect(server.Port()));
        if (net == 0x7F000002u) {
            uint8_t b = 0;
            EXPECT_FALSE(gw.ReadExact(&b, 1));  // closed, nothing sent
            EXPECT_EQ(server.PendingCount(), 0u);
            EXPECT_EQ(server.ConnectionsAccepted(), 0);
            EXPECT_EQ(LinkConnectionCount(), 0);
        } else {
            EXPECT_TRUE(WaitUntil([&] { return server.PendingCount() == 1; }));
        }
        server.Stop();
    }
    plat::SetTraceSink(nullptr);
    EXPECT_EQ(traces, std::vector<std::string>{"Link connection from 127.0.0.1 refused: not on 127.0.0.2/32"});
}

}  // namespace
