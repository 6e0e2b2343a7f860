#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <numeric>
#include <vector>

#include "cpelink/link_record.h"
#include "cpelink/link_server.h"
#include "cpelink/uboot_image.h"

namespace {

using Span = std::span<uint8_t, LINK_MESSAGE_SIZE>;
using CSpan = std::span<const uint8_t, LINK_MESSAGE_SIZE>;

uint32_t U32(const LinkMessage& m, size_t off) {
    return m[off] | m[off + 1] << 8 | m[off + 2] << 16 | static_cast<uint32_t>(m[off + 3]) << 24;
}

void ExpectZero(const LinkMessage& m, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) ASSERT_EQ(m[i], 0) << "byte " << i;
}

TEST(LinkWireForm, AnnouncementBytes) {
    LinkRecord a;
    a.sControl = CMD_ANNOUNCE;
    a.nArg1 = ANNOUNCE_ARG1;
    a.nSeq = ANNOUNCE_SEQ;
    a.nArg2 = 4536;
    const LinkMessage m = EncodeServerRecord(a, AddressValue("192.0.2.7"));
    const uint8_t head[17] = {0x6A, 114, 0, 0, 0, 108, 0, 0, 0, 0xB8, 0x11, 0, 0, 192, 0, 2, 7};
    for (size_t i = 0; i < sizeof head; ++i) EXPECT_EQ(m[i], head[i]) << "byte " << i;
    ExpectZero(m, 17, LINK_MESSAGE_SIZE);
    EXPECT_EQ(a.nArg3, AddressValue("192.0.2.7"));  // set in the record first
    LinkMessage out{};
    EXPECT_EQ(EncodeServerRecord(a, 1, Span(out)), LINK_LENGTH_ANNOUNCE);
}

TEST(LinkWireForm, ByeIsFFAndEightZeros) {
    LinkRecord bye;
    bye.sControl = CMD_BYE;
    bye.nLength = 1;  // not carried by the header-only layout
    LinkMessage m{};
    ASSERT_EQ(EncodeServerRecord(bye, 0x01020304, Span(m)), 9u);
    EXPECT_EQ(m[0], 0xFF);
    ExpectZero(m, 1, LINK_MESSAGE_SIZE);
}

TEST(LinkWireForm, TransferHeaderThroughTheChannelEncoder) {
    LinkRecord h;
    h.sControl = CMD_DOWN_LINUX;
    h.nArg1 = 1392;
    h.nLength = 1350;
    h.nTotal = 9306112;
    uint32_t seq = 5;
    int override = 2;  // applies to CMD_DATA only
    LinkMessage m{};
    ASSERT_EQ(EncodeChannelRecord(h, seq, override, Span(m)), 1371u);
    EXPECT_EQ(seq, 6u);
    EXPECT_EQ(h.nSeq, 6u);
    EXPECT_EQ(override, 2);
    EXPECT_EQ(m[0], 0x01);
    EXPECT_EQ(U32(m, 1), 1392u);
    EXPECT_EQ(U32(m, 5), 6u);
    ExpectZero(m, 9, 1359);
    EXPECT_EQ(U32(m, 1359), 1350u);
    EXPECT_EQ(U32(m, 1363), 0u);
    EXPECT_EQ(U32(m, 1367), 9306112u);
    ExpectZero(m, 1371, LINK_MESSAGE_SIZE);
    const uint8_t tail[] = {0x46, 0x05, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x8E, 0x00};
    for (size_t i = 0; i < sizeof tail; ++i) EXPECT_EQ(m[1359 + i], tail[i]) << "byte " << 1359 + i;

    h.sControl = CMD_DOWN_BOOT;
    EncodeChannelRecord(h, seq, override, Span(m));
    EXPECT_EQ(m[0], 0x91);
    EXPECT_EQ(U32(m, 5), 7u);
    EXPECT_EQ(U32(m, 1359), 1350u);
}

TEST(LinkWireForm, HelloRequest) {
    LinkRecord r;
    r.sControl = CMD_HELLO;
    r.nLength = 1;
    uint32_t seq = 1;
    int override = 0;
    LinkMessage m{};
    EXPECT_EQ(EncodeChannelRecord(r, seq, override, Span(m)), LINK_LENGTH_HELLO);
    EXPECT_EQ(m[0], 0x40);
    EXPECT_EQ(U32(m, 5), 2u);
    ExpectZero(m, 9, LINK_MESSAGE_SIZE);  // nLength is not part of the hello layout

    r.nArg2 = 0x11223344;
    r.nArg3 = 0x55667788;
    r.nArg4 = 0x99AABBCC;
    r.wArg5 = 0xDDEE;
    EncodeRecordLayout(r, Span(m));
    const uint8_t expect[] = {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 0xCC, 0xBB, 0xAA, 0x99, 0xEE, 0xDD};
    for (size_t i = 0; i < sizeof expect; ++i) EXPECT_EQ(m[9 + i], expect[i]);
    ExpectZero(m, 23, LINK_MESSAGE_SIZE);
}

TEST(LinkWireForm, DataRecordTypeOverride) {
    LinkRecord r;
    r.sControl = CMD_DATA;
    r.abData[0] = 0x7E;
    r.nLength = 1;
    uint32_t seq = 1;
    int override = 3;
    LinkMessage m{};
    EncodeChannelRecord(r, seq, override, Span(m));
    EXPECT_EQ(m[0], 0xF2);
    EXPECT_EQ(r.sControl, 0xF2);
    EXPECT_EQ(override, 0);
    EXPECT_EQ(m[9], 0x7E);
    EXPECT_EQ(U32(m, 1359), 1u);
    r.sControl = CMD_DATA;
    EncodeChannelRecord(r, seq, override, Span(m));
    EXPECT_EQ(m[0], 0x04);  // the override applied once
    EXPECT_EQ(U32(m, 5), 3u);
    int bad = 4;
    EncodeChannelRecord(r, seq, bad, Span(m));
    EXPECT_EQ(m[0], 0x04);
}

TEST(LinkWireForm, EncodingLayoutsByType) {
    LinkRecord r;
    r.nLength = 1;
    LinkMessage m{};
    struct Case {
        uint8_t type;
        size_t channel;
        size_t server;
    };
    const Case cases[] = {{0x01, 1371, 1371}, {0x03, 1371, 9},   {0x04, 1371, 1371}, {0x1F, 9, 9},
                          {0x20, 9, 9},       {0x41, 1371, 1371}, {0x52, 1371, 9},    {0x60, 9, 9},
                          {0x61, 9, 9},       {0x91, 1371, 9},    {0xF0, 1371, 1371}, {0xF2, 1371, 1371},
                          {0xFF, 9, 9},       {0x77, 9, 9}};
    for (const Case& c : cases) {
        r.sControl = c.type;
        EXPECT_EQ(EncodeRecordLayout(r, Span(m)), c.channel) << int(c.type);
        EXPECT_EQ(m[1359], c.channel == 1371 ? 1 : 0) << int(c.type);
        EXPECT_EQ(EncodeServerRecord(r, 0, Span(m)), c.server) << int(c.type);
    }
}

LinkMessage Pattern() {
    LinkMessage m{};
    for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<uint8_t>(i * 7 + 3);
    return m;
}

TEST(LinkDecoding, DataLayoutWithLengthAbove127) {
    LinkMessage m{};
    m[0] = CMD_GET_TEXT;
    m[1] = 0xAA;
    m[5] = 0x02;
    m[8] = 0x80;
    std::memcpy(m.data() + 9, "RK880T_V1", 9);
    m[1359] = 200;  // a low byte of 0x80 or more
    m[1363] = 0x01;
    m[1370] = 0xFE;
    const LinkRecord r = DecodeRecord(CSpan(m));
    EXPECT_EQ(r.sControl, 0x60);
    EXPECT_EQ(r.nArg1, 0xAAu);
    EXPECT_EQ(r.nSeq, 0x80000002u);
    EXPECT_EQ(r.nLength, 200u);
    EXPECT_EQ(r.nBlock, 1u);
    EXPECT_EQ(r.nTotal, 0xFE000000u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.abData.data()), 9), "RK880T_V1");
    EXPECT_EQ(r.nArg2, 0u);
    for (uint8_t t : {0x01, 0x04, 0x43, 0x61, 0xF0, 0xF1, 0xF2}) {
        m[0] = t;
        EXPECT_EQ(DecodeRecord(CSpan(m)).nLength, 200u) << int(t);
    }
}

TEST(LinkDecoding, HelloLayoutReadsOverlappingRangesAsWritten) {
    LinkMessage m = Pattern();
    m[0] = CMD_HELLO;
    const LinkRecord r = DecodeRecord(CSpan(m));
    EXPECT_EQ(r.nArg2, plat::GetLe32(m, 9));
    EXPECT_EQ(r.nArg3, plat::GetLe32(m, 13));
    EXPECT_EQ(r.nArg4, plat::GetLe32(m, 17));
    EXPECT_EQ(r.wArg5, plat::GetLe16(m, 21));
    EXPECT_EQ(r.abData[0], m[29]);
    EXPECT_EQ(r.abData[LINK_DATA_SIZE - 1], m[1378]);
    EXPECT_EQ(r.abData[1373 - 29], m[1373]);  // the bytes nLength is read from too
    EXPECT_EQ(r.nLength, plat::GetLe32(m, 1373));
    EXPECT_EQ(r.nBlock, plat::GetLe32(m, 1377));
    EXPECT_EQ(r.nTotal, plat::GetLe32(m, 1381));
}

TEST(LinkDecoding, AnnounceLayout) {
    LinkMessage m = Pattern();
    m[0] = CMD_ANNOUNCE;
    const LinkRecord r = DecodeRecord(CSpan(m));
    EXPECT_EQ(r.nArg2, plat::GetLe32(m, 9));
    EXPECT_EQ(r.nArg3, plat::GetLe32(m, 13));
    EXPECT_EQ(r.nLength, plat::GetLe32(m, 17));
    EXPECT_EQ(r.nBlock, plat::GetLe32(m, 21));
    EXPECT_EQ(r.nTotal, plat::GetLe32(m, 25));
    EXPECT_EQ(r.nArg4, 0u);
    EXPECT_EQ(r.abData[0], 0);
}

TEST(LinkDecoding, HeaderOnlyTypesCarryNothingElse) {
    LinkMessage m = Pattern();
    for (uint8_t t : {0x02, 0x03, 0x08, 0x1F, 0x20, 0x21, 0x30, 0x31, 0x41, 0x52, 0x91, 0xFF, 0x77}) {
        m[0] = t;
        const LinkRecord r = DecodeRecord(CSpan(m));
        EXPECT_EQ(r.sControl, t);
        EXPECT_EQ(r.nArg1, plat::GetLe32(m, 1));
        EXPECT_EQ(r.nSeq, plat::GetLe32(m, 5));
        EXPECT_EQ(r.nLength, 0u) << int(t);
        EXPECT_EQ(r.nTotal, 0u);
        EXPECT_EQ(r.nArg2, 0u);
        EXPECT_TRUE(std::all_of(r.abData.begin(), r.abData.end(), [](uint8_t b) { return b == 0; })) << int(t);
    }
}

TEST(LinkDecoding, DataRoundTrip) {
    LinkRecord r;
    r.sControl = CMD_DATA;
    r.nArg1 = 9;
    r.nSeq = 77;
    std::iota(r.abData.begin(), r.abData.end(), uint8_t{1});
    r.nLength = 1350;
    r.nBlock = 4;
    r.nTotal = 0xFFFFFFFF;
    LinkMessage m{};
    EncodeRecordLayout(r, Span(m));
    const LinkRecord d = DecodeRecord(CSpan(m));
    EXPECT_EQ(d.abData, r.abData);
    EXPECT_EQ(d.nLength, 1350u);
    EXPECT_EQ(d.nBlock, 4u);
    EXPECT_EQ(d.nTotal, 0xFFFFFFFFu);
    EXPECT_EQ(d.nSeq, 77u);
}

TEST(MessageAssembler, JoinsPiecesAndSplitsRuns) {
    std::vector<uint8_t> stream(3 * LINK_MESSAGE_SIZE + 100);
    for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i / LINK_MESSAGE_SIZE + 1);
    MessageAssembler a;
    std::vector<uint8_t> firsts;
    auto sink = [&](const LinkMessage& m) {
        firsts.push_back(m[0]);
        EXPECT_EQ(m[LINK_MESSAGE_SIZE - 1], m[0]);
    };
    EXPECT_EQ(a.Feed(std::span(stream).first(1000), sink), 0u);
    EXPECT_EQ(a.Buffered(), 1000u);
    EXPECT_EQ(a.Feed(std::span(stream).subspan(1000, 440), sink), 1u);
    EXPECT_EQ(a.Buffered(), 0u);
    EXPECT_EQ(a.Feed(std::span(stream).subspan(1440), sink), 2u);
    EXPECT_EQ(a.Buffered(), 100u);
    EXPECT_EQ(firsts, (std::vector<uint8_t>{1, 2, 3}));

    // One byte at a time.
    MessageAssembler b;
    size_t n = 0;
    for (size_t i = 0; i < LINK_MESSAGE_SIZE; ++i) n += b.Feed(std::span(stream).subspan(i, 1), nullptr);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(b.Message()[0], 1);
}

TEST(MessageAssembler, TakeStopsAtTheEndOfAMessage) {
    std::vector<uint8_t> bytes(LINK_MESSAGE_SIZE + 50, 0xAB);
    MessageAssembler a;
    EXPECT_EQ(a.Take(std::span<const uint8_t>(bytes).first(600)), 600u);
    EXPECT_FALSE(a.Complete());
    EXPECT_EQ(a.Take(std::span<const uint8_t>(bytes).subspan(600)), LINK_MESSAGE_SIZE - 600);
    EXPECT_TRUE(a.Complete());
    EXPECT_EQ(a.Take(std::span<const uint8_t>(bytes).first(10)), 10u);  // a new message begins
    EXPECT_FALSE(a.Complete());
    EXPECT_EQ(a.Buffered(), 10u);
    a.Reset();
    EXPECT_EQ(a.Buffered(), 0u);
}

TEST(LocalAddress, OverrideAndLoopbackGateway) {
    plat::Endpoints ep;
    ep.announceAddress = "10.1.2.3";
    EXPECT_EQ(LookUpLocalAddress(ep), 0x0302010Au);
    ep.announceAddress.clear();
    ep.gateway = "127.0.0.1";
    EXPECT_EQ(LookUpLocalAddress(ep), 0x0100007Fu);
    EXPECT_EQ(AddressValue("not an address"), 0u);
}

std::vector<uint8_t> BuiltImage(const char* name) {
    std::ifstream in(std::string(RK_IMAGE_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Sets header byte `at` and makes the header CRC (big-endian at 4) right again.
void PatchHeader(std::vector<uint8_t>& img, size_t at, uint8_t value) {
    img[at] = value;
    std::fill_n(img.begin() + 4, 4, uint8_t{0});
    const uint32_t crc = Crc32(std::span<const uint8_t>(img.data(), UBOOT_HEADER_SIZE));
    for (int i = 0; i < 4; ++i) img[4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
}

// The images the build embeds, as the header says, and each check failing on one change.
TEST(UbootImage, BuiltImagesPassAndEachCheckCatchesItsChange) {
    EXPECT_EQ(Crc32(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("123456789"), 9)), 0xCBF43926u);
    EXPECT_EQ(Crc32(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("56789"), 5),
                    Crc32(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("1234"), 4))),
              0xCBF43926u);

    const std::vector<uint8_t> boot = BuiltImage("uboot.img");
    const std::vector<uint8_t> root = BuiltImage("root_uImage");
    ASSERT_EQ(boot.size(), 312980u);
    ASSERT_EQ(root.size(), 9306112u);
    const UbootHeader b = ParseUbootHeader(boot);
    EXPECT_EQ(b.magic, UBOOT_MAGIC);
    EXPECT_EQ(b.size, 312916u);
    EXPECT_EQ(b.load, 0x9f000000u);
    EXPECT_EQ(b.time, 1394154301u);
    EXPECT_EQ(b.os, IH_OS_LINUX);
    EXPECT_EQ(b.arch, IH_ARCH_MIPS);
    EXPECT_EQ(b.type, IH_TYPE_FIRMWARE);
    EXPECT_EQ(b.comp, 0);
    EXPECT_EQ(b.name, "SPI Flash Image");
    const UbootHeader k = ParseUbootHeader(root);
    EXPECT_EQ(k.size, 1251953u);
    EXPECT_EQ(k.entry, 0x80002000u);
    EXPECT_EQ(k.type, IH_TYPE_KERNEL);
    EXPECT_EQ(k.comp, 3);  // lzma
    EXPECT_EQ(k.name, "Linux Kernel Image");

    using Change = std::function<void(std::vector<uint8_t>&)>;
    struct Case {
        const char* what;
        bool bBoot;
        Change change;
        UbootCheck expected;
        bool bAsOtherImage = false;
    };
    const Case cases[] = {
        {"boot as built", true, nullptr, UbootCheck::Ok},
        {"root as built", false, nullptr, UbootCheck::Ok},
        {"boot checked as the Linux image", true, nullptr, UbootCheck::Type, true},
        {"root checked as the boot image", false, nullptr, UbootCheck::DataSize, true},
        {"63 bytes", true, [](auto& v) { v.resize(63); }, UbootCheck::Header},
        {"magic", true, [](auto& v) { v[3] ^= 1; }, UbootCheck::Magic},
        {"header byte under the CRC (name)", true, [](auto& v) { v[40] ^= 1; }, UbootCheck::HeaderCrc},
        {"boot one byte short", true, [](auto& v) { v.pop_back(); }, UbootCheck::DataSize},
        {"boot one byte longer", true, [](auto& v) { v.push_back(0); }, UbootCheck::DataSize},
        {"root cut inside the kernel", false, [](auto& v) { v.resize(64 + 1251953 - 1); }, UbootCheck::DataSize},
        {"root's kernel alone", false, [](auto& v) { v.resize(64 + 1251953); }, UbootCheck::Ok},
        {"type, header CRC made right", true, [](auto& v) { PatchHeader(v, 30, IH_TYPE_KERNEL); }, UbootCheck::Type},
        {"arch ARM, header CRC made right", false, [](auto& v) { PatchHeader(v, 29, 2); }, UbootCheck::Arch},
        {"size one more, header CRC made right", true, [](auto& v) { PatchHeader(v, 15, v[15] + 1); }, UbootCheck::DataSize},
        {"first data byte", true, [](auto& v) { v[64] ^= 0x80; }, UbootCheck::DataCrc},
        {"last boot byte", true, [](auto& v) { v.back() ^= 1; }, UbootCheck::DataCrc},
        {"last kernel byte", false, [](auto& v) { v[64 + 1251953 - 1] ^= 1; }, UbootCheck::DataCrc},
        {"root file system byte (no CRC of its own)", false, [](auto& v) { v[64 + 1251953] ^= 1; }, UbootCheck::Ok},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> img = c.bBoot ? boot : root;
        if (c.change) c.change(img);
        const bool bAsBoot = c.bBoot != c.bAsOtherImage;
        EXPECT_EQ(CheckUbootImage(img, bAsBoot ? BOOT_IMAGE_EXPECTED : LINUX_IMAGE_EXPECTED), c.expected) << c.what;
    }
    EXPECT_EQ(UbootCheckStatus("/v/uboot.img", UbootCheck::DataSize), "镜像文件校验失败：/v/uboot.img（数据长度与文件大小不符）");
}

}  // namespace
