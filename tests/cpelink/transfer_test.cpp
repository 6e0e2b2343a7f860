#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <numeric>
#include <regex>
#include <string>
#include <vector>

#include "cpelink/image_transfer.h"
#include "cpelink/line_channel.h"
#include "link_test_util.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace linktest;

uint64_t Fnv(uint64_t h, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}
constexpr uint64_t FNV_START = 14695981039346656037ull;

struct TempDir {
    TempDir() {
        path = test_support::MakeTempFolder("rk-cpelink-");
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

// Writes `size` bytes of a fixed pseudo-random pattern; returns their hash.
uint64_t WriteImage(const std::string& path, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::vector<uint8_t> buf(65536);
    uint32_t x = 0x12345678;
    uint64_t h = FNV_START;
    size_t left = size;
    while (left) {
        const size_t n = std::min(left, buf.size());
        for (size_t i = 0; i < n; ++i) {
            x = x * 1664525u + 1013904223u;
            buf[i] = static_cast<uint8_t>(x >> 24);
        }
        std::fwrite(buf.data(), 1, n, f);
        h = Fnv(h, buf.data(), n);
        left -= n;
    }
    std::fclose(f);
    return h;
}

struct Script {
    size_t disconnectAfter = SIZE_MAX;  // raw bytes read before the gateway closes
    bool bStopReading = false;          // reads the header, then nothing
    bool bReply = true;
    int replyType = -1;                 // -1: the header's type
};

struct Received {
    bool bHeader = false;
    LinkMessage header{};
    uint64_t bytes = 0;
    uint64_t hash = FNV_START;
};

// The gateway's side of one transfer.
Received PlayGateway(FakeGateway& gw, const Script& s, const std::atomic<bool>& done) {
    Received r;
    const int64_t end = plat::TickMs() + 5000;
    while (!done && !PollIn(gw.Sock(), 20)) {
        if (plat::TickMs() > end) return r;
    }
    if (!PollIn(gw.Sock(), 0) || !gw.ReadMessage(r.header, 5000)) return r;
    r.bHeader = true;
    const uint32_t total = plat::GetLe32(r.header, 1367);
    if (s.bStopReading) {
        while (!done) plat::SleepRaw(10);
        return r;
    }
    std::vector<uint8_t> buf(65536);
    while (r.bytes < total) {
        if (r.bytes >= s.disconnectAfter) {
            gw.Close();
            return r;
        }
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), total - r.bytes));
        if (!PollIn(gw.Sock(), 5000)) return r;
        const std::ptrdiff_t n = gw.Sock().Receive(buf.data(), want);
        if (n <= 0) return r;
        r.hash = Fnv(r.hash, buf.data(), static_cast<size_t>(n));
        r.bytes += static_cast<uint64_t>(n);
    }
    if (s.bReply) {
        const uint8_t type = s.replyType >= 0 ? static_cast<uint8_t>(s.replyType) : r.header[0];
        gw.SendReply(type, plat::GetLe32(r.header, 5));
    }
    return r;
}

class ImageTransfer : public LinkTest {
protected:
    struct Outcome {
        bool ok = false;
        Received got;
        std::vector<int> progress;
        std::vector<std::string> log;
    };

    Outcome Run(ImageVariant v, const std::string& path, const Script& s) {
        Outcome o;
        CLineChannel ch;
        FakeGateway gw;
        if (AttachWith(ch, gw) != 1) {
            ADD_FAILURE() << "attach";
            return o;
        }
        std::atomic<bool> done{false};
        auto gateway = std::async(std::launch::async, [&] { return PlayGateway(gw, s, done); });
        TransferCallbacks cb;
        cb.progress = [&](int p) { o.progress.push_back(p); };
        cb.log = [&](const std::string& t) { o.log.push_back(t); };
        o.ok = SendImage(ch, v, path, cb);
        done = true;
        o.got = gateway.get();
        return o;
    }

    TempDir dir;
};

TEST_F(ImageTransfer, LinuxImageArrivesWhole) {
    const std::string path = dir.path + "/root_uImage";
    const size_t size = 9306112;
    const uint64_t hash = WriteImage(path, size);
    const Outcome o = Run(ImageVariant::Linux, path, Script{});
    EXPECT_TRUE(o.ok);
    ASSERT_TRUE(o.got.bHeader);
    const LinkMessage& h = o.got.header;
    EXPECT_EQ(h[0], CMD_DOWN_LINUX);
    EXPECT_EQ(plat::GetLe32(h, 1), 1392u);
    EXPECT_EQ(plat::GetLe32(h, 5), 2u);
    for (size_t i = 9; i < 1359; ++i) ASSERT_EQ(h[i], 0) << i;
    EXPECT_EQ(plat::GetLe32(h, 1359), 1350u);
    EXPECT_EQ(plat::GetLe32(h, 1363), 0u);
    EXPECT_EQ(plat::GetLe32(h, 1367), size);
    for (size_t i = 1371; i < LINK_MESSAGE_SIZE; ++i) ASSERT_EQ(h[i], 0) << i;
    EXPECT_EQ(o.got.bytes, size);
    EXPECT_EQ(o.got.hash, hash);
    // Each percentage once, when it is reached.
    std::vector<int> percents(80);
    std::iota(percents.begin(), percents.end(), 10);
    EXPECT_EQ(o.progress, percents);
    EXPECT_EQ(o.log, std::vector<std::string>{"End DownloadLinux"});
}

TEST_F(ImageTransfer, BootImageProgressAndSuccessText) {
    const std::string path = dir.path + "/uboot.img";
    const uint64_t hash = WriteImage(path, 262144 + 17);
    const Outcome o = Run(ImageVariant::Boot, path, Script{});
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.got.header[0], CMD_DOWN_BOOT);
    EXPECT_EQ(o.got.hash, hash);
    EXPECT_EQ(o.progress, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(o.log, std::vector<std::string>{"End DownloadLinux"});
}

TEST_F(ImageTransfer, EmptyImageSendsHeaderOnly) {
    const std::string path = dir.path + "/uboot.img";
    WriteImage(path, 0);
    const Outcome o = Run(ImageVariant::Boot, path, Script{});
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(plat::GetLe32(o.got.header, 1367), 0u);
    EXPECT_TRUE(o.progress.empty());
}

TEST_F(ImageTransfer, MissingFile) {
    const Outcome o = Run(ImageVariant::Linux, dir.path + "/none", Script{});
    EXPECT_FALSE(o.ok);
    EXPECT_FALSE(o.got.bHeader);
    EXPECT_EQ(o.log, std::vector<std::string>{"error: open " + dir.path + "/none file\n"});
}

TEST_F(ImageTransfer, DisconnectInTheMiddleFailsWithOffset) {
    const std::string path = dir.path + "/root_uImage";
    WriteImage(path, 9306112);
    Script s;
    s.disconnectAfter = 100000;
    const Outcome o = Run(ImageVariant::Linux, path, s);
    EXPECT_FALSE(o.ok);
    ASSERT_EQ(o.log.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(o.log[0], m, std::regex("error: send data at: (\\d+)"))) << o.log[0];
    const long offset = std::stol(m[1]);
    EXPECT_GT(offset, 0);
    EXPECT_EQ(offset % 1350, 0);
    EXPECT_LT(offset, 9306112);
}

TEST_F(ImageTransfer, PeerThatStopsReadingFails) {
    const std::string path = dir.path + "/root_uImage";
    std::ofstream(path, std::ios::binary).close();
    std::filesystem::resize_file(path, 40 * 1024 * 1024);  // more than the socket buffers hold
    Script s;
    s.bStopReading = true;
    const Outcome o = Run(ImageVariant::Linux, path, s);
    EXPECT_FALSE(o.ok);
    ASSERT_EQ(o.log.size(), 1u);
    EXPECT_TRUE(std::regex_match(o.log[0], std::regex("error: send data at: [1-9]\\d*"))) << o.log[0];
}

TEST_F(ImageTransfer, SilentGatewayTimesOut) {
    plat::SetTimeScale(0.001);
    const std::string path = dir.path + "/uboot.img";
    WriteImage(path, 5000);
    Script s;
    s.bReply = false;
    const int64_t t0 = plat::TickMs();
    const Outcome o = Run(ImageVariant::Boot, path, s);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.got.bytes, 5000u);
    EXPECT_EQ(o.log, std::vector<std::string>{"error: receive time out"});
    EXPECT_GE(plat::TickMs() - t0, plat::Scaled(IMAGE_REPLY_TIMEOUT_MS));
}

TEST_F(ImageTransfer, ReplyOfTheOtherType) {
    const std::string path = dir.path + "/img";
    WriteImage(path, 3000);
    Script s;
    s.replyType = CMD_DOWN_LINUX;
    Outcome o = Run(ImageVariant::Boot, path, s);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.log, std::vector<std::string>{"error: sControl != CMD_DOWN_BOOT"});
    s.replyType = CMD_DOWN_BOOT;
    o = Run(ImageVariant::Linux, path, s);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.log, std::vector<std::string>{"error: sControl != CMD_DOWN_LINUX"});
}

TEST_F(ImageTransfer, HeaderRefusedByABusySlot) {
    const std::string path = dir.path + "/img";
    WriteImage(path, 3000);
    CLineChannel ch;
    FakeGateway gw;
    ASSERT_EQ(AttachWith(ch, gw), 1);
    server.Stop();  // nothing leaves the slot any more
    const uint8_t b[1] = {0};
    ASSERT_EQ(ch.SendData(b, 1), 1);
    std::vector<std::string> log;
    TransferCallbacks cb;
    cb.log = [&](const std::string& t) { log.push_back(t); };
    EXPECT_FALSE(SendImage(ch, ImageVariant::Linux, path, cb));
    EXPECT_EQ(log, std::vector<std::string>{"error: send data at: 0"});
}

}  // namespace
