#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "modem/diag_frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(DiagCrc, CatalogueCheckValueAndResidue) {
    const std::string digits = "123456789";
    const Bytes data(digits.begin(), digits.end());
    EXPECT_EQ(Crc16X25(data), 0x906E);
    Bytes withFcs = data;
    withFcs.push_back(0x6E);
    withFcs.push_back(0x90);
    EXPECT_EQ(Crc16Update(0xFFFF, withFcs), DIAG_CRC_RESIDUE);
    EXPECT_EQ(Crc16X25({}), 0x0000);
}

TEST(DiagEncode, EmptyPayloadAndDownloadFlag) {
    EXPECT_EQ(EncodeFrame({}, false), (Bytes{0x00, 0x00, 0x7E}));
    EXPECT_EQ(EncodeFrame({}, true), (Bytes{0x7E, 0x00, 0x00, 0x7E}));
}

TEST(DiagEncode, EscapesFlagAndEscapeBytesInPayload) {
    const Bytes payload{0x01, 0x7E, 0x7D, 0x02};
    const Bytes frame{0x01, 0x7D, 0x5E, 0x7D, 0x5D, 0x02, 0x08, 0x13, 0x7E};
    EXPECT_EQ(EncodeFrame(payload, false), frame);
    const DecodedFrame back = DecodeFrame(frame, false);
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(back.payload, payload);
}

TEST(DiagEncode, FixedVectors) {
    EXPECT_EQ(EncodeFrame(Bytes{0x01}, false), (Bytes{0x01, 0xF1, 0xE1, 0x7E}));
    EXPECT_EQ(EncodeFrame(Bytes{0x29, 0x02, 0x00}, false), (Bytes{0x29, 0x02, 0x00, 0x59, 0x6A, 0x7E}));
    EXPECT_EQ(EncodeFrame(Bytes{0x0A}, true), (Bytes{0x7E, 0x0A, 0x22, 0x5F, 0x7E}));
}

TEST(DiagEncode, EscapesFcsBytes) {
    // FCS low byte 0x7D, high byte 0x7E, and both positions of 0x7E.
    EXPECT_EQ(EncodeFrame(Bytes{0x19}, false), (Bytes{0x19, 0x38, 0x7D, 0x5D, 0x7E}));
    EXPECT_EQ(EncodeFrame(Bytes{0x2A}, false), (Bytes{0x2A, 0x20, 0x7D, 0x5E, 0x7E}));
    EXPECT_EQ(EncodeFrame(Bytes{0x60}, false), (Bytes{0x60, 0x7D, 0x5E, 0x93, 0x7E}));
    for (uint8_t v : {0x19, 0x2A, 0x60}) {
        const DecodedFrame back = DecodeFrame(EncodeFrame(Bytes{v}, false), false);
        ASSERT_TRUE(back.ok);
        EXPECT_EQ(back.payload, Bytes{v});
    }
}

TEST(DiagDecode, RoundTripAllByteValues) {
    Bytes payload;
    for (int i = 0; i < 256; ++i) payload.push_back(uint8_t(i));
    for (bool dl : {false, true}) {
        const DecodedFrame d = DecodeFrame(EncodeFrame(payload, dl), dl);
        ASSERT_TRUE(d.ok) << d.error;
        EXPECT_EQ(d.payload, payload);
    }
}

TEST(DiagDecode, DownloadReplyWithoutLeadingFlagDecodesTheSame) {
    const Bytes payload{0x02};
    Bytes withFlag = EncodeFrame(payload, true);
    Bytes without(withFlag.begin() + 1, withFlag.end());
    const DecodedFrame a = DecodeFrame(withFlag, true);
    const DecodedFrame b = DecodeFrame(without, true);
    ASSERT_TRUE(a.ok);
    ASSERT_TRUE(b.ok);
    EXPECT_EQ(a.payload, payload);
    EXPECT_EQ(b.payload, payload);
}

TEST(DiagDecode, LeadingFlagIsDataOutsideDownloadMode) {
    const Bytes frame = EncodeFrame(Bytes{0x02}, true);
    const DecodedFrame d = DecodeFrame(frame, false);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.error, DIAG_ERR_BAD_CRC);
}

TEST(DiagDecode, ErrorTexts) {
    Bytes frame = EncodeFrame(Bytes{0x26, 0x01, 0x02}, false);
    Bytes noEnd(frame.begin(), frame.end() - 1);
    EXPECT_EQ(DecodeFrame(noEnd, false).error, "the Received Data is Wrong without End Flag(0x7e)");
    EXPECT_EQ(DecodeFrame({}, false).error, "the Received Data is Wrong without End Flag(0x7e)");
    EXPECT_EQ(DecodeFrame({}, true).error, "the Received Data is Wrong without End Flag(0x7e)");

    Bytes badCrc = frame;
    badCrc[1] ^= 0x01;
    EXPECT_EQ(DecodeFrame(badCrc, false).error, "the Received Data is Wrong with Wrong CRC Checksum");
    // A flag alone carries no FCS.
    EXPECT_EQ(DecodeFrame(Bytes{0x7E}, false).error, "the Received Data is Wrong with Wrong CRC Checksum");
    EXPECT_EQ(DecodeFrame(Bytes{0x7E, 0x7E}, true).error, "the Received Data is Wrong with Wrong CRC Checksum");
}

TEST(DiagDecode, EscapesAreUndoneBeforeTheEndFlagTest) {
    // A reply cut right after an escaped 0x7E data byte: that byte passes the end test and the
    // checksum fails.
    const Bytes whole = EncodeFrame(Bytes{0x01, 0x7E, 0x02}, false);
    ASSERT_EQ(whole[1], 0x7D);
    EXPECT_EQ(DecodeFrame(Bytes(whole.begin(), whole.begin() + 3), false).error, DIAG_ERR_BAD_CRC);
    // An escaped flag in place of the end flag ends the frame like the flag itself.
    Bytes frame = EncodeFrame(Bytes{0x01, 0x02}, false);
    frame.back() = 0x7D;
    frame.push_back(0x5E);
    const DecodedFrame escapedEnd = DecodeFrame(frame, false);
    ASSERT_TRUE(escapedEnd.ok) << escapedEnd.error;
    EXPECT_EQ(escapedEnd.payload, (Bytes{0x01, 0x02}));
    // A dangling escape is dropped: without a flag before it there is no end flag...
    Bytes dangling = EncodeFrame(Bytes{0x01}, false);
    dangling.back() = 0x7D;
    EXPECT_EQ(DecodeFrame(dangling, false).error, DIAG_ERR_NO_END_FLAG);
    // ...and after the flag it leaves the frame whole.
    Bytes afterFlag = EncodeFrame(Bytes{0x01, 0x7E}, false);
    afterFlag.push_back(0x7D);
    const DecodedFrame d = DecodeFrame(afterFlag, false);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.payload, (Bytes{0x01, 0x7E}));
}

TEST(DiagDecode, EmptyPayloadFrame) {
    const DecodedFrame d = DecodeFrame(Bytes{0x00, 0x00, 0x7E}, false);
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(d.payload.empty());
}

}  // namespace
