#include <gtest/gtest.h>


#include <filesystem>
#include <fstream>

#include "modem/nv_backup.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

class NvStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = test_support::MakeTempFolder("rk-nv-store-");
        paths = MakeNvBackupPaths(dir + "/Channel.nvm", dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    static void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The old pair: "old" file and folder with one file and a sub-folder of someone else's.
    void MakeOld() {
        Write(paths.strFile, "old");
        fs::create_directories(paths.strFolder + "/keep");
        Write(paths.strFolder + "/00020144", "old144");
        Write(paths.strFolder + "/keep/x", "x");
    }
    void MakeNewTemps() {
        Write(paths.strFileTmp, "new");
        fs::create_directories(paths.strFolderTmp);
        Write(paths.strFolderTmp + "/00020148", "new148");
    }

    std::string dir;
    NvBackupPaths paths;
};

TEST(NvRecord, PackedLittleEndianAt136Bytes) {
    NvRecord r;
    r.wItem = 0x1234;
    r.abData[0] = 0xA1;
    r.abData[127] = 0xB2;
    r.wStatus = 0xFFFF;
    std::array<uint8_t, NV_RECORD_SIZE> bytes;
    bytes.fill(0xEE);
    PackNvRecord(r, bytes);
    EXPECT_EQ(bytes[0], 0x34);
    EXPECT_EQ(bytes[1], 0x12);
    EXPECT_EQ(bytes[2], 0);
    EXPECT_EQ(bytes[3], 0);
    EXPECT_EQ(bytes[4], 0xA1);
    EXPECT_EQ(bytes[131], 0xB2);
    EXPECT_EQ(bytes[132], 0xFF);
    EXPECT_EQ(bytes[133], 0xFF);
    EXPECT_EQ(bytes[134], 0);
    EXPECT_EQ(bytes[135], 0);
    for (size_t i = 5; i < 131; ++i) EXPECT_EQ(bytes[i], 0) << i;

    bytes[132] = 5;
    bytes[133] = 0;
    const NvRecord back = UnpackNvRecord(bytes);
    EXPECT_EQ(back.wItem, 0x1234);
    EXPECT_EQ(back.wStatus, 5);
    EXPECT_EQ(back.abData, r.abData);
}

TEST_F(NvStoreTest, CommitReplacesFileAndFolderKeepingSubFolders) {
    MakeOld();
    MakeNewTemps();
    ASSERT_TRUE(CommitNvBackup(paths));
    EXPECT_EQ(Read(paths.strFile), "new");
    EXPECT_EQ(Read(paths.strFolder + "/00020148"), "new148");
    EXPECT_FALSE(fs::exists(paths.strFolder + "/00020144"));
    EXPECT_EQ(Read(paths.strFolder + "/keep/x"), "x");
    EXPECT_FALSE(fs::exists(paths.strFileTmp));
    EXPECT_FALSE(fs::exists(paths.strFolderTmp));
    EXPECT_FALSE(fs::exists(paths.strFolderOld));
}

TEST_F(NvStoreTest, CommitFailureLeavesTheOldPair) {
    MakeOld();
    Write(paths.strFileTmp, "new");  // no new folder: the second rename fails
    EXPECT_FALSE(CommitNvBackup(paths));
    EXPECT_EQ(Read(paths.strFile), "old");
    EXPECT_EQ(Read(paths.strFolder + "/00020144"), "old144");
    EXPECT_FALSE(fs::exists(paths.strFolderOld));
}

TEST_F(NvStoreTest, RecoveryRollsBackAReplacementCutBeforeTheFile) {
    // Crash after steps 1 and 2: the new folder is in place, the file is not.
    MakeOld();
    MakeNewTemps();
    fs::rename(paths.strFolder, paths.strFolderOld);
    fs::rename(paths.strFolderTmp, paths.strFolder);
    RecoverNvBackup(paths);
    EXPECT_EQ(Read(paths.strFile), "old");
    EXPECT_EQ(Read(paths.strFolder + "/00020144"), "old144");
    EXPECT_EQ(Read(paths.strFolder + "/keep/x"), "x");
    EXPECT_FALSE(fs::exists(paths.strFolder + "/00020148"));
    EXPECT_FALSE(fs::exists(paths.strFolderOld));
    EXPECT_FALSE(fs::exists(paths.strFileTmp));
}

TEST_F(NvStoreTest, RecoveryFinishesAReplacementCutAfterTheFile) {
    MakeOld();
    MakeNewTemps();
    fs::rename(paths.strFolder, paths.strFolderOld);
    fs::rename(paths.strFolderTmp, paths.strFolder);
    fs::rename(paths.strFileTmp, paths.strFile);
    RecoverNvBackup(paths);
    EXPECT_EQ(Read(paths.strFile), "new");
    EXPECT_EQ(Read(paths.strFolder + "/00020148"), "new148");
    EXPECT_EQ(Read(paths.strFolder + "/keep/x"), "x");
    EXPECT_FALSE(fs::exists(paths.strFolderOld));
}

TEST_F(NvStoreTest, RecoveryRemovesTemporariesOfAnInterruptedBackup) {
    MakeOld();
    MakeNewTemps();
    RecoverNvBackup(paths);
    EXPECT_EQ(Read(paths.strFile), "old");
    EXPECT_FALSE(fs::exists(paths.strFileTmp));
    EXPECT_FALSE(fs::exists(paths.strFolderTmp));
}

TEST_F(NvStoreTest, IncompleteBackupIsKeptBesideAndReplacesAnOlderIncompleteOne) {
    MakeOld();
    Write(paths.strFileIncomplete, "older");
    fs::create_directories(paths.strFolderIncomplete);
    Write(paths.strFolderIncomplete + "/00020999", "stale");
    MakeNewTemps();
    ASSERT_TRUE(KeepIncompleteNvBackup(paths));
    EXPECT_EQ(Read(paths.strFile), "old");
    EXPECT_EQ(Read(paths.strFileIncomplete), "new");
    EXPECT_EQ(Read(paths.strFolderIncomplete + "/00020148"), "new148");
    EXPECT_FALSE(fs::exists(paths.strFolderIncomplete + "/00020999"));
    EXPECT_FALSE(fs::exists(paths.strFileTmp));
}

}  // namespace
