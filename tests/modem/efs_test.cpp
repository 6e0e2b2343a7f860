#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "fake_tunnel.h"
#include "modem/diag_client.h"
#include "platform/byte_order.h"
#include "platform/fs.h"
#include "tests/support/temp_folder.h"

namespace {

Bytes Header(uint16_t sub) { return {0x4B, 0x13, uint8_t(sub & 0xFF), uint8_t(sub >> 8)}; }

// A modem file system answering the five EFS2 operations, with fault knobs.
struct FakeEfs {
    std::map<std::string, Bytes> files;
    std::string openPath;
    int32_t openDescriptor = 0;            // descriptor the open answers with
    std::map<int, uint32_t> readClaim;     // read index -> bytes the reply claims
    std::map<int, uint32_t> readErrno;     // read index -> error number
    uint32_t missingErrno = 2;             // the open's error number for a missing file (ENOENT)
    int carryShortBy = 0;                  // the reply carries fewer bytes than it claims
    int writtenShortBy = 0;
    std::vector<std::pair<uint32_t, uint32_t>> reads;   // count, offset
    std::vector<std::pair<uint32_t, uint32_t>> writes;  // offset, bytes
    std::vector<uint32_t> openFlags;
    int closes = 0;

    std::optional<Bytes> operator()(const Bytes& req) {
        EXPECT_GE(req.size(), 8u);
        const uint16_t sub = uint16_t(req[2] | req[3] << 8);
        Bytes r = Header(sub);
        switch (sub) {
            case 2: {
                openFlags.push_back(plat::GetLe32(req, 4));
                const std::string path(reinterpret_cast<const char*>(&req[12]));
                const bool create = plat::GetLe32(req, 4) & 0x40;
                if (!files.count(path) && !create) {
                    plat::AppendLe32(r, 0xFFFFFFFF);
                    plat::AppendLe32(r, missingErrno);
                    return r;
                }
                if (create) files[path].clear();
                openPath = path;
                plat::AppendLe32(r, uint32_t(openDescriptor));
                plat::AppendLe32(r, 0);
                return r;
            }
            case 3:
                ++closes;
                openPath.clear();
                plat::AppendLe32(r, 0);
                return r;
            case 17:
                plat::AppendLe32(r, 0);
                plat::AppendLe32(r, 0100644);
                plat::AppendLe32(r, uint32_t(files[openPath].size()));
                for (int i = 0; i < 4; ++i) plat::AppendLe32(r, 0);
                return r;
            case 4: {
                const int index = int(reads.size());
                const uint32_t count = plat::GetLe32(req, 8), offset = plat::GetLe32(req, 12);
                reads.emplace_back(count, offset);
                const Bytes& f = files[openPath];
                uint32_t n = offset < f.size() ? std::min<uint32_t>(count, uint32_t(f.size() - offset)) : 0;
                if (readClaim.count(index)) n = readClaim[index];
                const uint32_t carried = std::min<uint32_t>(n, offset < f.size() ? uint32_t(f.size() - offset) : 0) -
                                         uint32_t(carryShortBy);
                plat::AppendLe32(r, plat::GetLe32(req, 4));
                plat::AppendLe32(r, offset);
                plat::AppendLe32(r, n);
                plat::AppendLe32(r, readErrno.count(index) ? readErrno[index] : 0);
                r.insert(r.end(), f.begin() + offset, f.begin() + offset + carried);
                return r;
            }
            case 5: {
                const uint32_t offset = plat::GetLe32(req, 8);
                const Bytes data(req.begin() + 12, req.end());
                writes.emplace_back(offset, uint32_t(data.size()));
                Bytes& f = files[openPath];
                if (f.size() < offset + data.size()) f.resize(offset + data.size());
                std::copy(data.begin(), data.end(), f.begin() + offset);
                plat::AppendLe32(r, plat::GetLe32(req, 4));
                plat::AppendLe32(r, offset);
                plat::AppendLe32(r, uint32_t(data.size()) - uint32_t(writtenShortBy));
                plat::AppendLe32(r, 0);
                return r;
            }
        }
        return Bytes{0x13};
    }
};

Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 7 + (i >> 8));
    return b;
}

class EfsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = test_support::MakeTempFolder("rk-modem-efs-");
        tunnel.responder = [this](const Bytes& req) { return efs(req); };
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
            const std::string name = e.path().filename().string();
            if (name[0] != '.') names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    Bytes ReadPc(const std::string& name) const {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    ScaleGuard scale{0.05};
    std::string dir;
    const std::string efsPath = "/nv/item_files/rfnv/00020144";
    FakeEfs efs;
    FakeTunnel tunnel;
    DiagClient client{tunnel};
};

TEST_F(EfsTest, RequestFramesAreByteExact) {
    tunnel.responder = nullptr;
    auto step = [&](Bytes reply, Bytes payload, std::initializer_list<uint8_t> tail) {
        Step s = ReplyFrame(reply);
        payload.insert(payload.end(), tail);
        s.expect = payload;
        tunnel.steps.push_back(s);
    };
    Bytes open = Header(2);
    plat::AppendLe32(open, 0);
    plat::AppendLe32(open, 0444);
    open.insert(open.end(), efsPath.begin(), efsPath.end());
    open.push_back(0);
    Bytes openW = Header(2);
    plat::AppendLe32(openW, 0x241);
    plat::AppendLe32(openW, 0666);
    openW.insert(openW.end(), efsPath.begin(), efsPath.end());
    openW.push_back(0);
    Bytes okOpen = Header(2);
    plat::AppendLe32(okOpen, 0);
    plat::AppendLe32(okOpen, 0);
    step(okOpen, open, {0xE3, 0x4B, 0x7E});
    step(okOpen, openW, {0x2F, 0xD1, 0x7E});
    step({0x4B, 0x13, 3, 0, 0, 0, 0, 0}, {0x4B, 0x13, 3, 0, 0, 0, 0, 0}, {0x34, 0x50, 0x7E});
    Bytes readReply = Header(4);
    for (uint32_t v : {0u, 1024u, 0u, 0u}) plat::AppendLe32(readReply, v);
    step(readReply, {0x4B, 0x13, 4, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 4, 0, 0}, {0xB7, 0x2E, 0x7E});
    Bytes writeReply = Header(5);
    for (uint32_t v : {0u, 512u, 3u, 0u}) plat::AppendLe32(writeReply, v);
    step(writeReply, {0x4B, 0x13, 5, 0, 0, 0, 0, 0, 0, 2, 0, 0, 1, 2, 3}, {0x62, 0x3B, 0x7E});
    Bytes fstatReply = Header(17);
    for (uint32_t v : {0u, 0100644u, 77u, 1u, 0u, 0u, 0u}) plat::AppendLe32(fstatReply, v);
    step(fstatReply, {0x4B, 0x13, 0x11, 0, 0, 0, 0, 0}, {0xD2, 0x1A, 0x7E});

    int32_t fd = -1;
    EXPECT_EQ(client.EfsOpen(efsPath, true, fd), 1);
    EXPECT_EQ(fd, 0);
    EXPECT_EQ(client.EfsOpen(efsPath, false, fd), 1);
    EXPECT_EQ(client.EfsClose(), 1);
    uint32_t got = 99;
    std::array<uint8_t, 512> buf{};
    EXPECT_EQ(client.EfsRead(0, 512, 1024, got, buf), 1);
    EXPECT_EQ(got, 0u);
    uint32_t written = 0;
    const Bytes data{1, 2, 3};
    EXPECT_EQ(client.EfsWrite(512, data, &written), 1);
    EXPECT_EQ(written, 3u);
    uint32_t size = 0;
    EXPECT_EQ(client.EfsFstat(0, size), 1);
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(client.Mode(), DiagClient::ModePrepared);
}

TEST_F(EfsTest, PathLengthLimit) {
    const std::string fits = "/" + std::string(126, 'a');
    efs.files[fits] = Pattern(3);
    int32_t fd = -1;
    EXPECT_EQ(client.EfsOpen(fits, true, fd), 1);
    ASSERT_EQ(tunnel.sent.size(), 1u);
    const DecodedFrame req = DecodeFrame(tunnel.sent[0], false);
    ASSERT_TRUE(req.ok);
    EXPECT_EQ(req.payload.size(), 12u + 128u);
    EXPECT_EQ(req.payload.back(), 0);

    EXPECT_EQ(client.EfsOpen(fits + "b", true, fd), 0);
    EXPECT_EQ(tunnel.sent.size(), 1u);  // refused before sending
    EXPECT_EQ(client.Mode(), DiagClient::ModeDiag);
    EXPECT_EQ(client.LastError(), "路径过长：" + fits + "b");
}

TEST_F(EfsTest, CopyToPcReadsInPiecesOf512) {
    efs.files[efsPath] = Pattern(1300);
    EXPECT_EQ(client.CopyEfsFileToPc(dir + "/00020144", efsPath), EfsCopyResult::Done);
    EXPECT_EQ(efs.reads, (std::vector<std::pair<uint32_t, uint32_t>>{{512, 0}, {512, 512}, {276, 1024}}));
    EXPECT_EQ(efs.openFlags, std::vector<uint32_t>{0});
    EXPECT_EQ(efs.closes, 1);
    EXPECT_EQ(ReadPc("00020144"), Pattern(1300));
    EXPECT_EQ(Files(), std::vector<std::string>{"00020144"});
}

TEST_F(EfsTest, ShortReadContinuesAtTheRightOffset) {
    efs.files[efsPath] = Pattern(1300);
    efs.readClaim[0] = 300;
    EXPECT_EQ(client.CopyEfsFileToPc(dir + "/f", efsPath), EfsCopyResult::Done);
    EXPECT_EQ(efs.reads, (std::vector<std::pair<uint32_t, uint32_t>>{{512, 0}, {512, 300}, {488, 812}}));
    EXPECT_EQ(ReadPc("f"), Pattern(1300));
}

TEST_F(EfsTest, FailuresAfterOpenLeaveNoPcFileAndCloseTheEfsFile) {
    struct Case {
        const char* name;
        std::function<void(FakeEfs&)> fault;
    };
    const Case cases[] = {
        {"error number in the middle", [](FakeEfs& e) { e.readErrno[1] = 5; }},
        {"zero bytes before the end", [](FakeEfs& e) { e.readClaim[1] = 0; }},
        {"more than asked", [](FakeEfs& e) { e.readClaim[0] = 600; }},
        {"more than carried", [](FakeEfs& e) { e.carryShortBy = 4; }},
    };
    for (const Case& c : cases) {
        efs = FakeEfs{};
        efs.files[efsPath] = Pattern(1300);
        c.fault(efs);
        EXPECT_EQ(client.CopyEfsFileToPc(dir + "/00020144", efsPath), EfsCopyResult::Failed) << c.name;
        EXPECT_EQ(efs.closes, 1) << c.name;
        EXPECT_TRUE(Files().empty()) << c.name;
        EXPECT_EQ(client.Mode(), DiagClient::ModePrepared) << c.name;  // the close went through
        EXPECT_LE(efs.reads.size(), 2u) << c.name;
    }
}

TEST_F(EfsTest, OpenOutcomes) {
    // No such file: told apart from a failure, nothing to close.
    EXPECT_EQ(client.CopyEfsFileToPc(dir + "/x", efsPath), EfsCopyResult::NoFile);
    EXPECT_EQ(efs.closes, 0);
    EXPECT_EQ(client.Mode(), DiagClient::ModeDiag);
    // Any other error number (here EACCES) is a failure, not an absent file.
    efs.missingErrno = 13;
    EXPECT_EQ(client.CopyEfsFileToPc(dir + "/x", efsPath), EfsCopyResult::Failed);
    efs.missingErrno = 2;

    // Descriptor 1 counts as a failure.
    efs.files[efsPath] = Pattern(10);
    efs.openDescriptor = 1;
    int32_t fd = -1, err = -1;
    EXPECT_EQ(client.EfsOpen(efsPath, true, fd, &err), 0);
    EXPECT_EQ(fd, 1);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(client.Mode(), DiagClient::ModeDiag);
    EXPECT_EQ(client.CopyEfsFileToPc(dir + "/x", efsPath), EfsCopyResult::Failed);

    // A DIAG error reply fails the exchange with its text.
    tunnel.steps.push_back(ReplyFrame({0x13, 0x4B, 0x13}));
    EXPECT_EQ(client.CopyEfsFileToPc(dir + "/x", efsPath), EfsCopyResult::Failed);
    EXPECT_EQ(client.LastError(), "open file operation failed, Since Bad command");
    EXPECT_TRUE(Files().empty());
}

TEST_F(EfsTest, SilentOpenFailsWithTheExchangeText) {
    tunnel.responder = nullptr;
    tunnel.steps.push_back(Silent());
    EXPECT_EQ(client.CopyEfsFileToPc(dir + "/x", efsPath), EfsCopyResult::Failed);
    EXPECT_EQ(client.LastError(), "open file operation failed, Since Port Cannot Receive Desired Data from the Phone");
}

TEST_F(EfsTest, EmptyEfsFileWritesNoPcFile) {
    efs.files[efsPath] = {};
    EXPECT_EQ(client.CopyEfsFileToPc(dir + "/e", efsPath), EfsCopyResult::Empty);
    EXPECT_TRUE(efs.reads.empty());
    EXPECT_FALSE(plat::PathExists(dir + "/e"));
    EXPECT_EQ(efs.closes, 1);
}

TEST_F(EfsTest, CopyPcFileToEfs) {
    const std::string pc = dir + "/up";
    ASSERT_TRUE(plat::WriteFileAtomic(pc, Pattern(1300)));
    EXPECT_TRUE(client.CopyPcFileToEfs(pc, efsPath));
    EXPECT_EQ(efs.writes, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 512}, {512, 512}, {1024, 276}}));
    EXPECT_EQ(efs.files[efsPath], Pattern(1300));
    EXPECT_EQ(efs.openFlags, std::vector<uint32_t>{0x241});
    EXPECT_EQ(efs.closes, 1);

    // A 0-byte file: one write of 0 bytes at offset 0.
    efs = FakeEfs{};
    ASSERT_TRUE(plat::WriteFileAtomic(pc, {}));
    EXPECT_TRUE(client.CopyPcFileToEfs(pc, efsPath));
    EXPECT_EQ(efs.writes, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 0}}));
    EXPECT_TRUE(efs.files[efsPath].empty());

    // Fewer bytes written than sent fails, and the file is closed.
    efs = FakeEfs{};
    efs.writtenShortBy = 1;
    ASSERT_TRUE(plat::WriteFileAtomic(pc, Pattern(700)));
    EXPECT_FALSE(client.CopyPcFileToEfs(pc, efsPath));
    EXPECT_EQ(efs.writes.size(), 1u);
    EXPECT_EQ(efs.closes, 1);

    // A missing PC file sends nothing.
    const size_t before = tunnel.sent.size();
    EXPECT_FALSE(client.CopyPcFileToEfs(dir + "/missing", efsPath));
    EXPECT_EQ(tunnel.sent.size(), before);
}

TEST_F(EfsTest, WriteAndCloseFailureTexts) {
    tunnel.responder = nullptr;
    tunnel.steps.push_back(ReplyFrame({0x13}));
    EXPECT_EQ(client.EfsWrite(0, Bytes{1}), 0);
    EXPECT_EQ(client.LastError(), "Write file sequence block operation failed, Since Bad command");
    EXPECT_EQ(client.Mode(), DiagClient::ModeDiag);
    tunnel.steps.push_back(ReplyFrame({0x14}));
    EXPECT_EQ(client.EfsClose(), 0);
    EXPECT_EQ(client.LastError(),
              "close file operation failed, Since The Request packet has invalid or inconsistent parameters");

    // A non-zero error number fails without touching the last error.
    Bytes closeErr = Header(3);
    plat::AppendLe32(closeErr, 9);
    tunnel.steps.push_back(ReplyFrame(closeErr));
    EXPECT_EQ(client.EfsClose(), 0);
    EXPECT_EQ(client.LastError(),
              "close file operation failed, Since The Request packet has invalid or inconsistent parameters");
    EXPECT_EQ(client.Mode(), DiagClient::ModeDiag);
}

}  // namespace
