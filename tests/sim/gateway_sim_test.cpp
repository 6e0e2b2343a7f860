// GatewaySim on loopback, seen from a raw client that plays the tool's side of the link.
#include <gtest/gtest.h>


#include <atomic>
#include <string>
#include <vector>

#include "fake_tool.h"
#include "modem/diag_frame.h"
#include "platform/trace.h"
#include "sim/gateway_sim.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Sha256Hex(const Bytes& bytes) {
    Sha256 sha;
    sha.Update(bytes.data(), bytes.size());
    return sha.HexDigest();
}

// The digest the reports carry, on both back ends (nettle, CryptoAPI): the FIPS 180-2 "abc" vector.
TEST(Sha256, KnownAnswer) {
    EXPECT_EQ(Sha256Hex({'a', 'b', 'c'}), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    return b;
}

class GatewaySimTest : public ::testing::Test {
protected:
    void SetUp() override {
        GatewaySimConfig config;
        config.bPresetModem = false;  // the link tests need no modem contents
        sim = std::make_unique<GatewaySim>(config);
        ASSERT_TRUE(sim->Start()) << sim->LastError();
        ASSERT_GT(sim->AnnouncePort(), 0);
        ASSERT_GT(sim->WebPort(), 0);
        ASSERT_GT(sim->SettingPort(), 0);
    }
    void TearDown() override { sim->Stop(); }

    void Connect() {
        ASSERT_TRUE(tool.Connect(sim->AnnouncePort()));
        ASSERT_TRUE(GatewaySim::WaitUntil([&] { return sim->IsConnected(); }, 5000));
    }

    // Header, raw bytes in odd pieces; the header's nSeq.
    uint32_t SendImage(uint8_t type, const Bytes& image) {
        LinkRecord h;
        h.sControl = type;
        h.nArg1 = 1392;
        h.nLength = 1350;
        h.nTotal = static_cast<uint32_t>(image.size());
        tool.SendBytes(tool.Encode(h));
        const uint32_t seq = tool.Seq();
        size_t at = 0;
        for (size_t piece : {size_t{1}, size_t{1349}, size_t{1350}, size_t{777}}) {
            if (at >= image.size()) break;
            const size_t n = std::min(piece, image.size() - at);
            tool.SendBytes(std::span<const uint8_t>(image.data() + at, n));
            at += n;
        }
        while (at < image.size()) {
            const size_t n = std::min<size_t>(1350, image.size() - at);
            tool.SendBytes(std::span<const uint8_t>(image.data() + at, n));
            at += n;
        }
        return seq;
    }

    std::unique_ptr<GatewaySim> sim;
    FakeTool tool;
};

}  // namespace

TEST_F(GatewaySimTest, ConnectsOnAnnouncementAndAnswersQueries) {
    Connect();
    const auto ann = sim->Announcements();
    ASSERT_EQ(ann.size(), 1u);
    EXPECT_EQ(ann[0].size, LINK_MESSAGE_SIZE);
    EXPECT_EQ(ann[0].port, static_cast<uint32_t>(tool.Port()));
    EXPECT_EQ(ann[0].note, "connected");

    uint32_t seq = tool.Send(CMD_HELLO);
    auto hello = tool.ReadMessage();
    ASSERT_TRUE(hello);
    LinkMessage expect{};
    expect[0] = CMD_HELLO;
    plat::PutLe32(expect, 1, 1392);
    plat::PutLe32(expect, 5, seq);
    EXPECT_EQ(*hello, expect);

    seq = tool.Send(CMD_GET_TEXT);
    auto text = tool.ReadReply();
    ASSERT_TRUE(text);
    EXPECT_EQ(text->sControl, CMD_GET_TEXT);
    EXPECT_EQ(text->nSeq, seq);
    EXPECT_EQ(text->nLength, 13u);  // "RK19T_V1.0.0" and its NUL
    EXPECT_STREQ(reinterpret_cast<const char*>(text->abData.data()), "RK19T_V1.0.0");

    sim->UpdateKnobs([](SimKnobs& k) { k.modemVersion = "PD_WA_RK880T_X"; });
    seq = tool.Send(CMD_GET_DATA);
    auto data = tool.ReadReply();
    ASSERT_TRUE(data);
    EXPECT_EQ(data->sControl, CMD_GET_DATA);
    EXPECT_EQ(data->nSeq, seq);
    EXPECT_EQ(data->nLength, 14u);
    EXPECT_EQ(std::string(data->abData.begin(), data->abData.begin() + 14), "PD_WA_RK880T_X");

    // A second announcement while connected makes no second connection.
    tool.Announce(sim->AnnouncePort());
    ASSERT_TRUE(GatewaySim::WaitUntil([&] { return sim->Announcements().size() == 2; }, 5000));
    EXPECT_EQ(sim->Announcements()[1].note, "already connected");
    EXPECT_EQ(sim->Connections(), 1);
    EXPECT_EQ(sim->RequestTypes(), (std::vector<uint8_t>{CMD_HELLO, CMD_GET_TEXT, CMD_GET_DATA}));
}

TEST_F(GatewaySimTest, RefusesForeignAddressesAndHonoursNeverConnect) {
    const LinkMessage foreign = FakeTool::Announcement(static_cast<uint32_t>(tool.Port()), 0x0100A8C0);
    FakeTool::SendDatagram(sim->AnnouncePort(), foreign);
    const Bytes shortDatagram(10, 0x6A);
    FakeTool::SendDatagram(sim->AnnouncePort(), shortDatagram);
    sim->UpdateKnobs([](SimKnobs& k) { k.bNeverConnect = true; });
    tool.Announce(sim->AnnouncePort());
    ASSERT_TRUE(GatewaySim::WaitUntil([&] { return sim->Announcements().size() == 3; }, 5000));
    const auto ann = sim->Announcements();
    EXPECT_FALSE(ann[0].bValid);
    EXPECT_EQ(ann[0].note, "refused: address 192.168.0.1 is not 127.0.0.1");
    EXPECT_EQ(ann[1].note, "refused: 10 bytes");
    EXPECT_TRUE(ann[2].bValid);
    EXPECT_EQ(ann[2].note, "never connect");
    EXPECT_FALSE(tool.Accept(200));
    EXPECT_EQ(sim->Connections(), 0);
}

TEST_F(GatewaySimTest, ImagesAreTakenByCountAndConfirmed) {
    Connect();
    const Bytes boot = Pattern(4001);
    uint32_t seq = SendImage(CMD_DOWN_BOOT, boot);
    auto reply = tool.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->sControl, CMD_DOWN_BOOT);
    EXPECT_EQ(reply->nSeq, seq);

    // An empty image is confirmed at once; the next message follows straight on.
    seq = SendImage(CMD_DOWN_LINUX, {});
    reply = tool.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->sControl, CMD_DOWN_LINUX);
    EXPECT_EQ(reply->nSeq, seq);

    const Bytes linux = Pattern(20000);
    seq = SendImage(CMD_DOWN_LINUX, linux);
    reply = tool.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->nSeq, seq);
    seq = tool.Send(CMD_IMAGES_DONE);
    reply = tool.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->sControl, CMD_IMAGES_DONE);

    const auto bootReport = sim->Image(CMD_DOWN_BOOT);
    ASSERT_TRUE(bootReport);
    EXPECT_EQ(bootReport->received, 4001u);
    EXPECT_TRUE(bootReport->bComplete);
    EXPECT_EQ(bootReport->sha256, Sha256Hex(boot));
    const auto linuxReport = sim->Image(CMD_DOWN_LINUX);
    ASSERT_TRUE(linuxReport);
    EXPECT_EQ(linuxReport->transfers, 2);
    EXPECT_EQ(linuxReport->received, 20000u);
    EXPECT_EQ(linuxReport->sha256, Sha256Hex(linux));
    EXPECT_EQ(sim->RequestTypes(),
              (std::vector<uint8_t>{CMD_DOWN_BOOT, CMD_DOWN_LINUX, CMD_DOWN_LINUX, CMD_IMAGES_DONE}));
}

TEST_F(GatewaySimTest, TunnelCarriesAtAndDiagAndRecordsTheRecordType) {
    sim->Modem().SetAtDiagMode(1);
    Connect();
    uint32_t seq = tool.SendText(CMD_DATA, "AT+KDIAG?\r");
    auto reply = tool.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->sControl, CMD_DATA);
    EXPECT_EQ(reply->nSeq, seq);
    const std::string answer = "\r\n+KDIAG: 1\r\n\r\nOK\r\n";
    EXPECT_EQ(reply->nLength, answer.size());
    EXPECT_EQ(std::string(reply->abData.begin(), reply->abData.begin() + answer.size()), answer);

    // A reset goes out as 0xF0; the answer is a CMD_DATA record.
    const Bytes reset = EncodeFrame(Bytes{0x29, 0x02, 0x00}, false);
    seq = tool.Send(CMD_DATA, reset, 1);
    reply = tool.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->sControl, CMD_DATA);
    EXPECT_EQ(reply->nSeq, seq);
    const Bytes frame(reply->abData.begin(), reply->abData.begin() + reply->nLength);
    EXPECT_EQ(frame, EncodeFrame(Bytes{0x29, 0x02, 0x00}, false));
    EXPECT_EQ(sim->DataRecordTypes(), (std::vector<uint8_t>{CMD_DATA, 0xF0}));
    EXPECT_EQ(sim->Modem().Resets(), 1);
    EXPECT_EQ(sim->Requests()[1].data, reset);
}

TEST_F(GatewaySimTest, SilenceWrongSequenceWrongTypeAndByeKnobs) {
    Connect();
    sim->UpdateKnobs([](SimKnobs& k) {
        k.silentTypes = {CMD_GET_TEXT};
        k.seqOffset[CMD_GET_DATA] = 1000;
        k.wrongReplyType[CMD_IMAGES_DONE] = 0x41;
        k.byeInsteadTypes = {CMD_HELLO};
        k.replyLength[CMD_GET_DATA] = 5000;
    });
    tool.Send(CMD_GET_TEXT);
    EXPECT_FALSE(tool.ReadMessage(300));

    uint32_t seq = tool.Send(CMD_GET_DATA);
    auto reply = tool.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->sControl, CMD_GET_DATA);
    EXPECT_EQ(reply->nSeq, seq + 1000);
    EXPECT_EQ(reply->nLength, 5000u);

    seq = tool.Send(CMD_IMAGES_DONE);
    reply = tool.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->sControl, 0x41);
    EXPECT_EQ(reply->nSeq, seq);

    seq = tool.Send(CMD_HELLO);
    const auto bye = tool.ReadMessage();
    ASSERT_TRUE(bye);
    LinkMessage expect{};
    expect[0] = CMD_BYE;
    plat::PutLe32(expect, 5, seq);
    EXPECT_EQ(*bye, expect);
}

TEST_F(GatewaySimTest, LateReplyAndDownloadModeAskAgain) {
    Connect();
    sim->UpdateKnobs([](SimKnobs& k) {
        k.replyDelayMs[CMD_HELLO] = 150;
        k.enterDownloadAgain = 2;
    });
    const int64_t start = plat::TickMs();
    uint32_t seq = tool.Send(CMD_HELLO);
    auto reply = tool.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_GE(plat::TickMs() - start, 150);
    EXPECT_EQ(reply->nSeq, seq);

    for (uint8_t expectType : {CMD_ENTER_DOWNLOAD_AGAIN, CMD_ENTER_DOWNLOAD_AGAIN, CMD_ENTER_DOWNLOAD}) {
        seq = tool.Send(CMD_ENTER_DOWNLOAD);
        reply = tool.ReadReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->sControl, expectType);
        EXPECT_EQ(reply->nSeq, seq);
    }
    EXPECT_TRUE(sim->InDownloadMode());
}

TEST_F(GatewaySimTest, HangUpAfterTheExitReply) {
    Connect();
    sim->UpdateKnobs([](SimKnobs& k) { k.hangUpAfterTypes = {CMD_EXIT_DOWNLOAD}; });
    tool.Send(CMD_EXIT_DOWNLOAD);
    auto reply = tool.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->sControl, CMD_EXIT_DOWNLOAD);
    EXPECT_TRUE(tool.WaitPeerClosed());
    ASSERT_TRUE(GatewaySim::WaitUntil([&] { return !sim->IsConnected(); }, 5000));
    EXPECT_EQ(sim->LinkCloses().at(0), "hang-up after the reply to 0x30");
}

TEST_F(GatewaySimTest, DisconnectAfterImageBytes) {
    Connect();
    sim->UpdateKnobs([](SimKnobs& k) {
        k.disconnectAfterImageBytes = 2000;
        k.disconnectImageType = CMD_DOWN_LINUX;
    });
    const Bytes boot = Pattern(3000);
    SendImage(CMD_DOWN_BOOT, boot);  // another type: not cut
    ASSERT_TRUE(tool.ReadReply());
    const Bytes linux = Pattern(5000);
    SendImage(CMD_DOWN_LINUX, linux);
    EXPECT_TRUE(tool.WaitPeerClosed());
    ASSERT_TRUE(GatewaySim::WaitUntil([&] { return !sim->IsConnected(); }, 5000));
    const auto image = sim->Image(CMD_DOWN_LINUX);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->received, 2000u);
    EXPECT_FALSE(image->bComplete);
    EXPECT_EQ(image->sha256, Sha256Hex(Bytes(linux.begin(), linux.begin() + 2000)));
    EXPECT_TRUE(sim->Replies().size() == 1 && sim->Replies()[0].type == CMD_DOWN_BOOT);
}

TEST_F(GatewaySimTest, StopReadingAfterImageBytes) {
    Connect();
    sim->UpdateKnobs([](SimKnobs& k) { k.stopReadingAfterImageBytes = 1500; });
    const Bytes linux = Pattern(8000);
    SendImage(CMD_DOWN_LINUX, linux);
    EXPECT_FALSE(tool.ReadMessage(300));  // no reply, and the connection stays up
    EXPECT_TRUE(sim->IsConnected());
    const auto image = sim->Image(CMD_DOWN_LINUX);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->received, 1500u);
}

TEST_F(GatewaySimTest, UpgradeEndRebootsAndClosesWithoutReply) {
    std::atomic<int> reboots{0};
    sim->SetUpgradeEndHook([&] { ++reboots; });
    sim->UpdateKnobs([](SimKnobs& k) { k.upgradeEndCloseMs = 50; });
    Connect();
    tool.Send(CMD_UPGRADE_END);
    EXPECT_TRUE(tool.WaitPeerClosed());
    ASSERT_TRUE(GatewaySim::WaitUntil([&] { return !sim->IsConnected(); }, 5000));
    EXPECT_EQ(reboots.load(), 1);
    EXPECT_TRUE(sim->Web().Rebooting());
    EXPECT_EQ(sim->UpgradeEnds(), 1);
    EXPECT_TRUE(sim->Replies().empty());
    EXPECT_EQ(sim->LinkCloses().at(0), "rebooting");

    // After the upgrade the gateway does not come back on the link.
    tool.CloseConnection();
    tool.Announce(sim->AnnouncePort());
    ASSERT_TRUE(GatewaySim::WaitUntil([&] { return sim->Announcements().size() == 2; }, 5000));
    EXPECT_EQ(sim->Announcements()[1].note, "upgraded: no new connection");
}

TEST_F(GatewaySimTest, ByeClosesAndTheNextAnnouncementReconnects) {
    Connect();
    tool.Send(CMD_BYE);
    EXPECT_TRUE(tool.WaitPeerClosed());
    ASSERT_TRUE(GatewaySim::WaitUntil([&] { return !sim->IsConnected(); }, 5000));
    EXPECT_EQ(sim->LinkCloses().at(0), "bye from the tool");
    tool.CloseConnection();
    Connect();
    EXPECT_EQ(sim->Connections(), 2);
    const uint32_t seq = tool.Send(CMD_HELLO);
    const auto reply = tool.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->nSeq, seq);
    EXPECT_EQ(sim->Requests().back().connection, 2);
}

TEST(GatewaySimPreset, ModemFollowsTheCpeVersionText) {
    GatewaySim rk19t;
    EXPECT_EQ(rk19t.Modem().Imei(), SIM_DEFAULT_IMEI);
    EXPECT_EQ(rk19t.Modem().EfsFiles().size(), 19u);

    GatewaySimConfig config;
    config.knobs.cpeVersion = "RK18G_V2";
    GatewaySim rk18g(config);
    EXPECT_EQ(rk18g.Modem().EfsFiles().size(), 40u);
    EXPECT_TRUE(rk18g.PresetModemFor("RK19L"));
    EXPECT_EQ(rk18g.Modem().EfsFiles().size(), 38u);
}
