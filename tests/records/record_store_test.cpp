#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "platform/clock.h"
#include "records/record_store.h"
#include "records_test_util.h"

using rectest::ReadFile;
using rectest::WriteFile;

namespace {

const std::string kHeader = "Date,Time,Line,IMEI,Result\r\n";
const std::string kShippedRecord = std::string(RK_SOURCE_DIR) + "/resources/RecordCSV.sdi";

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    uint32_t x = 12345;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

class Records : public ::testing::Test {
protected:
    void SetUp() override {
        env.Set("LC_ALL", "C");
        WriteFile(Setup(), ReadFile(kShippedRecord));
    }

    RecordStoreHooks Hooks() {
        RecordStoreHooks h;
        h.disks = [] {
            return std::vector<DiskCandidate>{{"/dev/sda", [] { return std::optional<std::string>(" WD-123 "); }}};
        };
        h.exitProcess = [this](int code) { exitCodes.push_back(code); };
        h.language = [this] { return bChinese; };
        return h;
    }
    std::unique_ptr<CRecordStore> Make() { return std::make_unique<CRecordStore>(ui, root.ProgramFolder(), Hooks()); }
    std::unique_ptr<CRecordStore> Make(RecordStoreHooks hooks) {
        return std::make_unique<CRecordStore>(ui, root.ProgramFolder(), std::move(hooks));
    }

    std::string Setup() const { return plat::JoinPath(root.ProgramFolder(), "RecordCSV.sdi"); }
    std::string Work() const { return root.System("kdlcsv.ds.dll"); }
    std::string Plain() const { return root.System("kdlcsv.txt"); }
    std::string Out(const std::string& name) const { return root.Path() + "/" + name; }

    // Encrypts `text` into `path` with the store's own cipher.
    void EncryptTo(CRecordStore& store, const std::string& text, const std::string& path) {
        const std::string src = Out("source.tmp");
        WriteFile(src, text);
        ASSERT_TRUE(store.EncryptFile(src, path, RECORD_PASSWORD));
        plat::DeleteFile(src);
    }
    std::string DecryptOf(CRecordStore& store, const std::string& path) {
        const std::string dst = Out("decrypted.tmp");
        EXPECT_TRUE(store.DecryptFile(path, dst, RECORD_PASSWORD));
        const std::string text = ReadFile(dst);
        plat::DeleteFile(dst);
        return text;
    }

    rectest::EnvGuard env;
    rectest::TempRoot root;
    rectest::FakeUi ui;
    std::vector<int> exitCodes;
    bool bChinese = false;  // the system language the stores of Hooks() see
};

// ---- the cipher ----

TEST_F(Records, EncryptionMatchesTheCryptoApiVector) {
    auto store = Make();
    WriteFile(Out("v.txt"), "hello,record\r\n");
    ASSERT_TRUE(store->EncryptFile(Out("v.txt"), Out("v.enc"), "7391"));
    EXPECT_EQ(Hex(ReadFile(Out("v.enc"))), "8c7e85ca7e247e75266b0e3f847a");
}

TEST_F(Records, TheShippedPristineRecordDecryptsToTheHeaderLine) {
    auto store = Make();
    EXPECT_EQ(DecryptOf(*store, kShippedRecord), kHeader);
    const std::string built = std::string(RK_BINARY_DIR) + "/ui/RecordCSV.sdi";
    if (plat::PathExists(built)) {  // present once the build's copy ran
        EXPECT_EQ(ReadFile(built), ReadFile(kShippedRecord));
    }
}

TEST_F(Records, EncryptThenDecryptGivesBackTheBytesForEverySize) {
    auto store = Make();
    for (size_t size : {0u, 1u, 999u, 1000u, 1001u, 2500u}) {
        SCOPED_TRACE(size);
        const std::string plain = Pattern(size);
        WriteFile(Out("p.bin"), plain);
        ASSERT_TRUE(store->EncryptFile(Out("p.bin"), Out("c.bin"), RECORD_PASSWORD));
        const std::string cipher = ReadFile(Out("c.bin"));
        EXPECT_EQ(cipher.size(), size);
        if (size > 0) {
            EXPECT_NE(cipher, plain);
        }
        ASSERT_TRUE(store->DecryptFile(Out("c.bin"), Out("back.bin"), RECORD_PASSWORD));
        EXPECT_EQ(ReadFile(Out("back.bin")), plain);
    }
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(Records, TheKeyStreamRunsOnAcrossChunks) {
    auto store = Make();
    // Zero bytes encrypt to the key stream itself: one stream over the whole file, not restarted
    // for each 1000-byte chunk, so a longer file begins with the shorter file's bytes.
    WriteFile(Out("z.bin"), std::string(2500, '\0'));
    WriteFile(Out("z1.bin"), std::string(1001, '\0'));
    ASSERT_TRUE(store->EncryptFile(Out("z.bin"), Out("z.enc"), RECORD_PASSWORD));
    ASSERT_TRUE(store->EncryptFile(Out("z1.bin"), Out("z1.enc"), RECORD_PASSWORD));
    const std::string stream = ReadFile(Out("z.enc"));
    EXPECT_EQ(stream.substr(0, 1001), ReadFile(Out("z1.enc")));
    EXPECT_NE(stream.substr(1000, 1000), stream.substr(0, 1000));
    WriteFile(Out("v.txt"), "hello,record\r\n");
    ASSERT_TRUE(store->EncryptFile(Out("v.txt"), Out("v.enc"), RECORD_PASSWORD));
    std::string x = ReadFile(Out("v.enc"));
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<char>(x[i] ^ stream[i]);
    EXPECT_EQ(x, "hello,record\r\n");
}

TEST_F(Records, AnEmptyFileStaysEmpty) {
    auto store = Make();
    WriteFile(Out("e.txt"), "");
    ASSERT_TRUE(store->EncryptFile(Out("e.txt"), Out("e.enc"), RECORD_PASSWORD));
    EXPECT_EQ(plat::FileSize(Out("e.enc")), 0);
    ASSERT_TRUE(store->DecryptFile(Out("e.enc"), Out("e.back"), RECORD_PASSWORD));
    EXPECT_EQ(plat::FileSize(Out("e.back")), 0);
}

TEST_F(Records, AMissingSourceIsFatalWithFourMessages) {
    auto store = Make();
    EXPECT_FALSE(store->DecryptFile(Out("none.sdi"), Out("x.txt"), RECORD_PASSWORD));
    EXPECT_EQ(ui.Texts(), (std::vector<std::string>{"An error occurred in running the program. \n",
                                                    "Error opening ciphertext file!", "Error number 2.\n",
                                                    "Program terminating"}));
    EXPECT_EQ(exitCodes, std::vector<int>{1});
    ui.messages.clear();
    EXPECT_FALSE(store->EncryptFile(Out("none.txt"), Out("x.sdi"), RECORD_PASSWORD));
    EXPECT_EQ(ui.Texts()[1], "Error opening source plaintext file!");
    ui.messages.clear();
    WriteFile(Out("p.txt"), "x");
    EXPECT_FALSE(store->EncryptFile(Out("p.txt"), Out("no/such/folder.sdi"), RECORD_PASSWORD));
    EXPECT_EQ(ui.Texts()[1], "Error opening destination ciphertext file!");
    ui.messages.clear();
    EXPECT_FALSE(store->DecryptFile(Out("p.txt"), Out("no/such/folder.txt"), RECORD_PASSWORD));
    EXPECT_EQ(ui.Texts()[1], "Error opening plaintext file!");
    EXPECT_EQ(exitCodes, (std::vector<int>{1, 1, 1, 1}));
}

// ---- start-up and language ----

TEST_F(Records, FirstRunInstallsTheWorkingRecordSilently) {
    ASSERT_FALSE(plat::PathExists(Work()));
    auto store = Make();
    EXPECT_EQ(ReadFile(Work()), ReadFile(Setup()));
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_TRUE(ui.fileRequests.empty());
    EXPECT_EQ(store->SetupRecordPath(), Setup());
    EXPECT_EQ(store->PlainRecordPath(), Plain());
    EXPECT_EQ(store->DiskSerial(), "WD-123");
}

TEST_F(Records, AnExistingWorkingRecordIsKept) {
    WriteFile(Work(), "existing");
    auto store = Make();
    EXPECT_EQ(ReadFile(Work()), "existing");
}

TEST_F(Records, LanguageFollowsTheFirstLocaleVariableThatIsSet) {
#ifdef _WIN32
    GTEST_SKIP() << "on Windows the language is the system's default language id";
#endif
    env.Set("LC_ALL", nullptr);
    env.Set("LC_MESSAGES", nullptr);
    env.Set("LANG", nullptr);
    EXPECT_FALSE(SystemLanguageIsChinese());
    env.Set("LANG", "zh_CN.UTF-8");
    EXPECT_TRUE(SystemLanguageIsChinese());
    env.Set("LC_MESSAGES", "en_US.UTF-8");
    EXPECT_FALSE(SystemLanguageIsChinese());
    env.Set("LC_ALL", "");  // empty counts as not set
    EXPECT_FALSE(SystemLanguageIsChinese());
    env.Set("LC_ALL", "zh_CN.GBK");
    EXPECT_TRUE(SystemLanguageIsChinese());
    env.Set("LC_ALL", "zh_TW.UTF-8");
    EXPECT_FALSE(SystemLanguageIsChinese());
    env.Set("LC_ALL", "zh_CN");
    RecordStoreHooks system = Hooks();
    system.language = SystemLanguageIsChinese;
    EXPECT_TRUE(Make(std::move(system))->IsChinese());
}

// ---- the missing pristine record ----

TEST_F(Records, MissingPristineRecordAsksThenCancelFailsTheExportQuietly) {
    plat::DeleteFile(Setup());
    auto store = Make();
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Fail to find 'RecordCSV.sdi',please select setup folder.");
    EXPECT_EQ(ui.messages[0].icon, plat::MsgIcon::Information);
    ASSERT_EQ(ui.fileRequests.size(), 1u);
    const plat::FileDialogSpec& dialogRequest = ui.fileRequests[0];
    EXPECT_TRUE(dialogRequest.bOpen);
    EXPECT_EQ(dialogRequest.defaultName, "RecordCSV.sdi");
    EXPECT_EQ(dialogRequest.defaultExt, "RecordCSV.sdi");
    EXPECT_EQ(dialogRequest.filter, "KVO Record File(*.sdi) | *.sdi; ||");
    EXPECT_TRUE(dialogRequest.bOverwritePrompt);
    EXPECT_FALSE(plat::PathExists(Work()));

    // Each export asks again; cancelling fails it with no message of its own.
    EXPECT_FALSE(store->ExportCsv());
    EXPECT_FALSE(store->ExportSdi());
    EXPECT_EQ(ui.Texts(), std::vector<std::string>(3, "Fail to find 'RecordCSV.sdi',please select setup folder."));
    EXPECT_EQ(ui.fileRequests.size(), 3u);
    EXPECT_TRUE(ui.fileRequests[2].bOpen);
    EXPECT_FALSE(plat::PathExists(Work()));
}

TEST_F(Records, MissingPristineRecordInChineseAndTheOperatorsChoice) {
    bChinese = true;
    const std::string elsewhere = Out("elsewhere.sdi");
    WriteFile(elsewhere, ReadFile(Setup()));
    plat::DeleteFile(Setup());
    ui.fileAnswers.push_back(elsewhere);
    auto store = Make();
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "原始文件查找失败，请指定安装文件夹下'RecordCSV.sdi'文件路径.");
    EXPECT_EQ(ui.messages[0].icon, plat::MsgIcon::Exclamation);
    EXPECT_EQ(ReadFile(Work()), ReadFile(elsewhere));
    EXPECT_EQ(store->SetupRecordPath(), elsewhere);
}

// ---- SDI export ----

TEST_F(Records, SdiExportCopiesTheRecordThenResetsItToThePristineOne) {
    auto store = Make();
    EncryptTo(*store, kHeader + "03/07/2014,01:05,1,860000000000001,PASS\r\n", Work());
    const std::string before = ReadFile(Work());
    ui.fileAnswers.push_back(Out("export.sdi"));
    ASSERT_TRUE(store->ExportSdi());
    EXPECT_EQ(ReadFile(Out("export.sdi")), before);
    EXPECT_EQ(ReadFile(Work()), ReadFile(Setup()));

    ASSERT_EQ(ui.fileRequests.size(), 1u);
    const plat::FileDialogSpec& dialogRequest = ui.fileRequests[0];
    EXPECT_FALSE(dialogRequest.bOpen);
    EXPECT_EQ(dialogRequest.defaultName, "WD-123DLCSV.sdi");
    EXPECT_EQ(dialogRequest.defaultExt, "sdi");
    EXPECT_EQ(dialogRequest.filter, "KVO Record File(*.sdi) | *.sdi; ||");
    EXPECT_TRUE(dialogRequest.bOverwritePrompt);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "File save success!");
    EXPECT_EQ(ui.messages[0].icon, plat::MsgIcon::Information);
}

TEST_F(Records, SdiExportInChineseAndItsFailures) {
    bChinese = true;
    auto store = Make();
    EncryptTo(*store, "used record\r\n", Work());
    const std::string before = ReadFile(Work());

    EXPECT_FALSE(store->ExportSdi());  // chooser cancelled
    EXPECT_TRUE(ui.messages.empty());

    ui.fileAnswers.push_back(Out("missing/folder/x.sdi"));
    EXPECT_FALSE(store->ExportSdi());
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "加密记录文件导出失败！");
    EXPECT_EQ(ui.messages[0].icon, plat::MsgIcon::Exclamation);
    EXPECT_EQ(ReadFile(Work()), before);

    // A read-only file chosen as the target is not overwritten (CopyFileA refuses it).
    ui.messages.clear();
    const std::string locked = Out("locked.sdi");
    WriteFile(locked, "kept");
    rectest::MakeReadOnly(locked);
    ui.fileAnswers.push_back(locked);
    EXPECT_FALSE(store->ExportSdi());
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "加密记录文件导出失败！");
    EXPECT_EQ(ReadFile(locked), "kept");
    EXPECT_EQ(ReadFile(Work()), before);

    ui.messages.clear();
    ui.fileAnswers.push_back(Out("ok.sdi"));
    ASSERT_TRUE(store->ExportSdi());
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "文件导出成功!");
    EXPECT_EQ(ui.messages[0].icon, plat::MsgIcon::Information);

    // A working record that cannot be reset: the export stays, the message names the record.
    ui.messages.clear();
    ASSERT_EQ(::chmod(Work().c_str(), 0444), 0);
    ui.fileAnswers.push_back(Out("kept.sdi"));
    EXPECT_FALSE(store->ExportSdi());
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "文件导出成功，但记录文件未能清空：" + Work());
    EXPECT_EQ(ui.messages[0].icon, plat::MsgIcon::Exclamation);
    EXPECT_EQ(ReadFile(Out("kept.sdi")), ReadFile(Work()));
}

TEST_F(Records, SdiExportFailureInEnglishShowsAStopIcon) {
    auto store = Make();
    ui.fileAnswers.push_back(Out("missing/folder/x.sdi"));
    EXPECT_FALSE(store->ExportSdi());
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Export record sdi failed for unknown error");
    EXPECT_EQ(ui.messages[0].icon, plat::MsgIcon::Stop);
}

TEST_F(Records, DisksThatDoNotAnswerGiveTheBareDefaultNames) {
    RecordStoreHooks hooks = Hooks();
    hooks.disks = [] {
        return std::vector<DiskCandidate>{{"/dev/sda", [] { return std::optional<std::string>(); }}};
    };
    auto store = Make(std::move(hooks));
    EXPECT_EQ(store->DiskSerial(), "");
    EXPECT_FALSE(store->ExportSdi());
    EXPECT_FALSE(store->ExportCsv());
    ASSERT_EQ(ui.fileRequests.size(), 2u);
    EXPECT_EQ(ui.fileRequests[0].defaultName, "DLCSV.sdi");
    EXPECT_EQ(ui.fileRequests[1].defaultName, ".csv");
    EXPECT_EQ(ui.fileRequests[1].defaultExt, "csv");
}

TEST_F(Records, ASerialWithAPathSeparatorStaysAFileName) {
    RecordStoreHooks hooks = Hooks();
    hooks.disks = [] { return std::vector<DiskCandidate>{{"vda", [] { return std::optional<std::string>("a/../b"); }}}; };
    auto store = Make(std::move(hooks));
    EXPECT_FALSE(store->ExportCsv());
    ASSERT_EQ(ui.fileRequests.size(), 1u);
    EXPECT_EQ(ui.fileRequests[0].defaultName, "a_.._b.csv");
}

// ---- CSV export ----

TEST_F(Records, CsvExportLeavesThePlainRecordAndReencryptsTheWorkingOne) {
    auto store = Make();
    const std::string text = kHeader + "03/07/2014,01:05,1,860000000000001,PASS\r\n";
    EncryptTo(*store, text, Work());
    ui.fileAnswers.push_back(Out("export.csv"));
    ASSERT_TRUE(store->ExportCsv());
    EXPECT_EQ(ReadFile(Out("export.csv")), text);
    EXPECT_EQ(ReadFile(Plain()), text);
    EXPECT_EQ(DecryptOf(*store, Work()), text);

    ASSERT_EQ(ui.fileRequests.size(), 1u);
    const plat::FileDialogSpec& dialogRequest = ui.fileRequests[0];
    EXPECT_FALSE(dialogRequest.bOpen);
    EXPECT_EQ(dialogRequest.defaultName, "WD-123.csv");
    EXPECT_EQ(dialogRequest.defaultExt, "csv");
    EXPECT_EQ(dialogRequest.filter, "csv file(*.csv) | *.csv; ||");
    EXPECT_TRUE(dialogRequest.bOverwritePrompt);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "CSV file save success!");
    EXPECT_EQ(ui.messages[0].icon, plat::MsgIcon::Information);
    // Nothing but the three record files in the system directory: no temporary file is left.
    EXPECT_EQ(rectest::ListFolder(plat::SystemDirectory()), (std::vector<std::string>{"kdlcsv.ds.dll", "kdlcsv.txt"}));
}

// A cancelled export says nothing; one that could not be written says so, naming the file.
TEST_F(Records, CsvExportInChineseAndEnglishAndItsFailures) {
    for (const bool chinese : {true, false}) {
        bChinese = chinese;
        ui.messages.clear();
        auto store = Make();
        EXPECT_FALSE(store->ExportCsv());  // cancelled
        EXPECT_TRUE(ui.messages.empty());
        const std::string missing = Out("missing/folder/x.csv");
        ui.fileAnswers.push_back(missing);
        EXPECT_FALSE(store->ExportCsv());
        ASSERT_EQ(ui.messages.size(), 1u);
        EXPECT_EQ(ui.messages[0].text, (chinese ? "CSV文件导出失败：" : "CSV file save fail: ") + missing);
        EXPECT_EQ(ui.messages[0].icon, plat::MsgIcon::Exclamation);
        ui.messages.clear();
        ui.fileAnswers.push_back(Out("x.csv"));
        ASSERT_TRUE(store->ExportCsv());
        EXPECT_EQ(ReadFile(Out("x.csv")), kHeader);
        EXPECT_EQ(ui.Texts(), std::vector<std::string>{chinese ? "CSV文件导出成功!" : "CSV file save success!"});
    }
}

// ---- open, close and failures while writing ----

TEST_F(Records, AFailureWhileWritingTheNewWorkingRecordKeepsTheOldOne) {
    std::string failOn;
    RecordStoreHooks hooks = Hooks();
    hooks.writeBlock = [&failOn](const std::string& dst, const unsigned char* data, size_t size, std::FILE* f) {
        if (dst == failOn) {
            errno = ENOSPC;
            return size / 2;
        }
        return std::fwrite(data, 1, size, f);
    };
    auto store = Make(std::move(hooks));
    EncryptTo(*store, Pattern(2500), Work());
    const std::string before = ReadFile(Work());

    ASSERT_TRUE(store->OpenRecord());
    EXPECT_EQ(ReadFile(Plain()), Pattern(2500));
    failOn = Work();
    EXPECT_FALSE(store->CloseRecord());
    EXPECT_EQ(ui.Texts(), (std::vector<std::string>{"An error occurred in running the program. \n",
                                                    "Error writing ciphertext.", "Error number 1c.\n",
                                                    "Program terminating"}));
    EXPECT_EQ(exitCodes, std::vector<int>{1});
    EXPECT_EQ(ReadFile(Work()), before);
    EXPECT_EQ(rectest::ListFolder(plat::SystemDirectory()), (std::vector<std::string>{"kdlcsv.ds.dll", "kdlcsv.txt"}));

    // The reset after an SDI export fails the same way: the record kept, the export too, and
    // the operator told which record was not cleared.
    ui.messages.clear();
    ui.fileAnswers.push_back(Out("export.sdi"));
    EXPECT_FALSE(store->ExportSdi());
    EXPECT_EQ(ui.Texts(), std::vector<std::string>{"File save success, but the record could not be cleared: " + Work()});
    EXPECT_EQ(ReadFile(Out("export.sdi")), before);
    EXPECT_EQ(ReadFile(Work()), before);

    // The lock was released: the record opens again.
    failOn.clear();
    ASSERT_TRUE(store->OpenRecord());
    EXPECT_TRUE(store->CloseRecord());
}

TEST_F(Records, OpenRecordHoldsTheLockUntilCloseRecord) {
    auto store = Make();
    EXPECT_FALSE(store->CloseRecord());  // nothing open: nothing to release
    ASSERT_TRUE(store->OpenRecord());
    std::atomic<bool> opened{false};
    std::thread other([&] {
        if (store->OpenRecord()) {
            opened = true;
            store->CloseRecord();
        }
    });
    plat::SleepRaw(100);
    EXPECT_FALSE(opened.load());
    EXPECT_TRUE(store->CloseRecord());
    other.join();
    EXPECT_TRUE(opened.load());
    EXPECT_EQ(ReadFile(Plain()), kHeader);
}

TEST_F(Records, OpenRecordFailsWithoutAWorkingRecord) {
    auto store = Make();
    plat::DeleteFile(Work());
    EXPECT_FALSE(store->OpenRecord());
    // And the lock is free again.
    std::thread other([&] { EXPECT_FALSE(store->OpenRecord()); });
    other.join();
    EXPECT_TRUE(ui.messages.empty());
}

}  // namespace
