// The modem behind the tunnel, asked with frames built by the modem's own framing functions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "modem/diag_frame.h"
#include "modem/rf_nv_lists.h"
#include "sim/modem_sim.h"
#include "platform/byte_order.h"
#include "sim/sim_presets.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes NvRequest(uint8_t code, uint16_t item, const Bytes& data = {}) {
    Bytes req{code};
    plat::AppendLe16(req, item);
    Bytes d = data;
    d.resize(128);
    req.insert(req.end(), d.begin(), d.end());
    plat::AppendLe16(req, 0);
    return req;
}

Bytes Efs(uint16_t sub, std::initializer_list<uint32_t> words, const Bytes& tail = {}) {
    Bytes req{0x4B, 0x13};
    plat::AppendLe16(req, sub);
    for (uint32_t w : words) plat::AppendLe32(req, w);
    req.insert(req.end(), tail.begin(), tail.end());
    return req;
}

class ModemSimTest : public ::testing::Test {
protected:
    // The raw answer to a DIAG payload sent as the tool frames it.
    std::optional<Bytes> Raw(const Bytes& payload, bool bDownload = false) {
        const Bytes frame = EncodeFrame(payload, bDownload);
        return modem.Handle(frame, knobs);
    }
    // The decoded payload of the answer (fails the test when it does not decode).
    Bytes Ask(const Bytes& payload, bool bDownload = false) {
        const auto raw = Raw(payload, bDownload);
        if (!raw) {
            ADD_FAILURE() << "no answer";
            return {};
        }
        const DecodedFrame d = DecodeFrame(*raw, bDownload);
        EXPECT_TRUE(d.ok) << d.error;
        return d.payload;
    }
    std::optional<Bytes> At(const std::string& command) { return modem.Handle(Text(command), knobs); }

    ModemSim modem;
    SimKnobs knobs;
};

}  // namespace

TEST_F(ModemSimTest, EsnReplyIsByteExact) {
    knobs.esn = 0x12345678;
    const auto raw = Raw({0x01});
    ASSERT_TRUE(raw);
    EXPECT_EQ(*raw, EncodeFrame(Bytes{0x01, 0x78, 0x56, 0x34, 0x12}, false));
}

TEST_F(ModemSimTest, NvReadActiveMissingAndForcedStatus) {
    Bytes data{1, 2, 3, 0x7E, 0x7D};
    modem.SetNvItem(1000, data);
    Bytes expect = NvRequest(0x26, 1000, data);
    EXPECT_EQ(Ask(NvRequest(0x26, 1000)), expect);

    // A missing item: status 5, the request data comes back.
    Bytes probe{9, 9};
    Bytes reply = Ask(NvRequest(0x26, 1001, probe));
    ASSERT_EQ(reply.size(), 133u);
    EXPECT_EQ(reply[3], 9);
    EXPECT_EQ(reply[131], 5);
    EXPECT_EQ(reply[132], 0);

    knobs.nvStatus[1000] = 8;
    reply = Ask(NvRequest(0x26, 1000));
    EXPECT_EQ(reply[131], 8);
    EXPECT_EQ(reply[3], 0);  // not the stored data
}

TEST_F(ModemSimTest, NvWriteNeedsSpcAndHonoursReadOnly) {
    const Bytes write = NvRequest(0x27, 2000, {0xAA, 0xBB});
    Bytes reply = Ask(write);
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply[0], 0x42);  // SPC not entered
    EXPECT_EQ(Bytes(reply.begin() + 1, reply.end()), write);
    EXPECT_FALSE(modem.NvItem(2000));

    EXPECT_EQ(Ask(Bytes{0x41, '1', '2', '3', '4', '5', '6'}), (Bytes{0x41, 0}));
    EXPECT_FALSE(modem.SpcUnlocked());
    EXPECT_EQ(Ask(Bytes{0x41, '0', '0', '0', '0', '0', '0'}), (Bytes{0x41, 1}));
    EXPECT_TRUE(modem.SpcUnlocked());

    EXPECT_EQ(Ask(write), write);  // status 0
    ASSERT_TRUE(modem.NvItem(2000));
    EXPECT_EQ(modem.NvItem(2000)->data[1], 0xBB);
    EXPECT_EQ(Ask(NvRequest(0x26, 2000)), NvRequest(0x26, 2000, {0xAA, 0xBB}));

    modem.SetNvItem(2001, Bytes{5}, SIM_NV_READONLY);
    reply = Ask(NvRequest(0x27, 2001, {6}));
    EXPECT_EQ(reply[131], 7);
    EXPECT_EQ(modem.NvItem(2001)->data[0], 5);
    EXPECT_EQ(Ask(NvRequest(0x26, 2001))[131], 0);  // read-only reads fine

    knobs.nvStatus[2002] = 5;
    EXPECT_EQ(Ask(NvRequest(0x27, 2002, {1}))[131], 5);
    EXPECT_FALSE(modem.NvItem(2002));
}

TEST_F(ModemSimTest, ImeiIsBcdAsTheToolReadsIt) {
    ASSERT_TRUE(modem.SetImei("812345678901234"));
    const auto item = modem.NvItem(550);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->data[0], 0x08);
    EXPECT_EQ(item->data[1], 0x8A);
    EXPECT_EQ(item->data[2], 0x21);
    EXPECT_EQ(item->data[3], 0x43);
    EXPECT_EQ(item->data[8], 0x43);
    EXPECT_EQ(modem.Imei(), "812345678901234");
    EXPECT_FALSE(modem.SetImei("81234567890123"));
    EXPECT_FALSE(modem.SetImei("81234567890123x"));
}

TEST_F(ModemSimTest, ControlModesAreRecordedAndResetRelocks) {
    EXPECT_EQ(Ask(Bytes{0x41, '0', '0', '0', '0', '0', '0'}), (Bytes{0x41, 1}));
    EXPECT_EQ(Ask(Bytes{0x29, 0x01, 0x00}), (Bytes{0x29, 0x01, 0x00}));
    EXPECT_TRUE(modem.Offline());
    EXPECT_EQ(Ask(Bytes{0x29, 0x02, 0x00}), (Bytes{0x29, 0x02, 0x00}));
    EXPECT_FALSE(modem.Offline());
    EXPECT_FALSE(modem.SpcUnlocked());
    EXPECT_EQ(modem.ControlModes(), (std::vector<uint16_t>{1, 2}));
    EXPECT_EQ(modem.Resets(), 1);
}

TEST_F(ModemSimTest, EfsWriteThenReadBackInPieces) {
    const std::string path = std::string(RF_NV_FILE_FOLDER) + "00020144";
    Bytes pathBytes = Text(path);
    pathBytes.push_back(0);

    // Missing file for reading: descriptor -1, ENOENT.
    Bytes reply = Ask(Efs(2, {0, 0444}, pathBytes));
    EXPECT_EQ(reply, Efs(2, {0xFFFFFFFF, 2}));

    EXPECT_EQ(Ask(Efs(2, {0x241, 0666}, pathBytes)), Efs(2, {0, 0}));
    Bytes content(1300);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 3);
    EXPECT_EQ(Ask(Efs(5, {0, 0}, Bytes(content.begin(), content.begin() + 512))), Efs(5, {0, 0, 512, 0}));
    EXPECT_EQ(Ask(Efs(5, {0, 512}, Bytes(content.begin() + 512, content.end()))), Efs(5, {0, 512, 788, 0}));
    EXPECT_EQ(Ask(Efs(3, {0})), Efs(3, {0}));
    EXPECT_EQ(modem.EfsFile(path), content);

    EXPECT_EQ(Ask(Efs(2, {0, 0444}, pathBytes)), Efs(2, {0, 0}));
    reply = Ask(Efs(17, {0}));
    ASSERT_EQ(reply.size(), 4u + 28u);
    EXPECT_EQ(plat::GetLe32(reply, 4), 0u);
    EXPECT_EQ(plat::GetLe32(reply, 12), 1300u);
    reply = Ask(Efs(4, {0, 276, 1024}));
    ASSERT_EQ(reply.size(), 4u + 16u + 276u);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 20), Efs(4, {0, 1024, 276, 0}));
    EXPECT_EQ(Bytes(reply.begin() + 20, reply.end()), Bytes(content.begin() + 1024, content.end()));

    // One open file at a time: the next open gets descriptor 1.
    EXPECT_EQ(Ask(Efs(2, {0, 0444}, pathBytes)), Efs(2, {1, 0}));
    EXPECT_EQ(modem.OpenEfsFiles(), 2);
    EXPECT_EQ(Ask(Efs(3, {1})), Efs(3, {0}));
    EXPECT_EQ(Ask(Efs(3, {0})), Efs(3, {0}));
    EXPECT_EQ(Ask(Efs(3, {0})), Efs(3, {9}));  // EBADF

    // Outside the RF NV folder nothing exists.
    Bytes other = Text("/etc/passwd");
    other.push_back(0);
    EXPECT_EQ(Ask(Efs(2, {0x241, 0666}, other)), Efs(2, {0xFFFFFFFF, 2}));
}

TEST_F(ModemSimTest, DownloaderResetAckOrNak) {
    const auto raw = Raw({0x0A}, true);
    ASSERT_TRUE(raw);
    EXPECT_EQ(*raw, EncodeFrame(Bytes{0x02}, true));
    EXPECT_EQ(modem.DownloaderResets(), 1);

    knobs.downloaderNakReason = 9;
    EXPECT_EQ(Ask({0x0A}, true), (Bytes{0x03, 0x00, 0x09}));
    EXPECT_EQ(modem.DownloaderResets(), 1);
}

TEST_F(ModemSimTest, BadRequestsAndReplyFaults) {
    Bytes bad = EncodeFrame(Bytes{0x01}, false);
    bad[0] ^= 0x40;  // payload changed, FCS not
    auto raw = modem.Handle(bad, knobs);
    ASSERT_TRUE(raw);
    DecodedFrame d = DecodeFrame(*raw, false);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.payload[0], 0x13);
    knobs.bAnswerBadRequests = false;
    EXPECT_FALSE(modem.Handle(bad, knobs));
    EXPECT_FALSE(modem.Handle(Bytes{0x01, 0xA2, 0xB2}, knobs));  // no end flag

    knobs.silentDiagCodes = {0x01};
    EXPECT_FALSE(Raw({0x01}));
    knobs.silentDiagCodes = {SIM_ANY};
    EXPECT_FALSE(Raw({0x29, 1, 0}));
    knobs.silentDiagCodes.clear();

    knobs.diagErrorReplies[0x26] = 0x14;
    EXPECT_EQ(Ask(NvRequest(0x26, 5))[0], 0x14);
    knobs.diagErrorReplies.clear();

    knobs.badCrcReplyCodes = {0x01};
    for (uint32_t esn : {0x00000000u, 0x7E7E7E7Eu, 0x7D7D7D7Du, 0x12345678u}) {
        knobs.esn = esn;
        raw = Raw({0x01});
        ASSERT_TRUE(raw);
        d = DecodeFrame(*raw, false);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(d.error, DIAG_ERR_BAD_CRC) << std::hex << esn;
    }
    knobs.badCrcReplyCodes.clear();
    knobs.noEndFlagReplyCodes = {SIM_ANY};
    raw = Raw({0x01});
    ASSERT_TRUE(raw);
    EXPECT_EQ(DecodeFrame(*raw, false).error, DIAG_ERR_NO_END_FLAG);
}

TEST_F(ModemSimTest, AtAnswersAreFramedExactly) {
    knobs.modemVersion = "PD_WA_RK880T_V2.3";
    EXPECT_EQ(At("AT+GMR\r"), Text("\r\n+GMR: PD_WA_RK880T_V2.3 B01\r\n\r\nOK\r\n"));
    knobs.gmrVersion = "V1.0";
    EXPECT_EQ(At("AT+GMR\r"), Text("\r\n+GMR: V1.0 B01\r\n\r\nOK\r\n"));
    EXPECT_EQ(At("AT+KDIAG?\r"), Text("\r\n+KDIAG: 6\r\n\r\nOK\r\n"));
    EXPECT_EQ(At("AT+KDIAG=1\r"), Text("\r\nOK\r\n"));
    EXPECT_EQ(modem.AtDiagMode(), 1);
    EXPECT_EQ(At("AT+KDIAG?\r"), Text("\r\n+KDIAG: 1\r\n\r\nOK\r\n"));
    EXPECT_EQ(At("AT+KDIAG=x\r"), Text("\r\nERROR\r\n"));
    EXPECT_EQ(At("AT+CFUN=1\r"), Text("\r\nERROR\r\n"));
    Bytes withNul = Text("AT+KDIAG=6\r");
    withNul.push_back(0);
    EXPECT_EQ(modem.Handle(withNul, knobs), Text("\r\nOK\r\n"));
    EXPECT_EQ(modem.AtDiagMode(), 6);
    knobs.bSilentAt = true;
    EXPECT_FALSE(At("AT+GMR\r"));

    EXPECT_TRUE(ModemSim::IsAtCommand(Text("AT+GMR\r")));
    EXPECT_FALSE(ModemSim::IsAtCommand(Text("AT+GMR")));       // no carriage return
    EXPECT_FALSE(ModemSim::IsAtCommand(Text("xAT+GMR\r")));
    EXPECT_FALSE(ModemSim::IsAtCommand(EncodeFrame(Bytes{0x41, '0', '0', '0', '0', '0', '0'}, false)));
}

TEST(SimPresets, FillsEveryListEntryDeterministically) {
    ModemSim modem;
    ASSERT_TRUE(PresetModem(modem, "RK19T"));
    const auto entries = RfNvEntries("RK19T");
    int inactive = 0;
    for (int32_t e : entries) {
        if (IsRfNvFileEntry(e)) {
            EXPECT_EQ(modem.EfsFile(RfNvFilePath(e)), PresetRfNvFile(e)) << e;
        } else {
            const auto item = modem.NvItem(static_cast<uint16_t>(e));
            ASSERT_TRUE(item) << e;
            if (e != 550) {
                EXPECT_EQ(item->data, PresetNvData(static_cast<uint16_t>(e))) << e;
            }
            inactive += item->status == SIM_NV_NOTACTIVE ? 1 : 0;
        }
    }
    EXPECT_GT(inactive, 0);
    EXPECT_EQ(modem.NvItem(22)->status, SIM_NV_DONE);
    EXPECT_EQ(modem.Imei(), SIM_DEFAULT_IMEI);
    EXPECT_EQ(modem.EfsFiles().size(), 19u);

    EXPECT_FALSE(PresetModem(modem, "RK99X"));
    EXPECT_TRUE(modem.NvItems().empty());
    EXPECT_TRUE(modem.EfsFiles().empty());
}
