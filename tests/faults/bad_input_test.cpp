// Bad input at the edges, each run through the built program: the configuration file, the counters
// INI, the NV backup file, the version folder, the machine root, the link port, the WiFi limit and
// paths too long for their record field. Each shows its text and loses or overwrites nothing.
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>

#include "faults/fault_support.h"

namespace {

using namespace faults;
using tool_harness::ReadText;

constexpr const char* CONFIG_NAME = "MG_RK880T_PDWA_CN_VEV1.00.00.cfg";
constexpr long long CONFIG_SIZE = 8 * 8056;

std::vector<std::string> MessagesOf(const std::string& err) {
    std::vector<std::string> out;
    for (const std::string& l : tool_harness::Lines(err))
        if (l.rfind("MESSAGE: ", 0) == 0) out.push_back(l.substr(9));
    return out;
}

size_t CountText(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// The program with nothing answering on its endpoints, ended by its give-up.
int RunIdle(const Sandbox& box, const std::vector<std::string>& extra, double giveUp, std::string& out,
            std::string& err) {
    auto args = tool_harness::BaseArgs(box);
    args.insert(args.end(), {"--give-up-after", plat::Format("%g", giveUp)});
    args.insert(args.end(), extra.begin(), extra.end());
    Child c = tool_harness::Spawn(box, args, "idle");
    const int status = tool_harness::Wait(c, static_cast<int>(giveUp * 1000) + 30000);
    out = ReadText(c.out);
    err = ReadText(c.err);
    return status;
}

// --- The configuration file beside the program ---------------------------------------------------

TEST(BadInput, ConfigFileOfTheWrongSizeIsIgnoredWithAMessage) {
    for (const long long size : {0LL, 1LL, CONFIG_SIZE - 1, CONFIG_SIZE + 1}) {
        Sandbox box;
        const std::string cfg = box.program + "/" + CONFIG_NAME;
        std::vector<uint8_t> bytes(static_cast<size_t>(size), 0x5A);
        WriteBytes(cfg, bytes);
        std::string out, err;
        EXPECT_EQ(RunIdle(box, {}, 2, out, err), 3) << size;
        EXPECT_EQ(MessagesOf(err), std::vector<std::string>{"配置文件大小不正确，已忽略：" + cfg}) << size;
        // Start-up went on: the watcher ran.
        EXPECT_GE(CountStamped(out, "DisConnect"), 1) << size;
        EXPECT_EQ(Bytes(cfg), bytes) << "the configuration file is never written";
        tool_harness::ExpectErrFormat(err);
    }
}

TEST(BadInput, ConfigFileOfTheRightSizeIsReadSilently) {
    Sandbox box;
    const std::string cfg = box.program + "/" + CONFIG_NAME;
    std::vector<uint8_t> bytes(static_cast<size_t>(CONFIG_SIZE), 0);
    WriteBytes(cfg, bytes);
    std::string out, err;
    EXPECT_EQ(RunIdle(box, {}, 2, out, err), 3);
    EXPECT_TRUE(MessagesOf(err).empty()) << err;
    EXPECT_EQ(Bytes(cfg), bytes);
}

// --- The counters INI in the system directory --------------------------------------------------

TEST(BadInput, JunkCountersIniReadsAsDefaultsAndIsNotRewritten) {
    Sandbox box;
    const std::string ini = box.root + "/Windows/System32/DerorEZ_LTE_RK19S2V1.00.00.ini";
    std::string junk = "\xEF\xBB\xBF garbage without a section\n=17\n";
    junk += "[CountsInfo]\nSuccessCounts=abc\nTotalCounts=\x01\x02\x03\nNowTotalCounts\nClearTime=-\n";
    junk += std::string(5000, 'x') + "\n";
    junk += std::string("\0\0\xFF\xFE==\r\r\n", 10);
    const std::vector<uint8_t> bytes(junk.begin(), junk.end());
    WriteBytes(ini, bytes);

    std::string out, err;
    EXPECT_EQ(RunIdle(box, {}, 2, out, err), 3);
    EXPECT_TRUE(MessagesOf(err).empty()) << err;
    EXPECT_EQ(Bytes(ini), bytes) << "start-up rewrote the counters file";

    // Clear writes back what was read: every count 0; the junk values are replaced, the other
    // lines kept.
    auto args = tool_harness::BaseArgs(box);
    args.insert(args.end(), {"--clear-counts"});
    Child c = tool_harness::Spawn(box, args, "clear");
    EXPECT_EQ(tool_harness::Wait(c, 30000), 0);
    const std::string after = ReadText(ini);
    for (const char* key : {"SuccessCounts", "TotalCounts", "NowSuccessCounts", "NowTotalCounts"}) {
        const std::string line = std::string("\n") + key + "=";
        EXPECT_EQ(CountText(after, line), 1u) << key << "\n" << after;
        EXPECT_NE(after.find(line + "0\n"), std::string::npos) << key << "\n" << after;
    }
    EXPECT_EQ(after.find("=abc"), std::string::npos) << after;
    EXPECT_EQ(after.find("ClearTime=-"), std::string::npos) << after;
    EXPECT_NE(after.find(std::string(5000, 'x')), std::string::npos) << "other lines are kept on write";
}

// --- "Channel.nvm" that cannot be restored -------------------------------------------------------

struct NvFileCase {
    const char* name;
    std::function<void(const std::string& path)> make;
    std::string status;  // the status text the restore shows
};

class BadNvFile : public testing::TestWithParam<NvFileCase> {};

TEST_P(BadNvFile, RestoreIsRefusedAndNothingIsWritten) {
    const NvFileCase& k = GetParam();
    Sandbox box;
    const std::string path = VersionFolder(box) + "/Channel.nvm";
    k.make(path);
    const bool bFile = fs::is_regular_file(path);
    const auto size = bFile ? fs::file_size(path) : 0;
    const auto before = bFile && size < 100000 ? Bytes(path) : std::vector<uint8_t>{};
    WriteBytes(VersionFolder(box) + "/_EFS_RF_NV/00020215", std::vector<uint8_t>(600, 0x33));

    GatewaySim sim;
    ASSERT_TRUE(sim.Start()) << sim.LastError();
    const auto nvBefore = sim.Modem().NvItems();
    const auto efsBefore = sim.Modem().EfsFiles();
    RunPlan plan;
    plan.task = Task::Restore;
    const RunResult r = RunTool(box, sim, plan);
    sim.Stop();

    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(CountStamped(r.out, k.status), 1) << r.out;
    EXPECT_EQ(CountStamped(r.out, "Reload NV fail!"), 2) << r.out;
    EXPECT_TRUE(HasLine(r.err, std::string("MESSAGE: ") + CLOSING)) << r.err;
    EXPECT_EQ(r.imageProblem, "");
    // Nothing reached the modem's stores: no NV write, no file system access.
    for (const SimRequest& q : sim.Requests()) {
        if (q.data.empty()) continue;
        EXPECT_NE(q.data[0], 0x27) << "NV write";
        EXPECT_NE(q.data[0], 0x4B) << "EFS access";
    }
    const auto nvAfter = sim.Modem().NvItems();
    ASSERT_EQ(nvAfter.size(), nvBefore.size());
    for (const auto& [item, v] : nvBefore) {
        ASSERT_TRUE(nvAfter.count(item));
        EXPECT_EQ(nvAfter.at(item).data, v.data) << item;
        EXPECT_EQ(nvAfter.at(item).status, v.status) << item;
    }
    EXPECT_EQ(sim.Modem().EfsFiles(), efsBefore);
    // The file itself stays as it was.
    if (bFile) {
        EXPECT_EQ(fs::file_size(path), size);
        if (!before.empty()) {
            EXPECT_EQ(Bytes(path), before);
        }
    }
}

std::vector<NvFileCase> NvFileCases() {
    const auto good = NvFile({23, 52, 550});
    // The good file with its record `index` (from 0) naming `item`.
    const auto withItem = [good](size_t index, uint16_t item) {
        return [good, index, item](const std::string& p) {
            auto b = good;
            b[index * 136] = static_cast<uint8_t>(item & 0xFF);
            b[index * 136 + 1] = static_cast<uint8_t>(item >> 8);
            WriteBytes(p, b);
        };
    };
    return {
        {"Truncated", [good](const std::string& p) { WriteBytes(p, {good.begin(), good.end() - 5}); },
         "can't open the NV file! (size 403 is not a multiple of 136)"},
        {"OneByte", [](const std::string& p) { WriteBytes(p, {0x17}); },
         "can't open the NV file! (size 1 is not a multiple of 136)"},
        {"OversizedByATail",
         [good](const std::string& p) {
             auto b = good;
             b.insert(b.end(), 7, 0);
             WriteBytes(p, b);
         },
         "can't open the NV file! (size 415 is not a multiple of 136)"},
        {"RecordOfAnRfFileEntry", withItem(1, 20215), "can't open the NV file! (record 2 holds item 20215)"},
        {"RecordOfTheListEnd", withItem(2, 8888), "can't open the NV file! (record 3 holds item 8888)"},
        {"BeyondAnyBackup",
         [](const std::string& p) {
             // A multiple of 136 beyond 64 MiB (sparse: no disk is spent).
             WriteBytes(p, {});
             fs::resize_file(p, 493448ULL * 136);
         },
         "can't open the NV file!"},
        {"FolderInsteadOfFile", [](const std::string& p) { fs::create_directories(p); }, "can't open the NV file!"},
    };
}

INSTANTIATE_TEST_SUITE_P(Restore, BadNvFile, testing::ValuesIn(NvFileCases()),
                         [](const testing::TestParamInfo<NvFileCase>& i) { return std::string(i.param.name); });

// --- The version folder ----------------------------------------------------------------------------

// A file where the version folder should be binds root too: neither image can be written there.
TEST(BadInput, VersionFolderThatIsAFileFailsBothExtractionsAndStartUpGoesOn) {
    Sandbox box;
    const std::string folder = VersionFolder(box);
    const std::vector<uint8_t> bytes = {'n', 'o', 't', ' ', 'a', ' ', 'f', 'o', 'l', 'd', 'e', 'r'};
    WriteBytes(folder, bytes);
    GatewaySim sim;
    ASSERT_TRUE(sim.Start());
    RunPlan plan;
    plan.giveUpAfter = 5.5;
    const RunResult r = RunTool(box, sim, plan);
    sim.Stop();

    EXPECT_EQ(r.status, 3) << r.err;
    // Both failures at start-up, then the Download press is refused and starts nothing.
    EXPECT_EQ(MessagesOf(r.err),
              (std::vector<std::string>{"read root_uImage fail!", "read uboot.img fail!",
                                        "镜像文件未能释放，不能管理：" + folder + "/root_uImage（写入失败）"}))
        << r.err;
    EXPECT_GE(CountStamped(r.out, "连接完成"), 1) << r.out;
    EXPECT_FALSE(sim.Image(CMD_DOWN_BOOT).has_value());
    EXPECT_EQ(Bytes(folder), bytes);
    EXPECT_TRUE(fs::is_regular_file(folder));
}

// An immutable folder (chattr +i) refuses even root.
TEST(BadInput, ImmutableVersionFolderFailsBothExtractions) {
#ifdef _WIN32
    GTEST_SKIP() << "chattr +i is a Linux file attribute";
#endif
    Sandbox box;
    const std::string folder = VersionFolder(box);
    fs::create_directories(folder);
    if (tool_harness::Shell("chattr +i '" + folder + "' 2>&1; echo rc=$?").find("rc=0") == std::string::npos)
        GTEST_SKIP() << "chattr +i is not available on this file system (or not permitted)";
    std::string out, err;
    const int status = RunIdle(box, {}, 2, out, err);
    tool_harness::Shell("chattr -i '" + folder + "'");
    EXPECT_EQ(status, 3);
    EXPECT_EQ(MessagesOf(err), (std::vector<std::string>{"read root_uImage fail!", "read uboot.img fail!"})) << err;
    EXPECT_GE(CountStamped(out, "DisConnect"), 1);
    EXPECT_TRUE(fs::is_empty(folder));
}

// A read-only image left in the folder is not overwritten at start-up (the other one is
// extracted) and cannot be deleted (as on Windows). It is a valid Linux image of another build
// (its kernel alone, without the root file system): Download is refused, saying why, and nothing
// is sent.
TEST(BadInput, StaleReadOnlyRootImageIsNeverSent) {
    Sandbox box;
    const std::string image = box.Version("root_uImage");
    std::vector<uint8_t> old = Bytes(std::string(RK_IMAGE_DIR) + "/root_uImage");
    old.resize(64 + 1251953);
    WriteBytes(image, old);
    fs::permissions(image, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    GatewaySim sim;
    ASSERT_TRUE(sim.Start());
    RunPlan plan;
    plan.giveUpAfter = 5.5;
    const RunResult r = RunTool(box, sim, plan);
    sim.Stop();

    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(MessagesOf(r.err),
              (std::vector<std::string>{"read root_uImage fail!",
                                        "镜像文件未能释放，不能管理：" + image + "（旧文件只读，无法覆盖）"}));
    EXPECT_GE(CountStamped(r.out, "连接完成"), 1) << r.out;
    EXPECT_FALSE(sim.Image(CMD_DOWN_BOOT).has_value());
    EXPECT_FALSE(sim.Image(CMD_DOWN_LINUX).has_value());
    EXPECT_EQ(Bytes(image), old);
    EXPECT_FALSE(fs::exists(box.Version("uboot.img")));
}

// --- The machine root ------------------------------------------------------------------------------

TEST(BadInput, MachineRootThatCannotBeCreatedEndsAtOnce) {
    Sandbox box;
    const std::string blocker = box.base + "/blocker";
    WriteBytes(blocker, {'x'});
    auto args = tool_harness::BaseArgs(box);
    // --root under a regular file: neither the root nor its system directory can be made.
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--root") args[i + 1] = blocker + "/C";
    args.insert(args.end(), {"--give-up-after", "20"});
    Child c = tool_harness::Spawn(box, args, "noroot");
    EXPECT_EQ(tool_harness::Wait(c, 30000), 0);
    EXPECT_EQ(ReadText(c.err), "MESSAGE: source file path error!\n");
    EXPECT_EQ(ReadText(c.out), "");
    EXPECT_EQ(Bytes(blocker), std::vector<uint8_t>{'x'});
}

// --- The link port -----------------------------------------------------------------------------------

TEST(BadInput, LinkPortInUseIsShownAndLogged) {
    // Hold a port on 127.0.0.1; the link server's bind on every interface then fails.
    plat::Socket held = plat::ListenTcp({plat::IPV4_LOOPBACK, 0}, 4);
    ASSERT_TRUE(held.Valid());
    const int port = held.LocalPort();

    Sandbox box;
    GatewaySim sim;
    ASSERT_TRUE(sim.Start());
    RunPlan plan;
    plan.task = Task::None;
    plan.giveUpAfter = 4;
    plan.extra = {"--link-port", std::to_string(port)};
    const RunResult r = RunTool(box, sim, plan);
    sim.Stop();
    held.Close();

    const std::string text = plat::Format("端口%d已被占用，请关闭占用该端口的程序。", port);
    EXPECT_EQ(r.status, 3);
    EXPECT_GE(CountStamped(r.out, text), 1) << r.out;
    EXPECT_EQ(CountStamped(r.out, "连接完成"), 0);
    EXPECT_EQ(sim.Connections(), 0);
    const std::string log = ReadText(box.cwd + "/Logs/Line1.log");
    EXPECT_NE(log.find(text + "\n"), std::string::npos) << log;
}

// --- The WiFi limit ---------------------------------------------------------------------------------

TEST(BadInput, WifiLimitJunkEndsWithThePrompt) {
    const std::string integer = "请键入一个整数。";
    const std::string range = "“请填入一个在1和32之间的整数。”";
    const std::pair<const char*, std::string> cases[] = {
        {"", integer},      {"3 2", integer}, {"0x10", integer}, {"+", integer}, {"1e1", integer},
        {"7.", integer},    {" 33 ", range},  {"-1", range},     {"00", range},  {"+0", integer},
    };
    for (const auto& [text, prompt] : cases) {
        Sandbox box;
        auto args = tool_harness::BaseArgs(box);
        args.insert(args.end(), {"--wifi-max", text, "--give-up-after", "10"});
        Child c = tool_harness::Spawn(box, args, "wifi");
        EXPECT_EQ(tool_harness::Wait(c, 30000), 4) << "[" << text << "]";
        EXPECT_EQ(ReadText(c.err), "MESSAGE: " + prompt + "\n") << "[" << text << "]";
        EXPECT_EQ(ReadText(c.out), "");
        EXPECT_FALSE(fs::exists(box.root + "/Program Files")) << "[" << text << "]";
    }
}

// The limit as typed, blanks and leading zeros included, is what the WiFi form sends.
TEST(BadInput, WifiLimitTextGoesOutAsTyped) {
    Sandbox box;
    GatewaySim sim;
    ASSERT_TRUE(sim.Start());
    RunPlan plan;
    plan.extra = {"--wifi-max", "\t007 "};
    const RunResult r = RunTool(box, sim, plan);
    sim.Stop();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sim.Web().WifiLimits(), std::vector<std::string>{"\t007 "});
}

// --- Paths too long for their record field (259 characters) ---------------------------------------

// A program folder of `length` characters (nested folders of at most 200 characters each).
std::string LongFolder(const Sandbox& box, size_t length) {
    std::string path = box.program;
    while (path.size() < length) {
        const size_t left = length - path.size() - 1;
        path += "/" + std::string(std::min<size_t>(left, 200), 'p');
    }
    fs::create_directories(path);
    std::ofstream(path + "/RecordCSV.sdi", std::ios::binary);
    return path;
}

TEST(BadInput, LoaderPathOneCharacterTooLongIsRefused) {
    // "<folder>/armprg.bin": 259 characters fit, 260 do not.
    for (const size_t folderLength : {248u, 249u}) {
        Sandbox box;
        const std::string folder = LongFolder(box, folderLength);
        ASSERT_EQ(folder.size(), folderLength);
        const std::string loader = folder + "/armprg.bin";
        std::string out, err;
        EXPECT_EQ(RunIdle(box, {"--program-folder", folder}, 2, out, err), 3);
        const auto messages = MessagesOf(err);
        if (loader.size() <= 259) {
            EXPECT_TRUE(messages.empty()) << err;
        } else {
            EXPECT_EQ(messages, std::vector<std::string>{"路径过长：" + loader}) << err;
        }
        EXPECT_GE(CountStamped(out, "DisConnect"), 1) << "start-up did not go on";
    }
}

TEST(BadInput, ImagePathsTooLongAreRefusedAndNothingStarts) {
    // A root long enough that the version folder fits its field but the image paths do not.
    Sandbox box;
    const std::string suffix = "/Program Files/Windows Service/RK880TVersion";
    std::string root = box.base + "/";
    root += std::string(250 - suffix.size() - root.size(), 'r');
    ASSERT_EQ((root + suffix).size(), 250u);
    fs::create_directories(root);
    GatewaySim sim;
    ASSERT_TRUE(sim.Start());
    RunPlan plan;
    plan.giveUpAfter = 5.5;
    box.root = root;  // under the sandbox's base: removed with it
    WriteBytes(WorkRecordPath(box), WorkRecordBytes());
    const RunResult r = RunTool(box, sim, plan);
    sim.Stop();

    EXPECT_EQ(r.status, 3) << r.err;
    const std::string folder = root + suffix;
    EXPECT_EQ(MessagesOf(r.err), (std::vector<std::string>{"路径过长：" + folder + "/root_uImage",
                                                          "路径过长：" + folder + "/uboot.img", "版本路径错误!"}))
        << r.err;
    EXPECT_FALSE(sim.Image(CMD_DOWN_BOOT).has_value());
    EXPECT_EQ(Bytes(root + "/Windows/System32/kdlcsv.ds.dll"), WorkRecordBytes());
    EXPECT_FALSE(fs::exists(folder + "/root_uImage"));
}

// The version folder turns immutable after the images were written: the backup cannot write its
// file and the last good one stays.
TEST(BadInput, BackupIntoAFolderThatRefusesWrites) {
#ifdef _WIN32
    GTEST_SKIP() << "chattr +i is a Linux file attribute";
#endif
    Sandbox box;
    const GoodBackup good = MakeGoodBackup();
    good.Place(box);
    const std::string folder = VersionFolder(box);
    GatewaySim sim;
    ASSERT_TRUE(sim.Start());
    RunPlan plan;
    plan.task = Task::Backup;
    bool bLocked = false;
    plan.during = [&](GatewaySim&, const Child&) {
        if (!tool_harness::WaitFor([&] { return tool_harness::Size(box.Version("uboot.img")) == BOOT_IMAGE_SIZE; }, 20000))
            return;
        bLocked = tool_harness::Shell("chattr +i '" + folder + "' 2>&1; echo rc=$?").find("rc=0") != std::string::npos;
    };
    const RunResult r = RunTool(box, sim, plan);
    sim.Stop();
    tool_harness::Shell("chattr -i '" + folder + "' 2>/dev/null");
    if (!bLocked) GTEST_SKIP() << "chattr +i is not available on this file system (or not permitted)";
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(CountStamped(r.out, "save NV data to Fail( create backup file fail)!"), 1) << r.out;
    EXPECT_TRUE(HasLine(r.err, std::string("MESSAGE: ") + CLOSING)) << r.err;
    EXPECT_EQ(r.imageProblem, "");
    good.Expect(box, "immutable folder");
    EXPECT_FALSE(fs::exists(folder + "/Channel.nvm.tmp"));
    EXPECT_FALSE(fs::exists(folder + "/_EFS_RF_NV.tmp"));
}

}  // namespace
