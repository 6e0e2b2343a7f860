#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <map>

#include "modem/nv_store.h"
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
        Write(paths.strListTmp, "00020148\n");
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
    Write(paths.strList, "00020144\n");
    ASSERT_TRUE(CommitNvBackup(paths));
    EXPECT_EQ(Read(paths.strFile), "new");
    EXPECT_EQ(Read(paths.strList), "00020148\n");
    EXPECT_EQ(paths.strList, dir + "/_EFS_RF_NV.list");
    EXPECT_FALSE(fs::exists(paths.strListTmp));
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
    EXPECT_EQ(Read(paths.strList), "00020148\n");  // the list's rename is finished too
    EXPECT_EQ(Read(paths.strFolder + "/00020148"), "new148");
    EXPECT_EQ(Read(paths.strFolder + "/keep/x"), "x");
    EXPECT_FALSE(fs::exists(paths.strFolderOld));
}

// A rollback whose last rename failed leaves the old folder as the only copy: it is renamed back,
// with or without the file's temporary, and nothing is deleted.
TEST_F(NvStoreTest, RecoveryKeepsTheOldFolderWhenTheLiveOneIsMissing) {
    for (const bool bFileTmp : {false, true}) {
        MakeOld();
        MakeNewTemps();
        if (!bFileTmp) fs::remove(paths.strFileTmp);
        fs::rename(paths.strFolder, paths.strFolderOld);
        RecoverNvBackup(paths);
        EXPECT_EQ(Read(paths.strFolder + "/00020144"), "old144") << bFileTmp;
        EXPECT_EQ(Read(paths.strFolder + "/keep/x"), "x") << bFileTmp;
        EXPECT_FALSE(fs::exists(paths.strFolderOld)) << bFileTmp;
        EXPECT_EQ(Read(paths.strFolderTmp + "/00020148"), "new148") << bFileTmp;
        EXPECT_EQ(Read(paths.strFile), "old") << bFileTmp;
        fs::remove_all(paths.strFolder);
        fs::remove_all(paths.strFolderTmp);
        fs::remove(paths.strFileTmp);
        fs::remove(paths.strList);
        fs::remove(paths.strListTmp);
    }
}

TEST_F(NvStoreTest, RfNvListNamesTheFilesARestoreRequires) {
    std::vector<std::string> missing{"x"};
    EXPECT_TRUE(MissingRfNvFiles(paths, missing));  // no list: a backup from before the lists
    EXPECT_TRUE(missing.empty());
    MakeOld();
    ASSERT_TRUE(WriteRfNvList(paths.strList, {"00020144", "00020148", "00020150"}));
    EXPECT_EQ(Read(paths.strList), "00020144\n00020148\n00020150\n");
    EXPECT_TRUE(MissingRfNvFiles(paths, missing));
    EXPECT_EQ(missing, (std::vector<std::string>{"00020148", "00020150"}));
    Write(paths.strList, "00020144\r\n../Channel.nvm\n");
    EXPECT_FALSE(MissingRfNvFiles(paths, missing));
}

TEST_F(NvStoreTest, RecoveryRemovesTemporariesOfAnInterruptedBackup) {
    MakeOld();
    MakeNewTemps();
#ifndef _WIN32
    // A link in the abandoned folder goes itself; the folder it points to stays whole.
    fs::create_directories(dir + "/outside");
    Write(dir + "/outside/keep", "k");
    fs::create_directory_symlink(dir + "/outside", paths.strFolderTmp + "/link");
#endif
    RecoverNvBackup(paths);
    EXPECT_EQ(Read(paths.strFile), "old");
    EXPECT_FALSE(fs::exists(paths.strFileTmp));
    EXPECT_FALSE(fs::exists(paths.strFolderTmp));
#ifndef _WIN32
    EXPECT_EQ(Read(dir + "/outside/keep"), "k");
#endif
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

// The archive: a copy killed halfway leaves every earlier archive folder and the version folder's
// backup as they were, is never offered as the newest, and is cleared by the next archive; a whole
// copy that could not be renamed is never cleared.
TEST_F(NvStoreTest, ArchiveCopyKilledMidwayIsClearedAndOneWhoseRenameFailsIsKept) {
    MakeOld();  // the version folder's backup (with someone's sub-folder, which is not archived)
    Write(paths.strFolder + "/00020148", "old148");
    Write(paths.strFolder + "/00020150", "old150");
    const std::string imei = "356938035643809";
    const std::string imeiFolder = NvArchiveImeiFolder(dir, imei);
    EXPECT_EQ(imeiFolder, dir + "/NV/" + imei);
    EXPECT_EQ(NvArchiveImeiFolder(dir, "356938035643808"), dir + "/NV/unknown");
    const auto contents = [](const std::string& folder) {
        std::map<std::string, std::string> m;
        for (const auto& e : fs::recursive_directory_iterator(folder))
            m[fs::relative(e.path(), folder).generic_string()] = e.is_regular_file() ? Read(e.path().string()) : "/";
        return m;
    };
    const std::map<std::string, std::string> archived = {
        {"Channel.nvm", "old"},
        {"_EFS_RF_NV", "/"},
        {"_EFS_RF_NV/00020144", "old144"},
        {"_EFS_RF_NV/00020148", "old148"},
        {"_EFS_RF_NV/00020150", "old150"}};
    const auto backup = contents(dir + "/_EFS_RF_NV");

    // Two backups in the same second: the second gets a suffix.
    std::string first, second;
    ASSERT_EQ(ArchiveNvBackup(paths, imeiFolder, "20261209-031500", first), NvArchiveResult::Archived);
    ASSERT_EQ(ArchiveNvBackup(paths, imeiFolder, "20261209-031500", second), NvArchiveResult::Archived);
    EXPECT_EQ(first, imeiFolder + "/20261209-031500");
    EXPECT_EQ(second, imeiFolder + "/20261209-031500-2");
    EXPECT_EQ(contents(first), archived);
    EXPECT_EQ(NewestNvArchive(dir, imei), second);

    // The process is killed after the copy's second file (a child process: POSIX only).
#ifndef _WIN32
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int files = 0;
        std::string cut;
        ArchiveNvBackup(paths, imeiFolder, "20261209-031501", cut, [&files] {
            if (++files == 2) ::raise(SIGKILL);
        });
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_TRUE(fs::exists(imeiFolder + "/20261209-031501.tmp/_EFS_RF_NV"));
    EXPECT_FALSE(fs::exists(imeiFolder + "/20261209-031501"));
    EXPECT_EQ(contents(first), archived);
    EXPECT_EQ(contents(second), archived);
    EXPECT_EQ(Read(paths.strFile), "old");
    EXPECT_EQ(contents(dir + "/_EFS_RF_NV"), backup);
    EXPECT_EQ(NewestNvArchive(dir, imei), second);
#endif

    std::string third;
    ASSERT_EQ(ArchiveNvBackup(paths, imeiFolder, "20261209-031502", third), NvArchiveResult::Archived);
    EXPECT_FALSE(fs::exists(imeiFolder + "/20261209-031501.tmp"));
    EXPECT_EQ(contents(third), archived);
    EXPECT_EQ(NewestNvArchive(dir, imei), third);

    // A whole copy whose rename fails (its name taken meanwhile) is kept under its temporary name,
    // and the next archive leaves it there.
    std::string kept;
    EXPECT_EQ(ArchiveNvBackup(paths, imeiFolder, "20261209-031503", kept,
                              [&] {
                                  fs::create_directories(imeiFolder + "/20261209-031503");
                                  Write(imeiFolder + "/20261209-031503/blocker", "x");
                              }),
              NvArchiveResult::KeptTemporary);
    EXPECT_EQ(kept, imeiFolder + "/20261209-031503.tmp");
    EXPECT_EQ(contents(kept), archived);
    std::string fifth;
    ASSERT_EQ(ArchiveNvBackup(paths, imeiFolder, "20261209-031504", fifth), NvArchiveResult::Archived);
    EXPECT_EQ(contents(kept), archived);
    EXPECT_EQ(NewestNvArchive(dir, imei), fifth);
}

}  // namespace
