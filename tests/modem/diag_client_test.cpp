#include <gtest/gtest.h>

#include <array>

#include "fake_tunnel.h"
#include "modem/nv_store.h"
#include "modem/diag_client.h"

namespace {

using Nv = std::array<uint8_t, NV_ITEM_SIZE>;

Bytes NvReply(uint8_t cmd, uint16_t item, const Nv& data, uint16_t status) {
    Bytes p{cmd, uint8_t(item & 0xFF), uint8_t(item >> 8)};
    p.insert(p.end(), data.begin(), data.end());
    p.push_back(uint8_t(status & 0xFF));
    p.push_back(uint8_t(status >> 8));
    return p;
}

Nv ImeiData() {
    Nv d{};
    const uint8_t head[] = {0x08, 0x8A, 0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0x43};
    std::copy(std::begin(head), std::end(head), d.begin());
    return d;
}

// Expected frame: payload bytes, then the FCS and flag given literally.
Bytes Frame(Bytes payload, std::initializer_list<uint8_t> tail) {
    payload.insert(payload.end(), tail);
    return payload;
}

class DiagClientTest : public ::testing::Test {
protected:
    ScaleGuard scale{0.05};
    FakeTunnel tunnel;
    DiagClient client{tunnel};
    TraceCapture traces;
};

TEST_F(DiagClientTest, CommandRequestFramesAreByteExact) {
    Bytes nvRead{0x26, 0x26, 0x02};
    nvRead.resize(3 + 128 + 2, 0);
    Bytes nvWrite{0x27, 0x26, 0x02};
    const Nv imei = ImeiData();
    nvWrite.insert(nvWrite.end(), imei.begin(), imei.end());
    nvWrite.push_back(0);
    nvWrite.push_back(0);

    auto expect = [&](Step s, Bytes frame) {
        s.expect = std::move(frame);
        tunnel.steps.push_back(s);
    };
    expect(ReplyFrame({0x29, 0x02, 0x00}), {0x29, 0x02, 0x00, 0x59, 0x6A, 0x7E});
    expect(ReplyFrame({0x29, 0x01, 0x00}), {0x29, 0x01, 0x00, 0x31, 0x40, 0x7E});
    expect(ReplyFrame({0x01, 0x78, 0x56, 0x34, 0x12}), {0x01, 0xF1, 0xE1, 0x7E});
    expect(ReplyFrame(NvReply(0x27, 550, imei, 0)), Frame(nvWrite, {0x2C, 0x8F, 0x7E}));
    expect(ReplyFrame(NvReply(0x26, 550, imei, 0)), Frame(nvRead, {0x3E, 0x2B, 0x7E}));
    expect(ReplyFrame({0x41, 0x01}), {0x41, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0xDF, 0x8A, 0x7E});
    expect(ReplyFrame({0x02}, true), {0x7E, 0x0A, 0x22, 0x5F, 0x7E});

    EXPECT_EQ(client.ResetPhone(), 1);
    EXPECT_EQ(client.SetOffline(), 1);
    uint32_t esn = 0;
    EXPECT_EQ(client.ReadEsn(esn), 1);
    EXPECT_EQ(esn, 0x12345678u);
    int16_t status = 9;
    EXPECT_EQ(client.WriteNvItem(550, imei, status), 1);
    EXPECT_EQ(status, 0);
    std::string text;
    EXPECT_EQ(client.ReadImei(text), 1);
    EXPECT_EQ(text, "812345678901234");
    EXPECT_EQ(client.SendSpc(), 1);
    EXPECT_EQ(client.ResetDownloader(), 1);
    EXPECT_EQ(client.Mode(), DiagClient::ModeDownload);

    // The two resets go out as record type 0xF0, nothing else does.
    EXPECT_EQ(tunnel.sentOverride, (std::vector<int>{1, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(tunnel.override, 0);
}

TEST_F(DiagClientTest, DiagErrorRepliesGiveTheirTexts) {
    const std::pair<uint8_t, const char*> table[] = {
        {0x13, "Bad command"},
        {0x14, "The Request packet has invalid or inconsistent parameters"},
        {0x15, "The Request packet has an invalid length"},
        {0x18, "the DMSS isn't in a particular mode"},
        {0x42, "the correct SPC has not yet been entered to unlock service programming"},
        {0x47, "the correct Security Password has not yet been entered to unlock the phone"},
        {0x99, "unknow reason"},
    };
    for (const auto& [code, text] : table) {
        tunnel.steps.push_back(ReplyFrame({code, 0x29, 0x01, 0x00}));
        EXPECT_EQ(client.SetOffline(), 0);
        EXPECT_EQ(client.LastError(), std::string("Cannot Put the Phone Offline, Since ") + text);
    }
}

TEST_F(DiagClientTest, DecodeFailuresEndTheAttempt) {
    Bytes bad = EncodeFrame(Bytes{0x29, 0x02, 0x00}, false);
    bad[1] ^= 0x40;
    tunnel.steps.push_back(ReplyRaw(bad));
    EXPECT_EQ(client.ResetPhone(), 0);
    EXPECT_EQ(client.LastError(), "Cannot Reset the Phone, Since the Received Data is Wrong with Wrong CRC Checksum");

    Bytes noEnd = EncodeFrame(Bytes{0x29, 0x02, 0x00}, false);
    noEnd.pop_back();
    tunnel.steps.push_back(ReplyRaw(noEnd));
    EXPECT_EQ(client.ResetPhone(), 0);
    EXPECT_EQ(client.LastError(), "Cannot Reset the Phone, Since the Received Data is Wrong without End Flag(0x7e)");

    // A good reply on the third attempt of an NV read still succeeds.
    tunnel.steps.push_back(ReplyRaw(Bytes{0x26, 0x00}));
    tunnel.steps.push_back(ReplyFrame({0x26, 0x01}));  // too short for an NV reply
    tunnel.steps.push_back(ReplyFrame(NvReply(0x26, 10, Nv{1, 2, 3}, 0)));
    Nv data{};
    int16_t status = -5;
    EXPECT_EQ(client.ReadNvItem(10, data, status), 1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(data[2], 3);
    EXPECT_EQ(tunnel.sent.size(), 5u);
}

TEST_F(DiagClientTest, NvWriteStatusAndFailedExchange) {
    tunnel.steps.push_back(ReplyFrame(NvReply(0x27, 4001, Nv{}, 5)));
    int16_t status = 0;
    EXPECT_EQ(client.WriteNvItem(4001, Nv{}, status), 0);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(client.LastError(), "Cannot Write #4001 NVItem, Since Variable was not active");

    for (int i = 0; i < 3; ++i) tunnel.steps.push_back(ReplyFrame({0x42}));
    EXPECT_EQ(client.WriteNvItem(4001, Nv{}, status), 0);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(client.LastError(),
              "Cannot write #4001 NVItem, Since the correct SPC has not yet been entered to unlock service programming");
    EXPECT_EQ(tunnel.sent.size(), 4u);
}

TEST_F(DiagClientTest, NvReadFailuresZeroTheData) {
    for (int i = 0; i < 3; ++i) tunnel.steps.push_back(ReplyFrame({0x13}));
    Nv data;
    data.fill(0xAA);
    int16_t status = 0;
    EXPECT_EQ(client.ReadNvItem(6569, data, status), 0);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(data, Nv{});
    EXPECT_EQ(client.LastError(), "cannot read #6569 NVItem, since Bad command");

    Nv stale;
    stale.fill(0x55);
    tunnel.steps.push_back(ReplyFrame(NvReply(0x26, 6569, stale, 10)));
    data.fill(0xAA);
    EXPECT_EQ(client.ReadNvItem(6569, data, status), 0);
    EXPECT_EQ(status, 10);
    EXPECT_EQ(data, Nv{});
    EXPECT_EQ(client.LastError(), "cannot read #6569 NV Item, since address is not a valid allocation ");
}

// Answers to other requests (late ones relayed under this request's number, or left in the queue)
// are never taken for this one's; two different answers to one item fail it.
TEST_F(DiagClientTest, RepliesMustAnswerTheirRequest) {
    Nv a{}, b{};
    a[0] = 0xA1;
    b[0] = 0xB2;
    auto step = [](const Bytes& reply, std::vector<Bytes> ahead) {
        Step s = ReplyFrame(reply);
        s.ahead = std::move(ahead);
        return s;
    };
    // Item 9's late answer ahead of item 10's: set aside, no resend.
    tunnel.steps.push_back(step(NvReply(0x26, 9, a, 0), {}));
    tunnel.steps.push_back(step(NvReply(0x26, 10, b, 0), {EncodeFrame(NvReply(0x26, 9, a, 0), false)}));
    Nv data{};
    int16_t status = -5;
    EXPECT_EQ(client.ReadNvItem(9, data, status), 1);
    EXPECT_EQ(client.ReadNvItem(10, data, status), 1);
    EXPECT_EQ(data, b);
    EXPECT_EQ(tunnel.sent.size(), 2u);
    EXPECT_TRUE(client.TakeNvConflicts().empty());

    // A second answer to item 9 that differs, left in the queue: item 9 is handed back once.
    tunnel.queued.push_back(EncodeFrame(NvReply(0x26, 9, b, 0), false));
    tunnel.steps.push_back(step(NvReply(0x26, 11, a, 0), {}));
    EXPECT_EQ(client.ReadNvItem(11, data, status), 1);
    EXPECT_EQ(tunnel.drained, 1);
    EXPECT_EQ(client.TakeNvConflicts(), std::vector<uint16_t>{9});
    EXPECT_TRUE(client.TakeNvConflicts().empty());

    // Two different answers to the item being read: neither is taken.
    tunnel.queued.push_back(EncodeFrame(NvReply(0x26, 12, a, 0), false));
    tunnel.steps.push_back(step(NvReply(0x26, 12, b, 0), {}));
    data.fill(0);
    EXPECT_EQ(client.ReadNvItem(12, data, status), 0);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(data, Nv{});
    EXPECT_EQ(client.LastError(),
              "cannot read #12 NVItem, since The Phone Gave Two Different Answers to the Same Request");

    // A write's answer echoes item and data; the offline answer echoes its mode; an NV read's
    // answer ahead of an offline request is no DIAG error.
    tunnel.steps.push_back(step(NvReply(0x27, 550, a, 0), {EncodeFrame(NvReply(0x27, 550, b, 0), false),
                                                         EncodeFrame(NvReply(0x27, 551, a, 0), false)}));
    EXPECT_EQ(client.WriteNvItem(550, a, status), 1);
    tunnel.steps.push_back(step({0x29, 0x01, 0x00}, {EncodeFrame(Bytes{0x29, 0x02, 0x00}, false),
                                                     EncodeFrame(NvReply(0x26, 13, a, 0), false)}));
    EXPECT_EQ(client.SetOffline(), 1);
    EXPECT_EQ(tunnel.sent.size(), 6u);
}

TEST_F(DiagClientTest, EsnIsAllOnesAfterTenFailedAttempts) {
    for (int i = 0; i < 10; ++i) tunnel.steps.push_back(ReplyFrame({0x14}));
    uint32_t esn = 0;
    EXPECT_EQ(client.ReadEsn(esn), 0);
    EXPECT_EQ(esn, 0xFFFFFFFFu);
    EXPECT_EQ(tunnel.sent.size(), 10u);
    EXPECT_EQ(client.LastError(),
              "Cannot Get the ESN Number of the Phone, Since The Request packet has invalid or inconsistent parameters");
}

TEST_F(DiagClientTest, DownloaderNakAndTraces) {
    tunnel.slot = 2;
    for (int i = 0; i < 3; ++i) tunnel.steps.push_back(ReplyFrame({0x03, 0x00, 0x09}, i != 1));
    EXPECT_EQ(client.ResetDownloader(), 0);
    EXPECT_EQ(client.LastError(), "Cannot Reset the Phone, Since programming voltage out of spec");
    const auto lines = traces.Lines();
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& l : lines) EXPECT_EQ(l.rfind("RxTxPacket Client 2: ", 0), 0u) << l;
    for (const auto& l : lines) EXPECT_NE(l.find(" ms Fail!\n"), std::string::npos) << l;

    // Any reply code other than NAK counts as success, with or without the leading flag.
    tunnel.steps.push_back(ReplyFrame({0x05}, false));
    EXPECT_EQ(client.ResetDownloader(), 1);
    EXPECT_NE(traces.Lines().back().find(" ms Success!\n"), std::string::npos);
}

TEST_F(DiagClientTest, SilentModemGetsOneGracePeriod) {
    tunnel.slot = 3;
    tunnel.steps.push_back(Silent());
    const int64_t start = plat::TickMs();
    EXPECT_EQ(client.SetOffline(), 0);
    const int64_t elapsed = plat::TickMs() - start;
    EXPECT_EQ(client.LastError(), "Cannot Put the Phone Offline, Since Port Cannot Receive Desired Data from the Phone");
    EXPECT_EQ(tunnel.sent.size(), 1u);
    EXPECT_EQ(traces.Lines(), std::vector<std::string>{"RxTxPacket Client 3: 手机无返回数据!\n"});
    // 2000 + 10000 + 3000 ms scaled by 0.05.
    EXPECT_GE(elapsed, plat::Scaled(2000) + plat::Scaled(10000) + plat::Scaled(3000));
}

TEST_F(DiagClientTest, LateReplyInGracePeriodIsTaken) {
    Step late = ReplyFrame({0x29, 0x01, 0x00});
    late.delayMs = static_cast<int>(plat::Scaled(2000) + plat::Scaled(10000) / 2);
    tunnel.steps.push_back(late);
    EXPECT_EQ(client.SetOffline(), 1);
    EXPECT_EQ(traces.Lines(), (std::vector<std::string>{"RxTxPacket Client 0: 手机无返回数据!\n",
                                                        "RxTxPacket Client 0: 等待后手机返回数据!yeah!\n"}));
}

TEST_F(DiagClientTest, NoSecondGraceOnceAReplyWasSeen) {
    tunnel.steps.push_back(ReplyFrame({0x13}));
    tunnel.steps.push_back(Silent());
    tunnel.steps.push_back(Silent());
    Nv data{};
    int16_t status = 0;
    EXPECT_EQ(client.ReadNvItem(22, data, status), 0);
    EXPECT_EQ(tunnel.sent.size(), 3u);
    EXPECT_TRUE(traces.Lines().empty());
    EXPECT_EQ(client.LastError(), "cannot read #22 NVItem, since Port Cannot Receive Desired Data from the Phone");
}

TEST_F(DiagClientTest, RefusedSendAndOversizeReply) {
    tunnel.slot = 1;
    tunnel.steps.push_back(Refuse());
    EXPECT_EQ(client.SetOffline(), 0);
    EXPECT_EQ(client.LastError(), "Cannot Put the Phone Offline, Since Port Cannot Send desired data to the Phone");
    EXPECT_EQ(traces.Lines(), std::vector<std::string>{"Client 1 WriteCommBytes Error!\n"});

    Step big = ReplyFrame({0x29, 0x01, 0x00});
    big.lengthOverride = 4097;
    tunnel.steps.push_back(big);
    EXPECT_EQ(client.SetOffline(), 0);
    EXPECT_EQ(client.LastError(), "Cannot Put the Phone Offline, Since The Received Data from the Phone is Too Large");
}

TEST_F(DiagClientTest, StopRequestEndsTheExchange) {
    ScaleGuard real(1.0);
    tunnel.steps.push_back(Silent());
    plat::WorkerThread worker;
    int result = -1;
    worker.Start([&] { result = client.SetOffline(); });
    plat::SleepRaw(100);
    worker.Join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(tunnel.sent.size(), 1u);
}

TEST_F(DiagClientTest, ZeroAttemptsSendNothing) {
    const Bytes request = BuildEsnRequest();
    EXPECT_EQ(client.RxTxPacket(request, DiagClient::ModeDiag, 0, 500, nullptr), 1);
    EXPECT_EQ(client.RxTxPacket(request, DiagClient::ModeDiag, 256, 500, nullptr), 1);  // attempts are a byte
    EXPECT_TRUE(tunnel.sent.empty());
}

TEST_F(DiagClientTest, ResetOverrideDoesNotOutliveAnUnsentRequest) {
    tunnel.open = false;
    tunnel.steps.push_back(Refuse());
    EXPECT_EQ(client.ResetPhone(), 0);
    EXPECT_EQ(tunnel.override, 0);
}

// The builders' payloads are pinned by the frames above; the parsers take a reply only when it
// answers their command with all its fields.
TEST(DiagCodec, ParsersRefuseRepliesThatDoNotAnswer) {
    Bytes nv{0x26, 0x26, 0x02};
    nv.resize(133, 0);
    nv[3] = 0xAB;
    nv[131] = 0x05;
    ASSERT_TRUE(ParseNvReadReply(nv));
    EXPECT_EQ(ParseNvReadReply(nv)->item, 550);
    EXPECT_EQ(ParseNvReadReply(nv)->data[0], 0xAB);
    EXPECT_EQ(ParseNvReadReply(nv)->status, 5);
    EXPECT_FALSE(ParseNvWriteReply(nv));  // another command's reply
    EXPECT_FALSE(ParseNvReadReply(Bytes(nv.begin(), nv.end() - 1)));
    EXPECT_EQ(ParseEsnReply(Bytes{0x01, 0x78, 0x56, 0x34, 0x12}), 0x12345678u);
    EXPECT_FALSE(ParseEsnReply(Bytes{0x01, 0x78, 0x56, 0x34}));
    EXPECT_EQ(ParseControlReply(Bytes{0x29, 0x02, 0x00}), 2);
    EXPECT_FALSE(ParseControlReply(Bytes{0x29, 0x02}));
    EXPECT_TRUE(ParseSpcReply(Bytes{0x41}));
    EXPECT_FALSE(ParseSpcReply(Bytes{}));

    const struct {
        Bytes reply;
        DloadReplyKind kind;
        int reason;
    } dload[] = {
        {{0x02}, DloadReplyKind::Accepted, 0}, {{0x05, 0x03}, DloadReplyKind::Accepted, 0},
        {{0x03, 0x00, 0x09}, DloadReplyKind::Nak, 9}, {{0x03, 0x01, 0x02}, DloadReplyKind::Nak, 0x102},
        {{0x03, 0x09}, DloadReplyKind::Nak, 0}, {{}, DloadReplyKind::Empty, 0},
    };
    for (const auto& c : dload) {
        EXPECT_EQ(ParseDownloaderReply(c.reply).kind, c.kind) << c.reply.size();
        EXPECT_EQ(ParseDownloaderReply(c.reply).nakReason, c.reason) << c.reply.size();
    }
}

TEST(DiagTexts, NvStatusAndNakTables) {
    EXPECT_STREQ(NvStatusName(0), "NV_DONE_S");
    EXPECT_STREQ(NvStatusName(10), "NV_NOTALLOC_S");
    EXPECT_STREQ(NvStatusName(-1), "NV_RWOPFAILED_S");
    EXPECT_STREQ(NvStatusName(11), "Unknown status!");
    EXPECT_STREQ(NvStatusText(7), "Parameter is write-protected and thus read only");
    EXPECT_STREQ(NvStatusText(10), "address is not a valid allocation ");
    EXPECT_STREQ(NvStatusText(-1), "");
    EXPECT_STREQ(NvStatusText(99), "");
    EXPECT_STREQ(DownloadNakText(1), "invalid frame check sequence");
    EXPECT_STREQ(DownloadNakText(5), "packet was too long for phone's buffer");
    EXPECT_STREQ(DownloadNakText(12), "invalid security code");
    EXPECT_STREQ(DownloadNakText(13), "");
}

TEST(DiagTexts, NvDataDumpAndImei) {
    Nv d{};
    EXPECT_EQ(NvDataDump(d), "All_Zero");
    d[0] = 1;
    EXPECT_EQ(NvDataDump(d), "01 ");
    d[16] = 0xAB;
    EXPECT_EQ(NvDataDump(d), "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 \nAB ");
    Nv full{};
    full[15] = 0x7F;
    EXPECT_EQ(NvDataDump(full).size(), 16u * 3);  // no line end when nothing follows
    EXPECT_EQ(ImeiFromNvData(ImeiData()).substr(0, 5), "81234");
}

TEST(DiagTexts, ImeiCheckDigitAndItem550Decoding) {
    const struct {
        const char* imei;
        bool valid;
    } imeis[] = {
        {"356938035643809", true},  {"490154203237518", true},  {"352099001761481", true},
        {"356938035643808", false},  // check digit off by one
        {"812345678901234", false},  {"000000000000000", false},  // all zeros passes Luhn, names no unit
        {"35693803564380", false},   {"3569380356438090", false}, {"35693803564380:", false}, {"", false},
    };
    for (const auto& c : imeis) EXPECT_EQ(IsValidImei(c.imei), c.valid) << c.imei;

    // Item 550 as the modem holds it: byte 0 the length, byte 1 the first digit in its high
    // nibble, then two digits a byte, low nibble first.
    const struct {
        std::vector<uint8_t> head;
        const char* imei;
    } items[] = {
        {{0x08, 0x8A, 0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0x43}, "812345678901234"},
        {{0x08, 0x3A, 0x65, 0x39, 0x08, 0x53, 0x46, 0x83, 0x90}, "356938035643809"},
        {{}, "000000000000000"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "???????????????"},
    };
    for (const auto& c : items) {
        NvRecord r;
        r.wItem = NV_IMEI_ITEM;
        std::copy(c.head.begin(), c.head.end(), r.abData.begin());
        EXPECT_EQ(ImeiFromNvData(r.abData), c.imei);
        // The file's IMEI is its first item-550 record read with status 0.
        NvRecord inactive = r;
        inactive.wStatus = NV_NOTACTIVE_S;
        inactive.abData.fill(0x11);
        NvRecord later = r;
        later.abData[8] ^= 0x10;
        EXPECT_EQ(ImeiOfNvRecords({inactive, NvRecord{}, r, later}), c.imei);
    }
    EXPECT_EQ(ImeiOfNvRecords({NvRecord{}}), "");
}

// Download-mode switch of the gateway: whole records, resend types, time-out.
class GatewayModeTest : public DiagClientTest {
protected:
    static std::pair<std::optional<LinkRecord>, int> Rec(uint8_t type, int delay = 0) {
        LinkRecord r{};
        r.sControl = type;
        r.nLength = 1;
        return {r, delay};
    }
};

TEST_F(GatewayModeTest, EnterResendThenSuccess) {
    tunnel.recordReplies = {Rec(0x21), Rec(0x20)};
    EXPECT_EQ(client.EnterDownloadMode(3), 1);
    ASSERT_EQ(tunnel.posted.size(), 2u);
    for (const auto& r : tunnel.posted) {
        EXPECT_EQ(r.sControl, 0x20);
        EXPECT_EQ(r.nLength, 1u);
    }
    EXPECT_EQ(tunnel.restarts, 1);
    EXPECT_TRUE(tunnel.sent.empty());
}

TEST_F(GatewayModeTest, ExitAllResendsIsSuccessOtherTypeFails) {
    tunnel.recordReplies = {Rec(0x31), Rec(0x31)};
    EXPECT_EQ(client.ExitDownloadMode(2), 1);
    EXPECT_EQ(tunnel.posted.size(), 2u);
    EXPECT_EQ(tunnel.posted[0].sControl, 0x30);
    EXPECT_EQ(tunnel.restarts, 0);

    tunnel.recordReplies = {Rec(0x20)};
    EXPECT_EQ(client.ExitDownloadMode(2), 0);
    tunnel.recordReplies = {Rec(0x30, 150)};
    EXPECT_EQ(client.ExitDownloadMode(2), 1);
}

TEST_F(GatewayModeTest, NotOpenFailsAtOnce) {
    tunnel.open = false;
    EXPECT_EQ(client.EnterDownloadMode(3), 0);
    EXPECT_EQ(client.ExitDownloadMode(3), 0);
    EXPECT_TRUE(tunnel.posted.empty());
}

TEST_F(GatewayModeTest, NoReplyTimesOutAndMarksTheChannelClosed) {
    ScaleGuard fast(0.01);
    tunnel.recordReplies = {{std::nullopt, 0}};
    const int64_t start = plat::TickMs();
    EXPECT_EQ(client.EnterDownloadMode(3), 0);
    EXPECT_GE(plat::TickMs() - start, plat::Scaled(60000));
    EXPECT_EQ(tunnel.markedClosed, 1);
    EXPECT_EQ(tunnel.posted.size(), 1u);
}

TEST_F(GatewayModeTest, StopRequestEndsTheWait) {
    plat::WorkerThread worker;
    int result = -1;
    tunnel.recordReplies = {{std::nullopt, 0}};
    worker.Start([&] { result = client.ExitDownloadMode(1); });
    plat::SleepRaw(50);
    worker.Join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(tunnel.markedClosed, 0);
}

}  // namespace
