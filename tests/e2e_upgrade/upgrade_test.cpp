// The whole CPE upgrade: the built program run headless against a simulated gateway in this
// process, one sandbox and one simulator per run. Success, every failure path with its texts,
// pictures and exit status, the communication error, a gateway that never connects, and the
// version-path mode that must send nothing at all.

#include <algorithm>
#include <atomic>
#include <regex>

#include "sim/gateway_sim.h"
#include "support/sha256_file.h"
#include "support/tool_harness.h"

namespace {

using namespace tool_harness;
namespace fs = std::filesystem;

const std::string kRootImage = std::string(RK_IMAGE_DIR) + "/root_uImage";
const std::string kBootImage = std::string(RK_IMAGE_DIR) + "/uboot.img";

constexpr const char* kSuccess = "管理成功。\n点击【确定】按钮退出程序。";
constexpr const char* kSuccessLine = "管理成功。\\n点击【确定】按钮退出程序。";
constexpr const char* kClosing = "如果再次管理wifi，请关闭工具软件和设备。按照操作说明重新进行升级操作。";
constexpr const char* kCommErrorLine =
    "与设备通信异常，点击【确定】按钮退出程序。\\n请严格按照操作说明重新进行管理操作。";
constexpr const char* kChecking = "正在校验设备信息...";
constexpr const char* kWorking = "正在管理，请稍等...";
constexpr const char* kBootWorking = "正在管理boot，请稍等...";
constexpr const char* kCpeWorking = "正在管理CPE，请稍等...";
constexpr const char* kRebooting = "接入盒正在重启!";
constexpr const char* kWait1 = "接入盒正在重启, 请稍候.";
constexpr const char* kWait2 = "接入盒正在重启, 请稍候..";
constexpr const char* kWait3 = "接入盒正在重启, 请稍候...";

constexpr int kRunLimitMs = 120000;

std::string IniPath(const Sandbox& box) { return box.root + "/Windows/System32/DerorEZ_LTE_RK19S2V1.00.00.ini"; }

// key -> value of an INI file's lines (one section here).
std::map<std::string, std::string> ReadIni(const std::string& path) {
    std::map<std::string, std::string> out;
    for (std::string l : Lines(ReadText(path))) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        const size_t eq = l.find('=');
        if (eq != std::string::npos) out[l.substr(0, eq)] = l.substr(eq + 1);
    }
    return out;
}

// One run of the program against its own simulated gateway.
struct SimRun {
    explicit SimRun(GatewaySimConfig config = {}) : sim(std::move(config)) {}

    // Starts the simulator and the program; `traceCalls` runs it under strace (when it works).
    void Start(std::vector<std::string> extra, const std::string& tag, const std::string& traceCalls = "") {
        ASSERT_TRUE(sim.Start()) << sim.LastError();
        auto args = SimArgs(box, sim.WebPort(), sim.SettingPort(), sim.AnnouncePort());
        args.insert(args.end(), extra.begin(), extra.end());
        traced = !traceCalls.empty() && StraceWorks();
        trace = box.base + "/" + tag + ".trace";
        child = traced ? SpawnTraced(box, traceCalls, trace, args, tag) : Spawn(box, args, tag);
        ASSERT_GT(child.pid, 0);
    }
    void Finish() {
        if (child.pid <= 0) return;  // Start failed (and said why)
        status = Wait(child, kRunLimitMs);
        out = ReadText(child.out);
        err = ReadText(child.err);
    }
    bool OutHas(const std::string& text) const { return ReadText(child.out).find(text) != std::string::npos; }
    bool ErrHas(const std::string& text) const { return ReadText(child.err).find(text) != std::string::npos; }

    Sandbox box;
    GatewaySim sim;
    Child child;
    bool traced = false;
    std::string trace;
    int status = -1;
    std::string out, err;
};

// Every run: its own exit status (an abort would be 134), no "terminate called", and only the four
// kinds of lines on standard error.
void ExpectCleanEnd(const SimRun& run, int status) {
    EXPECT_EQ(run.status, status) << run.err;
    EXPECT_EQ(run.err.find("terminate called"), std::string::npos) << run.err;
    ExpectErrFormat(run.err);
}

// A failed upgrade: the text twice in the history (EndTask shows it twice), the closing message
// last, the progress back to 0, `picture` last, exit 1, the images gone, one more attempt counted.
// The history's last line repeats the text with the total time and the run log's path; the log
// (into `logText`) holds the text with its step time and the outcome.
void ExpectFailedTask(const SimRun& run, const std::string& text, int picture, std::string* logText = nullptr) {
    ExpectCleanEnd(run, 1);
    const std::string note = "，日志：";
    const size_t at = run.out.rfind(note);
    const size_t end = run.out.size() - std::string("）\n").size();
    if (at == std::string::npos || run.out.compare(end, std::string::npos, "）\n") != 0) {
        ADD_FAILURE() << run.out;
        return;
    }
    EXPECT_NE(run.out.rfind(Stamped(text).substr(0, Stamped(text).size() - 1) + "（用时 "), std::string::npos) << run.out;
    const std::string logPath = run.out.substr(at + note.size(), end - at - note.size());
    EXPECT_EQ(logPath.rfind(run.box.root, 0), 0u) << logPath;
    EXPECT_NE(logPath.find("Logs"), std::string::npos) << logPath;
    EXPECT_EQ(logPath.compare(logPath.size() - 18, 18, "-line1-upgrade.log"), 0) << logPath;
    const std::string log = ReadText(logPath);
    EXPECT_NE(log.find("] " + text + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("outcome: failed"), std::string::npos) << log;
    EXPECT_NE(log.find("exit status of a run from the command line: 1\n"), std::string::npos) << log;
    EXPECT_TRUE(InOrder(run.out, {Stamped(kChecking), Stamped(text), Stamped(text)}));
    EXPECT_EQ(Count(run.out, Stamped(text)), 2u) << run.out;
    EXPECT_EQ(run.out.find(kSuccess), std::string::npos);
    const auto messages = Messages(run.err);
    ASSERT_FALSE(messages.empty()) << run.err;
    EXPECT_EQ(messages.back(), kClosing);
    const auto progress = ProgressValues(run.err);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 0);
    // EndTask shows the failure picture before its closing message; the task sets `picture` after.
    EXPECT_TRUE(InOrder(run.err, {"PICTURE: 0 3\n", std::string("MESSAGE: ") + kClosing + "\n",
                                  "PICTURE: 0 " + std::to_string(picture) + "\n"}));
    const auto pictures = Pictures(run.err);
    ASSERT_FALSE(pictures.empty());
    EXPECT_EQ(pictures.back(), picture);
    EXPECT_FALSE(fs::exists(run.box.Version("root_uImage")));
    EXPECT_FALSE(fs::exists(run.box.Version("uboot.img")));
    if (logText) *logText = log;
}

// The task thread itself (not the close path on the main thread) deleted both images.
void ExpectTaskDeletedImages(const SimRun& run) {
    if (!run.traced) return;  // strace is not usable here: the end state is checked alone
    const auto calls = ReadTrace(run.trace);
    int toolPid = 0;
    for (const TracedCall& c : calls)
        if (c.call.rfind("execve(", 0) == 0 && c.bZero) {
            toolPid = c.tid;
            break;
        }
    ASSERT_NE(toolPid, 0) << ReadText(run.trace);
    for (const char* name : {"root_uImage", "uboot.img"}) {
        const std::string quoted = "\"" + run.box.Version(name) + "\"";
        bool byTask = false;
        for (const TracedCall& c : calls)
            if (c.call.rfind("unlink", 0) == 0 && c.call.find(quoted) != std::string::npos && c.bZero &&
                c.tid != toolPid)
                byTask = true;
        EXPECT_TRUE(byTask) << name << "\n" << ReadText(run.trace);
    }
}

void ExpectOneAttemptNoSuccess(const SimRun& run) {
    const auto ini = ReadIni(IniPath(run.box));
    EXPECT_EQ(ini.count("TotalCounts") ? ini.at("TotalCounts") : "", "1");
    EXPECT_EQ(ini.count("NowTotalCounts") ? ini.at("NowTotalCounts") : "", "1");
    EXPECT_EQ(ini.count("SuccessCounts") ? ini.at("SuccessCounts") : "", "0");
    EXPECT_EQ(ini.count("NowSuccessCounts") ? ini.at("NowSuccessCounts") : "", "0");
}

std::vector<uint8_t> TaskRequestTypes(const GatewaySim& sim) {
    std::vector<uint8_t> out;
    for (uint8_t t : sim.RequestTypes())
        if (t == CMD_DOWN_BOOT || t == CMD_DOWN_LINUX || t == CMD_IMAGES_DONE || t == CMD_UPGRADE_END)
            out.push_back(t);
    return out;
}

// ---------------------------------------------------------------------------------------------

TEST(UpgradeE2E, FullUpgradeSucceedsSendsBothImagesWholeAndCountsOneSuccess) {
    SimRun run;
    // The configuration file names a third version file outside the version and program folders:
    // the upgrade leaves it and says so in the trace.
    const std::string outside = run.box.base + "/third.bin";
    // The tool reads a path on drive C: as one on its stand-in machine root (Windows: the test's
    // temporary folder is on C:), so the file it finds, keeps and names lies there.
    std::string kept = outside;
    if (outside.size() > 2 && (outside[0] == 'C' || outside[0] == 'c') && outside[1] == ':') {
        kept = run.box.root + outside.substr(2);
        std::replace(kept.begin(), kept.end(), '\\', '/');
        fs::create_directories(fs::path(Utf8Path(kept)).parent_path());
    }
    std::ofstream(Utf8Path(kept), std::ios::binary) << "keep";
    std::string cfg(64448, '\0');
    cfg.replace(260, outside.size(), outside);
    std::ofstream(Utf8Path(run.box.program + "/MG_RK880T_PDWA_CN_VEV1.00.00.cfg"), std::ios::binary) << cfg;
    run.Start({"--wifi-max", " 7", "--press-download", "--give-up-after", "90"}, "success");
    // The task deletes the extracted images before the closing requests, while the program still
    // runs (then it sleeps through the reboot pause).
    ASSERT_TRUE(WaitFor([&] { return run.ErrHas("PROGRESS: 0 96\n") || !Alive(run.child); }, kRunLimitMs));
    EXPECT_TRUE(Alive(run.child));
    EXPECT_FALSE(fs::exists(run.box.Version("root_uImage")));
    EXPECT_FALSE(fs::exists(run.box.Version("uboot.img")));
    run.Finish();
    ExpectCleanEnd(run, 0);

    EXPECT_TRUE(InOrder(run.out, {Stamped("DisConnect"), Stamped("建立连接..."), "查询设备成功\n",
                                  Stamped("连接完成"), Stamped(kChecking), Stamped(kWorking),
                                  Stamped(kBootWorking), Stamped(kCpeWorking), Stamped(kRebooting),
                                  Stamped(kWait1), Stamped(kWait2), Stamped(kWait3), Stamped(kSuccess)}));
    // The history ends with the success text (its own line break kept) and the total time.
    EXPECT_TRUE(std::regex_search(run.out, std::regex("——管理成功。\n点击【确定】按钮退出程序。（用时 \\d+秒）\n$")))
        << run.out;

    std::vector<int> expected;
    for (int p = 0; p <= 89; ++p) expected.push_back(p);
    for (int p : {91, 92, 93, 94, 96, 97, 100}) expected.push_back(p);
    EXPECT_EQ(ProgressValues(run.err), expected);
    EXPECT_EQ(Messages(run.err), std::vector<std::string>{kSuccessLine});
    const auto pictures = Pictures(run.err);
    ASSERT_GE(pictures.size(), 3u);
    EXPECT_EQ(std::vector<int>(pictures.end() - 3, pictures.end()), (std::vector<int>{0, 1, 2}));

    // Both images whole, as embedded; the requests of the task in order; the WiFi limit as typed.
    const auto boot = run.sim.Image(CMD_DOWN_BOOT);
    const auto root = run.sim.Image(CMD_DOWN_LINUX);
    ASSERT_TRUE(boot.has_value());
    ASSERT_TRUE(root.has_value());
    EXPECT_TRUE(boot->bComplete);
    EXPECT_TRUE(root->bComplete);
    EXPECT_EQ(boot->announced, static_cast<uint64_t>(fs::file_size(kBootImage)));
    EXPECT_EQ(root->announced, static_cast<uint64_t>(fs::file_size(kRootImage)));
    EXPECT_EQ(boot->sha256, Sha256Of(kBootImage));
    EXPECT_EQ(root->sha256, Sha256Of(kRootImage));
    EXPECT_EQ(boot->transfers, 1);
    EXPECT_EQ(root->transfers, 1);
    EXPECT_EQ(TaskRequestTypes(run.sim),
              (std::vector<uint8_t>{CMD_DOWN_BOOT, CMD_DOWN_LINUX, CMD_IMAGES_DONE, CMD_UPGRADE_END}));
    EXPECT_EQ(run.sim.Web().WifiLimits(), std::vector<std::string>{" 7"});
    EXPECT_EQ(run.sim.Web().Counts().refusedConnections, 2);

    EXPECT_FALSE(fs::exists(run.box.Version("root_uImage")));
    EXPECT_FALSE(fs::exists(run.box.Version("uboot.img")));
    EXPECT_EQ(ReadText(kept), "keep");
    EXPECT_NE(run.err.find("TRACE: Not deleted (outside the version and program folders): " + kept + "\n"),
              std::string::npos)
        << run.err;
    const auto ini = ReadIni(IniPath(run.box));
    EXPECT_EQ(ini.count("TotalCounts") ? ini.at("TotalCounts") : "", "1");
    EXPECT_EQ(ini.count("SuccessCounts") ? ini.at("SuccessCounts") : "", "1");
    EXPECT_EQ(ini.count("NowTotalCounts") ? ini.at("NowTotalCounts") : "", "1");
    EXPECT_EQ(ini.count("NowSuccessCounts") ? ini.at("NowSuccessCounts") : "", "1");
}

TEST(UpgradeE2E, VersionTagMissingFailsBeforeAnyTransferAndCountsOneAttempt) {
    GatewaySimConfig config;
    config.knobs.modemVersion = "PD_WA_RK990T_V1.0.0";
    SimRun run(config);
    // Counts kept from earlier runs: the failure adds one attempt to both totals, nothing else.
    fs::create_directories(run.box.root + "/Windows/System32");
    {
        std::ofstream ini(IniPath(run.box), std::ios::binary);
        ini << "[CountsInfo]\r\nSuccessCounts=3\r\nTotalCounts=5\r\nNowSuccessCounts=1\r\nNowTotalCounts=2\r\n"
               "ClearTime=0\r\n";
    }
    run.Start({"--press-download", "--give-up-after", "60"}, "version");
    run.Finish();
    ExpectFailedTask(run, "版本校验失败!", 4);
    EXPECT_EQ(Messages(run.err), (std::vector<std::string>{"版本校验失败!", kClosing}));
    EXPECT_EQ(run.out.find(kWorking), std::string::npos);
    EXPECT_TRUE(TaskRequestTypes(run.sim).empty());
    EXPECT_FALSE(run.sim.Image(CMD_DOWN_BOOT).has_value());

    const auto ini = ReadIni(IniPath(run.box));
    EXPECT_EQ(ini.at("TotalCounts"), "6");
    EXPECT_EQ(ini.at("NowTotalCounts"), "3");
    EXPECT_EQ(ini.at("SuccessCounts"), "3");
    EXPECT_EQ(ini.at("NowSuccessCounts"), "1");
}

TEST(UpgradeE2E, EmptyModemVersionFailsTheVersionCheck) {
    // The data query is never answered: the line still gets ready through the text query.
    GatewaySimConfig config;
    config.knobs.silentTypes = {CMD_GET_DATA};
    SimRun run(config);
    run.Start({"--press-download", "--give-up-after", "60"}, "no-version");
    run.Finish();
    ExpectFailedTask(run, "版本校验失败!", 4);
    EXPECT_EQ(Messages(run.err), (std::vector<std::string>{"版本校验失败!", kClosing}));
    EXPECT_TRUE(TaskRequestTypes(run.sim).empty());
    ExpectOneAttemptNoSuccess(run);
}

TEST(UpgradeE2E, SigtermDuringAStalledTransferEndsThroughTheClosePath) {
#ifdef _WIN32
    GTEST_SKIP() << "no SIGTERM on Windows (console events need a shared console)";
#else
    // The gateway stops reading part way through the Linux image: the tool's sends block.
    GatewaySimConfig config;
    config.knobs.stopReadingAfterImageBytes = 3000000;
    config.knobs.stopReadingImageType = CMD_DOWN_LINUX;
    SimRun run(config);
    run.Start({"--press-download", "--give-up-after", "60"}, "term");
    ASSERT_TRUE(WaitFor([&] { return run.ErrHas("PROGRESS: 0 30\n") || !Alive(run.child); }, kRunLimitMs));
    ASSERT_TRUE(Alive(run.child));
    ::kill(run.child.pid, SIGTERM);
    run.Finish();
    ExpectCleanEnd(run, 143);
    EXPECT_EQ(run.out.find(kSuccess), std::string::npos);
    EXPECT_EQ(run.out.find("管理CPE失败!"), std::string::npos);
    EXPECT_TRUE(Messages(run.err).empty()) << run.err;
    EXPECT_FALSE(fs::exists(run.box.Version("root_uImage")));
    EXPECT_FALSE(fs::exists(run.box.Version("uboot.img")));
    const auto root = run.sim.Image(CMD_DOWN_LINUX);
    ASSERT_TRUE(root.has_value());
    EXPECT_FALSE(root->bComplete);
    EXPECT_EQ(run.sim.UpgradeEnds(), 0);
#endif
}

TEST(UpgradeE2E, SigtermBeforeTheBootImageSendsNoImage) {
#ifdef _WIN32
    GTEST_SKIP() << "no SIGTERM on Windows (console events need a shared console)";
#else
    SimRun run;
    // A longer pause before the boot image (5000 ms at 0.2: 1 s) to land the signal in.
    run.Start({"--press-download", "--give-up-after", "60", "--time-scale", "0.2"}, "term-early");
    ASSERT_TRUE(WaitFor([&] { return run.OutHas(Stamped(kBootWorking)) || !Alive(run.child); }, kRunLimitMs));
    ASSERT_TRUE(Alive(run.child));
    ::kill(run.child.pid, SIGTERM);
    run.Finish();
    ExpectCleanEnd(run, 143);
    // The program was told to end before the transfer began: no image leaves for the gateway.
    EXPECT_FALSE(run.sim.Image(CMD_DOWN_BOOT).has_value());
    EXPECT_TRUE(TaskRequestTypes(run.sim).empty());
    EXPECT_EQ(ProgressValues(run.err), std::vector<int>{0});
    EXPECT_FALSE(fs::exists(run.box.Version("root_uImage")));
    EXPECT_FALSE(fs::exists(run.box.Version("uboot.img")));
#endif
}

TEST(UpgradeE2E, BootTransferCutFailsAndTheTaskDeletesTheImages) {
    GatewaySimConfig config;
    config.knobs.disconnectAfterImageBytes = 150000;
    config.knobs.disconnectImageType = CMD_DOWN_BOOT;
    SimRun run(config);
    run.Start({"--press-download", "--give-up-after", "60"}, "boot", "execve,unlink,unlinkat");
    run.Finish();
    ExpectFailedTask(run, "管理BOOT 失败!", 4);
    ExpectTaskDeletedImages(run);
    EXPECT_TRUE(InOrder(run.out, {Stamped(kWorking), Stamped(kBootWorking), Stamped("管理BOOT 失败!")}));
    EXPECT_EQ(run.out.find(kCpeWorking), std::string::npos);
    EXPECT_EQ(Messages(run.err), std::vector<std::string>{kClosing});
    const auto boot = run.sim.Image(CMD_DOWN_BOOT);
    ASSERT_TRUE(boot.has_value());
    EXPECT_FALSE(boot->bComplete);
    EXPECT_EQ(boot->received, 150000u);
    EXPECT_EQ(TaskRequestTypes(run.sim), std::vector<uint8_t>{CMD_DOWN_BOOT});
    for (int p : ProgressValues(run.err)) EXPECT_LE(p, 9);
    ExpectOneAttemptNoSuccess(run);
}

TEST(UpgradeE2E, LinuxTransferCutFailsAfterAWholeBootImage) {
    GatewaySimConfig config;
    config.knobs.disconnectAfterImageBytes = 4000000;
    config.knobs.disconnectImageType = CMD_DOWN_LINUX;
    SimRun run(config);
    run.Start({"--press-download", "--give-up-after", "60"}, "linux", "execve,unlink,unlinkat");
    run.Finish();
    std::string log;
    ExpectFailedTask(run, "管理CPE失败!", 4, &log);
    // The log names the versions before the task and times each step.
    EXPECT_NE(log.find("\nmodem version: PD_WA_RK880T_V1.0.0\nCPE version: RK19T_V1.0.0\n"), std::string::npos) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("\\[\\+\\d+\\.\\d{3} s\\] 正在管理CPE，请稍等")) ) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("\\[\\+\\d+\\.\\d{3} s\\] 管理CPE失败!\n"))) << log;
    ExpectTaskDeletedImages(run);
    EXPECT_TRUE(InOrder(run.out, {Stamped(kBootWorking), Stamped(kCpeWorking), Stamped("管理CPE失败!")}));
    EXPECT_EQ(Messages(run.err), std::vector<std::string>{kClosing});
    const auto boot = run.sim.Image(CMD_DOWN_BOOT);
    ASSERT_TRUE(boot.has_value());
    EXPECT_TRUE(boot->bComplete);
    EXPECT_EQ(boot->sha256, Sha256Of(kBootImage));
    const auto root = run.sim.Image(CMD_DOWN_LINUX);
    ASSERT_TRUE(root.has_value());
    EXPECT_FALSE(root->bComplete);
    EXPECT_EQ(root->received, 4000000u);
    EXPECT_EQ(TaskRequestTypes(run.sim), (std::vector<uint8_t>{CMD_DOWN_BOOT, CMD_DOWN_LINUX}));
    const auto progress = ProgressValues(run.err);
    EXPECT_NE(std::find(progress.begin(), progress.end(), 10), progress.end());
    for (int p : progress) EXPECT_LE(p, 89);
    ExpectOneAttemptNoSuccess(run);
}

TEST(UpgradeE2E, GatewayHangingUpAfterImagesDoneFailsTheUpgradeEnd) {
    GatewaySimConfig config;
    config.knobs.hangUpAfterTypes = {CMD_IMAGES_DONE};
    SimRun run(config);
    run.Start({"--press-download", "--give-up-after", "60"}, "upgrade-end");
    run.Finish();
    ExpectFailedTask(run, "Reboot CPE fail!", 3);
    EXPECT_EQ(Messages(run.err), std::vector<std::string>{kClosing});
    EXPECT_EQ(run.out.find(kRebooting), std::string::npos);
    const auto progress = ProgressValues(run.err);
    EXPECT_TRUE(InOrder(run.err, {"PROGRESS: 0 89\n", "PROGRESS: 0 91\n", "PROGRESS: 0 92\n", "PROGRESS: 0 93\n",
                                  "PROGRESS: 0 0\n"}));
    for (int p : progress) EXPECT_LE(p, 93);
    ASSERT_TRUE(run.sim.Image(CMD_DOWN_LINUX).has_value());
    EXPECT_TRUE(run.sim.Image(CMD_DOWN_LINUX)->bComplete);
    EXPECT_EQ(run.sim.UpgradeEnds(), 0);
    EXPECT_TRUE(run.sim.Web().WifiLimits().empty());
    ExpectOneAttemptNoSuccess(run);
}

TEST(UpgradeE2E, GatewayHangingUpAfterTheLinuxImageFailsTheImagesDone) {
    GatewaySimConfig config;
    config.knobs.hangUpAfterTypes = {CMD_DOWN_LINUX};
    SimRun run(config);
    run.Start({"--press-download", "--give-up-after", "60"}, "images-done");
    run.Finish();
    ExpectFailedTask(run, "Light fail!", 3);
    EXPECT_EQ(Messages(run.err), std::vector<std::string>{kClosing});
    EXPECT_TRUE(InOrder(run.err, {"PROGRESS: 0 89\n", "PROGRESS: 0 91\n", "PROGRESS: 0 92\n", "PROGRESS: 0 0\n"}));
    for (int p : ProgressValues(run.err)) EXPECT_LE(p, 92);
    ASSERT_TRUE(run.sim.Image(CMD_DOWN_LINUX).has_value());
    EXPECT_TRUE(run.sim.Image(CMD_DOWN_LINUX)->bComplete);
    EXPECT_EQ(TaskRequestTypes(run.sim), (std::vector<uint8_t>{CMD_DOWN_BOOT, CMD_DOWN_LINUX}));
    ExpectOneAttemptNoSuccess(run);
}

TEST(UpgradeE2E, BoxNotBackAfterThreeProbesFails) {
    GatewaySimConfig config;
    config.webKnobs.rebootRefusals = 3;
    SimRun run(config);
    run.Start({"--press-download", "--give-up-after", "60"}, "reboot");
    run.Finish();
    ExpectFailedTask(run, "接入盒重启失败!", 3);
    EXPECT_EQ(Messages(run.err), std::vector<std::string>{kClosing});
    EXPECT_TRUE(InOrder(run.out, {Stamped(kRebooting), Stamped(kWait1), Stamped(kWait2), Stamped(kWait3),
                                  Stamped("接入盒重启失败!")}));
    EXPECT_TRUE(InOrder(run.err, {"PROGRESS: 0 94\n", "PROGRESS: 0 96\n", "PROGRESS: 0 97\n", "PROGRESS: 0 0\n"}));
    EXPECT_EQ(run.sim.UpgradeEnds(), 1);
    EXPECT_EQ(run.sim.Web().Counts().refusedConnections, 3);
    EXPECT_TRUE(run.sim.Web().WifiLimits().empty());
    ExpectOneAttemptNoSuccess(run);
}

TEST(UpgradeE2E, ReadyGatewayFallingSilentGivesTheCommunicationError) {
    SimRun run;
    run.Start({"--give-up-after", "60"}, "silent");
    ASSERT_TRUE(WaitFor([&] { return run.OutHas(Stamped("连接完成")) || !Alive(run.child); }, kRunLimitMs));
    ASSERT_TRUE(Alive(run.child));
    const size_t before = run.sim.Requests().size();
    run.sim.UpdateKnobs([](SimKnobs& k) { k.silentTypes = {CMD_GET_TEXT, CMD_GET_DATA}; });
    run.Finish();
    ExpectCleanEnd(run, 2);
    EXPECT_EQ(Messages(run.err), std::vector<std::string>{kCommErrorLine});
    EXPECT_EQ(run.out.find(kChecking), std::string::npos);
    // Ten text queries in a row went unanswered before the message.
    const auto requests = run.sim.Requests();
    size_t texts = 0;
    for (size_t i = before; i < requests.size(); ++i) texts += requests[i].type == CMD_GET_TEXT;
    EXPECT_GE(texts, 10u);
    const auto ini = ReadIni(IniPath(run.box));
    EXPECT_TRUE(!ini.count("TotalCounts") || ini.at("TotalCounts") == "0");
}

TEST(UpgradeE2E, GatewayThatNeverConnectsKeepsTheLineOfflineUntilGiveUp) {
    GatewaySimConfig config;
    config.knobs.bNeverConnect = true;
    SimRun run(config);
    run.Start({"--press-download", "--give-up-after", "3"}, "never");
    run.Finish();
    ExpectCleanEnd(run, 3);
    EXPECT_GE(Count(run.out, Stamped("建立连接...")), 3u) << run.out;
    EXPECT_EQ(run.out.find("连接完成"), std::string::npos);
    EXPECT_EQ(run.out.find(kChecking), std::string::npos);
    EXPECT_TRUE(Messages(run.err).empty()) << run.err;
    for (int kind : Pictures(run.err)) EXPECT_EQ(kind, 4);
    EXPECT_GE(run.sim.Web().Counts().openRequests, 1);
    EXPECT_EQ(run.sim.Connections(), 0);
    const auto announcements = run.sim.Announcements();
    ASSERT_FALSE(announcements.empty());
    for (const auto& a : announcements) EXPECT_EQ(a.note, "never connect");
    EXPECT_FALSE(fs::exists(IniPath(run.box)) && ReadIni(IniPath(run.box))["TotalCounts"] != "0");
}

// Loopback listeners that record whatever reaches them: two TCP ports and one UDP port.
class RecordingListeners {
public:
    RecordingListeners() {
        for (int i = 0; i < 3; ++i) {
            const plat::SocketAddress any{plat::IPV4_LOOPBACK, 0};
            m_socks[i] = i == 2 ? plat::BindUdp(any) : plat::ListenTcp(any, 8);
            m_ports[i] = m_socks[i].LocalPort();
        }
        m_thread = std::thread([this] {
            while (!m_bStop) {
                plat::WaitItem items[3];
                for (int i = 0; i < 3; ++i) items[i] = {m_socks[i].Native(), plat::SOCKET_READABLE, 0};
                if (plat::WaitAny(items, 20) <= 0) continue;
                for (int i = 0; i < 3; ++i) {
                    if (!(items[i].ready & plat::SOCKET_READABLE)) continue;
                    if (i == 2) {
                        char buf[2048];
                        m_socks[i].ReceiveFrom(buf, sizeof buf, nullptr, plat::IoMode::NoWait);
                    } else {
                        m_socks[i].Accept();  // closed at once
                    }
                    ++m_nHits;
                }
            }
        });
    }
    ~RecordingListeners() {
        m_bStop = true;
        m_thread.join();
    }
    int Port(int i) const { return m_ports[i]; }
    int Hits() const { return m_nHits; }

private:
    plat::Socket m_socks[3];
    int m_ports[3] = {0, 0, 0};
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nHits{0};
    std::thread m_thread;
};

TEST(UpgradeE2E, VersionPathModeShowsItsTextAndSendsNothing) {
    Sandbox box;
    RecordingListeners listeners;
    const std::vector<std::string> args = {
        "--headless", "--root", box.root, "--program-folder", box.program, "--gateway", "2.2.2.2",
        "--no-arp-flush", "--web-port", std::to_string(listeners.Port(0)), "--setting-port",
        std::to_string(listeners.Port(1)), "--link-port", "0", "--announce-to",
        "127.0.0.1:" + std::to_string(listeners.Port(2)), "--announce-address", "127.0.0.1", "--time-scale",
        "0.05", "--press-download", "--give-up-after", "2"};
    const bool bTraced = StraceWorks();
    const std::string trace = box.base + "/version-path.trace";
    Child c = bTraced ? SpawnTraced(box, "execve,connect,sendto,sendmsg", trace, args, "version-path")
                      : Spawn(box, args, "version-path");
    ASSERT_GT(c.pid, 0);
    const int status = Wait(c, kRunLimitMs);
    const std::string out = ReadText(c.out);
    const std::string err = ReadText(c.err);
    EXPECT_EQ(status, 3) << err;
    EXPECT_EQ(err.find("terminate called"), std::string::npos) << err;
    ExpectErrFormat(err);

    EXPECT_TRUE(InOrder(out, {Stamped("DisConnect"), Stamped("请选择版本文件路径")}));
    EXPECT_EQ(Count(out, "——"), 2u) << out;  // nothing after the watcher's end
    EXPECT_EQ(out.find("建立连接..."), std::string::npos);
    EXPECT_TRUE(Messages(err).empty()) << err;
    EXPECT_EQ(err.find("Tools Send"), std::string::npos) << err;
    for (int kind : Pictures(err)) EXPECT_EQ(kind, 4);
    EXPECT_EQ(listeners.Hits(), 0);
    if (bTraced) {
        // No network connection and no datagram at all, to 2.2.2.2 least of all.
        const auto calls = ReadTrace(trace);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front().call.rfind("execve(\"" + std::string(RK_TOOL_PATH) + "\"", 0), 0u) << calls.front().call;
        for (const TracedCall& call : calls) {
            if (call.call.rfind("execve(", 0) == 0) continue;
            EXPECT_EQ(call.call.find("AF_INET"), std::string::npos) << call.call;
            EXPECT_EQ(call.call.find("2.2.2.2"), std::string::npos) << call.call;
        }
    }
}

}  // namespace
