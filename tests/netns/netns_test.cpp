// The tool on its real defaults in a private virtual network (scripts/netns): the simulator in the
// gateway namespace on 192.168.0.1 with the real ports, the tool in the PC namespace with no
// endpoint option, no --no-arp-flush and no --root (a temporary XDG_DATA_HOME). The PC has no
// default route unless a case gives it a second adapter that carries one.
#include <signal.h>

#include <regex>

#include "sim/gateway_sim.h"
#include "support/private_network.h"
#include "support/tool_harness.h"

namespace {

using namespace tool_harness;
namespace fs = std::filesystem;

constexpr const char* kSuccess = "管理成功。\n点击【确定】按钮退出程序。";
constexpr const char* kConnecting = "建立连接...";
constexpr int kRunLimitMs = 120000;

// One private network with the simulator in its gateway namespace and a sandbox for the tool.
struct NetRun {
    explicit NetRun(const std::string& networkOptions = "") : net(networkOptions) {
        env["XDG_DATA_HOME"] = box.base + "/data";
    }
    ~NetRun() { StopSim(); }

    // The simulator on 192.168.0.1 with `simArgs`; true once it listens.
    bool StartSim(const std::vector<std::string>& simArgs = {}) {
        std::vector<std::string> args = {"--lan", "192.168.0.1"};
        args.insert(args.end(), simArgs.begin(), simArgs.end());
        sim = private_network::Spawn(net, "gw", box, RK_SIM_PATH, args, "sim");
        return sim.pid > 0 && WaitFor([&] { return ReadText(sim.out).find("setting port 3535\n") != std::string::npos; }, 10000);
    }
    std::string StopSim() {
        if (sim.pid > 0) {
            ::kill(sim.pid, SIGTERM);
            Wait(sim, 10000);
            sim.pid = -1;
            simOut = ReadText(sim.out);
        }
        return simOut;
    }
    // The tool headless in the PC namespace on its defaults (time scale 0.05), with `extra`.
    int RunTool(const std::vector<std::string>& extra, const std::string& tag) {
        std::vector<std::string> args = {"--headless", "--time-scale", "0.05"};
        args.insert(args.end(), extra.begin(), extra.end());
        Child c = private_network::Spawn(net, "pc", box, RK_TOOL_PATH, args, tag, env);
        const int status = Wait(c, kRunLimitMs);
        out = ReadText(c.out);
        err = ReadText(c.err);
        return status;
    }
    std::string LineLog() const { return ReadText(box.cwd + "/Logs/Line1.log"); }
    std::string Version(const std::string& name) const {
        return box.base + "/data/rk880t-tool/C/Program Files/Windows Service/RK880TVersion/" + name;
    }

    private_network::Network net;
    Sandbox box;
    std::map<std::string, std::string> env;
    Child sim;
    std::string simOut, out, err;
};

#define RK_NEED_NETWORK(run)                                       \
    RK_NEED_PRIVATE_NETWORK();                                     \
    ASSERT_TRUE((run).net.bUp) << (run).net.error;                 \
    ASSERT_TRUE((run).StartSim()) << ReadText((run).sim.err)

// The history texts with a repeated text counted once: how often a pass repeats is timing.
std::vector<std::string> Collapsed(const std::string& out) {
    std::vector<std::string> texts;
    for (const std::string& t : HistoryTexts(out))
        if (texts.empty() || texts.back() != t) texts.push_back(t);
    return texts;
}

// The same upgrade on loopback: the history the private network's run must equal.
std::vector<std::string> LoopbackUpgradeHistory() {
    Sandbox box;
    GatewaySim sim;
    EXPECT_TRUE(sim.Start()) << sim.LastError();
    auto args = SimArgs(box, sim.WebPort(), sim.SettingPort(), sim.AnnouncePort());
    args.insert(args.end(), {"--press-download", "--give-up-after", "90"});
    Child c = Spawn(box, args, "loopback");
    EXPECT_EQ(Wait(c, kRunLimitMs), 0);
    return Collapsed(ReadText(c.out));
}

// Nothing the adapter and link checks show when all is well.
void ExpectNoHint(const std::string& out, const std::string& log) {
    for (const char* start : {"本机没有网卡", "网卡", "已广播", "广播发送失败"}) {
        for (const std::string& t : HistoryTexts(out)) EXPECT_NE(t.rfind(start, 0), 0u) << t;
        EXPECT_EQ(log.find(start), std::string::npos) << log;
    }
}

void ExpectUpgraded(const NetRun& run, int status) {
    EXPECT_EQ(status, 0) << run.out << run.err;
    EXPECT_NE(run.err.find("MESSAGE: 管理成功。\\n点击【确定】按钮退出程序。\n"), std::string::npos) << run.err;
    // The announcement carries the PC's address on the gateway's subnet and the real link port,
    // the form posts and the setting check reached the gateway's real ports.
    EXPECT_NE(run.simOut.find("link: announcement 1440 bytes type 0x6A port 4536 address 192.168.0.100: connected\n"),
              std::string::npos)
        << run.simOut;
    EXPECT_NE(run.simOut.find("summary: 1 connection(s)"), std::string::npos) << run.simOut;
    EXPECT_TRUE(InOrder(run.simOut, {"web: 1 open, 1 query, 1 wifi request(s)", "wifi limit \"32\""})) << run.simOut;
    EXPECT_NE(run.simOut.find("image 0x01: 9306112 of 9306112 bytes, sha256"), std::string::npos) << run.simOut;
    ExpectNoHint(run.out, run.LineLog());
}

// The upgrade on the defaults, with no default route (the fixed address the start-up dialog
// advises); its history is the loopback run's. --diagnose before it sends nothing.
TEST(PrivateNetwork, UpgradeOnTheDefaultsWithoutADefaultRouteAndTheDiagnosis) {
    NetRun run;
    RK_NEED_NETWORK(run);

    EXPECT_EQ(run.RunTool({"--diagnose"}, "diagnose"), 0) << run.out << run.err;
    EXPECT_EQ(run.out,
              "adapter lo: 127.0.0.1/8, link up (loopback)\n"
              "adapter eth0: 192.168.0.100/24, link up\n"
              "gateway 192.168.0.1: route through eth0, source address 192.168.0.100\n"
              "announcement to 255.255.255.255:3536 would carry 192.168.0.100, port 4536\n"
              "link port TCP 4536: can be bound\n"
              "ready: eth0 leads to the gateway\n");

    const int status = run.RunTool({"--press-download", "--give-up-after", "90"}, "upgrade");
    const std::string history = run.out;
    run.StopSim();
    ExpectUpgraded(run, status);
    // The diagnosis came first and the gateway heard nothing of it: one connection, one factory
    // mode opening, all from the upgrade.
    EXPECT_EQ(run.simOut.find("link: announcement"), run.simOut.find("link: announcement 1440 bytes type 0x6A port 4536 address 192.168.0.100: connected"));
    EXPECT_EQ(Collapsed(history), LoopbackUpgradeHistory()) << history;
}

// A second adapter (WiFi) carries the PC's default route with a better metric: the announcement
// still leaves through the adapter on the gateway's subnet.
TEST(PrivateNetwork, UpgradeWithTheDefaultRouteThroughASecondAdapter) {
    NetRun run("--wan");
    RK_NEED_NETWORK(run);
    const int status = run.RunTool({"--press-download", "--give-up-after", "90"}, "upgrade");
    run.StopSim();
    ExpectUpgraded(run, status);
}

TEST(PrivateNetwork, NvBackupOnTheDefaults) {
    NetRun run;
    RK_NEED_NETWORK(run);
    const int status = run.RunTool({"--mode", "backup-nv", "--press-download", "--give-up-after", "150"}, "backup");
    run.StopSim();
    EXPECT_EQ(status, 0) << run.out << run.err;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("——Backup NV success, total time is \\d+ min \\d+ sec\n"))) << run.out;
    EXPECT_GT(Size(run.Version("Channel.nvm")), 0);
    ExpectNoHint(run.out, run.LineLog());
}

// The web server down: the line stays offline, and no adapter hint (the adapter is fine).
TEST(PrivateNetwork, WebDownKeepsTheLineOfflineWithoutAHint) {
    NetRun run;
    RK_NEED_PRIVATE_NETWORK();
    ASSERT_TRUE(run.net.bUp) << run.net.error;
    ASSERT_TRUE(run.StartSim({"--web-down"}));
    EXPECT_EQ(run.RunTool({"--give-up-after", "4"}, "webdown"), 3) << run.out << run.err;
    run.StopSim();
    for (const std::string& t : HistoryTexts(run.out))
        EXPECT_TRUE(t == "DisConnect" || t == kConnecting || t == "连接失败，请使用浏览器访问 192.168.0.1 检查设备是否启动。") << t;
    EXPECT_NE(run.simOut.find("web: 0 open, 0 query"), std::string::npos) << run.simOut;
    EXPECT_EQ(run.simOut.find("link: announcement"), std::string::npos) << run.simOut;
}

// Web and setting check pass, the gateway never connects: after three announcements the hint
// names the announced address and port, once, in the history and the line log.
TEST(PrivateNetwork, GatewayThatNeverConnectsGetsTheInboundHint) {
    NetRun run;
    RK_NEED_PRIVATE_NETWORK();
    ASSERT_TRUE(run.net.bUp) << run.net.error;
    ASSERT_TRUE(run.StartSim({"--never-connect"}));
    EXPECT_EQ(run.RunTool({"--give-up-after", "6"}, "never"), 3) << run.out << run.err;
    run.StopSim();
    const std::regex hint(
        "已广播[34]次本机地址192\\.168\\.0\\.100\\(端口4536\\)，接入盒仍未连接本机：入站连接可能被防火墙拦截，"
        "请允许本程序接收TCP 4536端口的连接。");
    size_t shown = 0;
    for (const std::string& t : HistoryTexts(run.out)) shown += std::regex_match(t, hint) ? 1 : 0;
    EXPECT_EQ(shown, 1u) << run.out;
    EXPECT_TRUE(std::regex_search(run.LineLog(), hint)) << run.LineLog();
    EXPECT_NE(run.simOut.find("address 192.168.0.100: never connect"), std::string::npos) << run.simOut;
}

// No adapter on the gateway's subnet: the hint lists the adapters before the first post, once;
// --diagnose says not ready (exit 1).
TEST(PrivateNetwork, NoAdapterOnTheSubnetIsNamedBeforeTheFirstPost) {
    NetRun run("--pc-address 10.0.0.100/24");
    RK_NEED_NETWORK(run);
    const std::string hint =
        "本机没有网卡在接入盒192.168.0.1的网段内，本机网卡：eth0 10.0.0.100。请将PC设置为固定IP，例如设置为：192.168.0.100.";
    EXPECT_EQ(run.RunTool({"--diagnose"}, "diagnose"), 1) << run.out << run.err;
    EXPECT_TRUE(InOrder(run.out, {"adapter eth0: 10.0.0.100/24, link up\n", "gateway 192.168.0.1: no route (", hint + "\n",
                                  "not ready: no adapter with a link leads to the gateway's subnet\n"}))
        << run.out;

    EXPECT_EQ(run.RunTool({"--give-up-after", "3"}, "nosubnet"), 3) << run.out << run.err;
    run.StopSim();
    const std::vector<std::string> texts = HistoryTexts(run.out);
    ASSERT_GE(texts.size(), 3u) << run.out;
    EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 3),
              (std::vector<std::string>{"DisConnect", kConnecting, hint}));
    EXPECT_EQ(std::count(texts.begin(), texts.end(), hint), 1) << run.out;
    EXPECT_EQ(Count(run.LineLog(), hint), 1u) << run.LineLog();
}

// ---------------------------------------------------------------------------------------------
// The address the tool sets itself (--set-address): the PC's adapter starts without one.

std::string PcAddresses(const NetRun& run) {
    return Shell("ip -n " + run.net.Namespace("pc") + " -4 addr show; ip -n " + run.net.Namespace("pc") + " route show 2>&1");
}
std::string Journal(const NetRun& run) {
    return ReadText(run.box.base + "/data/rk880t-tool/C/ProgramData/rk880t-tool/pc-address.txt");
}
void ExpectAddressSetAndUpgraded(const NetRun& run, int status, const std::string& address) {
    EXPECT_EQ(status, 0) << run.out << run.err;
    EXPECT_NE(run.err.find("MESSAGE: 管理成功。\\n点击【确定】按钮退出程序。\n"), std::string::npos) << run.err;
    const std::string set = "已为网卡eth0设置临时IP地址" + address + "，程序退出时自动删除。";
    const std::vector<std::string> texts = HistoryTexts(run.out);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), set), 1) << run.out;
    EXPECT_EQ(Count(run.LineLog(), set), 1u) << run.LineLog();
    EXPECT_NE(run.simOut.find("port 4536 address " + address + ": connected\n"), std::string::npos) << run.simOut;
    // The address came before the first post: no hint about it.
    for (const std::string& t : texts) EXPECT_NE(t.rfind("本机没有网卡", 0), 0u) << t;
}

// Two wired adapters with link (eth0 toward the gateway, wlan0 a veth too): without --adapter one
// clear line and no change; --adapter eth0 sets 192.168.0.100, the upgrade passes and the PC is
// as before at exit; with another host answering for .100 the next run takes .101.
TEST(PrivateNetwork, SetAddressOnTheChosenAdapterGivenBackAtExit) {
    NetRun run("--wan --pc-address none");
    RK_NEED_NETWORK(run);
    const std::string before = PcAddresses(run);
    EXPECT_EQ(run.RunTool({"--set-address", "--give-up-after", "3"}, "several"), 3) << run.out << run.err;
    // Adapters with an address are listed first.
    const std::string several = "网卡wlan0、eth0都可连接接入盒，未设置IP地址：请用--adapter指定其中一个。";
    const std::vector<std::string> texts = HistoryTexts(run.out);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), several), 1) << run.out;
    EXPECT_NE(std::find(texts.begin(), texts.end(),
                        "本机没有网卡在接入盒192.168.0.1的网段内，本机网卡：wlan0 10.99.0.2, eth0 (无地址)。请将PC设置为固定IP，例如设置为：192.168.0.100."),
              texts.end()) << run.out;
    EXPECT_EQ(PcAddresses(run), before);

    int status = run.RunTool({"--set-address", "--adapter", "eth0", "--press-download", "--give-up-after", "90"}, "eth0");
    run.StopSim();
    ExpectAddressSetAndUpgraded(run, status, "192.168.0.100");
    EXPECT_EQ(PcAddresses(run), before);
    EXPECT_EQ(Journal(run), "");

    // The gateway's side also answers for 192.168.0.100 (an ARP reply to the probe).
    Shell("ip -n " + run.net.Namespace("gw") + " addr add 192.168.0.100/24 dev eth0");
    ASSERT_TRUE(run.StartSim());
    status = run.RunTool({"--set-address", "--adapter", "eth0", "--press-download", "--give-up-after", "90"}, "taken");
    run.StopSim();
    ExpectAddressSetAndUpgraded(run, status, "192.168.0.101");
    EXPECT_EQ(PcAddresses(run), before);
}

// Killed (SIGKILL) while it holds the address: the next start, a --diagnose, removes it first.
TEST(PrivateNetwork, AddressOfAKilledRunRemovedAtTheNextStart) {
    NetRun run("--pc-address none");
    RK_NEED_NETWORK(run);
    const std::string before = PcAddresses(run);
    Child c = private_network::Spawn(run.net, "pc", run.box, RK_TOOL_PATH,
                                     {"--headless", "--time-scale", "0.05", "--set-address"}, "killed", run.env);
    EXPECT_TRUE(WaitFor([&] { return PcAddresses(run).find("inet 192.168.0.100/24") != std::string::npos; }, 20000));
    ::kill(c.pid, SIGKILL);
    Wait(c, 10000);
    EXPECT_NE(PcAddresses(run).find("inet 192.168.0.100/24"), std::string::npos);
    EXPECT_NE(Journal(run).find("eth0\t192.168.0.100\t"), std::string::npos) << Journal(run);

    EXPECT_EQ(run.RunTool({"--diagnose"}, "diagnose"), 1) << run.out << run.err;
    EXPECT_TRUE(InOrder(run.out, {"adapter eth0: no IPv4 address, link up\n",
                                  "set-address: would set 192.168.0.100/24 on eth0 (the next free one up to .199 when "
                                  "another host answers for it)\nnot ready"}))
        << run.out;
    EXPECT_EQ(PcAddresses(run), before);
    EXPECT_EQ(Journal(run), "");
}

// Without CAP_NET_ADMIN: the hint, the one line saying how to get the right, and no change.
TEST(PrivateNetwork, SetAddressWithoutTheRightSaysHowAndChangesNothing) {
    NetRun run("--pc-address none");
    RK_NEED_NETWORK(run);
    const std::string before = PcAddresses(run);
    Child c = private_network::Spawn(run.net, "pc", run.box, "/usr/bin/setpriv",
                                     {"--inh-caps=-net_admin", "--bounding-set=-net_admin", RK_TOOL_PATH, "--headless",
                                      "--time-scale", "0.05", "--set-address", "--give-up-after", "3"},
                                     "noright", run.env);
    EXPECT_EQ(Wait(c, kRunLimitMs), 3);
    const std::string out = ReadText(c.out);
    EXPECT_TRUE(InOrder(out, {"本机没有网卡在接入盒192.168.0.1的网段内",
                              "没有修改网卡地址的权限(CAP_NET_ADMIN)，未设置IP地址：请以root运行本程序，或执行一次 sudo setcap "
                              "cap_net_admin,cap_net_raw+ep "}))
        << out;
    EXPECT_EQ(PcAddresses(run), before);
    EXPECT_EQ(Journal(run), "");
}

// The gateway's reboot takes the link down for 4 s (and, for the added address, a network manager
// takes the address meanwhile): the upgrade still ends in success, with a fixed address and with
// an added one, which is back afterwards and gone at exit.
TEST(PrivateNetwork, LinkDownDuringTheRebootKeepsTheRun) {
    for (const bool bAdded : {false, true}) {
        SCOPED_TRACE(bAdded ? "added address" : "fixed address");
        NetRun run(bAdded ? "--pc-address none" : "");
        RK_NEED_NETWORK(run);
        // Time scale 0.3: the first look after the reboot comes 6 s after its start, as at full scale
        // (20 s) after the 4 s without link; the simulated gateway refuses the next two.
        std::vector<std::string> args = {"--headless", "--time-scale", "0.3", "--press-download", "--give-up-after", "200"};
        if (bAdded) args.push_back("--set-address");
        Child c = private_network::Spawn(run.net, "pc", run.box, RK_TOOL_PATH, args, "reboot", run.env);
        ASSERT_TRUE(WaitFor([&] { return ReadText(c.out).find("接入盒正在重启!") != std::string::npos; }, 90000)) << ReadText(c.out);
        const std::string gw = "ip -n " + run.net.Namespace("gw") + " link set eth0 ";
        Shell(gw + "down");
        if (bAdded) Shell("ip -n " + run.net.Namespace("pc") + " addr del 192.168.0.100/24 dev eth0");
        ::usleep(4000 * 1000);
        Shell(gw + "up");
        EXPECT_EQ(Wait(c, kRunLimitMs), 0) << ReadText(c.out);
        EXPECT_NE(ReadText(c.err).find("MESSAGE: 管理成功。\\n点击【确定】按钮退出程序。\n"), std::string::npos) << ReadText(c.err);
        EXPECT_EQ(PcAddresses(run).find("inet 192.168.0.100/24") != std::string::npos, !bAdded) << PcAddresses(run);
    }
}

}  // namespace
