// The built program run headless: start-up, the single instance, the exits and the output lines.
// Every run has its own machine root, runtime folder, working folder and program folder.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) out.push_back(line);
    return out;
}

// One sandbox: root, runtime folder, working folder, program folder.
class Sandbox {
public:
    Sandbox() {
        char tmpl[] = "/tmp/rk-e2e-XXXXXX";
        base = ::mkdtemp(tmpl);
        root = base + "/root";
        run = base + "/run";
        cwd = base + "/cwd";
        program = base + "/program";
        for (const auto& d : {run, cwd, program}) fs::create_directories(d);
        // The pristine download record beside the program (empty: an empty record encrypts to an
        // empty file), so the record store starts silently.
        std::ofstream(program + "/RecordCSV.sdi", std::ios::binary);
    }
    ~Sandbox() {
        std::error_code ec;
        fs::remove_all(base, ec);
    }
    std::string Version(const std::string& name) const {
        return root + "/Program Files/Windows Service/RK880TVersion/" + name;
    }
    std::string base, root, run, cwd, program;
};

struct Child {
    pid_t pid = -1;
    std::string out, err;
};

Child Spawn(const Sandbox& box, const std::vector<std::string>& args, const std::string& tag,
            const std::map<std::string, std::string>& env = {}) {
    Child c;
    c.out = box.base + "/" + tag + ".out";
    c.err = box.base + "/" + tag + ".err";
    std::vector<std::string> full = {RK_TOOL_PATH};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        const size_t eq = kv.find('=');
        if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    vars["XDG_RUNTIME_DIR"] = box.run;
    vars.erase("LC_ALL");
    vars.erase("LC_MESSAGES");
    vars["LANG"] = "zh_CN.UTF-8";
    for (const auto& [k, v] : env) vars[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, box.cwd.c_str());
    // The child starts with no signal blocked.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    if (posix_spawn(&c.pid, RK_TOOL_PATH, &actions, &attr, argv.data(), envp.data()) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return c;
}

// The exit status (128 + N after signal N); -1 when it did not end within `limitMs` (then killed).
int Wait(Child& c, int limitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(c.pid, &status, WNOHANG);
        if (r == c.pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -2;
        }
        if (std::chrono::steady_clock::now() > end) {
            ::kill(c.pid, SIGKILL);
            ::waitpid(c.pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool WaitFor(const std::function<bool()>& done, int limitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

long long Size(const std::string& path) {
    std::error_code ec;
    const auto s = fs::file_size(path, ec);
    return ec ? -1 : static_cast<long long>(s);
}

std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

// A port the system picks on 127.0.0.1 (free when this returns).
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// Every endpoint on loopback (no gateway answers there), no ARP flush.
std::vector<std::string> BaseArgs(const Sandbox& box) {
    return {"--headless", "--root", box.root, "--program-folder", box.program, "--gateway", "127.0.0.1",
            "--no-arp-flush", "--web-port", std::to_string(FreePort()), "--setting-port",
            std::to_string(FreePort()), "--link-port", "0", "--announce-to",
            "127.0.0.1:" + std::to_string(FreePort()), "--time-scale", "0.05"};
}

// Every standard-error line is one of the four kinds.
void ExpectErrFormat(const std::string& err) {
    const std::regex line(R"(^(MESSAGE: .*|PROGRESS: [0-7] (100|[1-9]?[0-9])|PICTURE: [0-7] [0-4]|TRACE: .*)$)");
    for (const std::string& l : Lines(err)) EXPECT_TRUE(std::regex_match(l, line)) << l;
}

TEST(Tool, StartUpExtractsTheImagesGivesUpAndDeletesThem) {
    Sandbox box;
    auto args = BaseArgs(box);
    args.insert(args.end(), {"--give-up-after", "5"});
    Child first = Spawn(box, args, "first");
    ASSERT_GT(first.pid, 0);
    ASSERT_TRUE(WaitFor([&] { return Size(box.Version("root_uImage")) == 9306112 && Size(box.Version("uboot.img")) == 312980; },
                        20000));

    const std::string boot = Shell("dumpimage -l '" + box.Version("uboot.img") + "'");
    EXPECT_NE(boot.find("SPI Flash Image"), std::string::npos) << boot;
    EXPECT_NE(boot.find("Data Size:    312916 Bytes"), std::string::npos) << boot;
    const std::string kernel = box.base + "/kernel.img";
    Shell("head -c " + std::to_string(64 + 1251953) + " '" + box.Version("root_uImage") + "' > '" + kernel + "'");
    const std::string root = Shell("dumpimage -l '" + kernel + "'");
    EXPECT_NE(root.find("Linux Kernel Image"), std::string::npos) << root;
    EXPECT_NE(root.find("Data Size:    1251953 Bytes"), std::string::npos) << root;

    // A second copy meanwhile: the message, exit 0, the first undisturbed.
    Child second = Spawn(box, args, "second");
    EXPECT_EQ(Wait(second, 20000), 0);
    EXPECT_EQ(ReadText(second.err), "MESSAGE: 程序已经运行!\n");
    EXPECT_EQ(ReadText(second.out), "");
    EXPECT_EQ(Size(box.Version("uboot.img")), 312980);

    EXPECT_EQ(Wait(first, 30000), 3);
    EXPECT_FALSE(fs::exists(box.Version("root_uImage")));
    EXPECT_FALSE(fs::exists(box.Version("uboot.img")));
    EXPECT_TRUE(fs::is_directory(box.cwd + "/Logs"));
    // Standard output holds status history entries only: stamped ones, and the web commands'
    // texts, which are shown without a stamp.
    const std::regex stamped(R"(^\d{4}\.\d{1,2}\.\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}——.*$)");
    for (const std::string& l : Lines(ReadText(first.out)))
        EXPECT_TRUE(std::regex_match(l, stamped) || l.rfind("连接失败，请使用浏览器访问 ", 0) == 0) << l;
    const std::string err = ReadText(first.err);
    ExpectErrFormat(err);
    EXPECT_EQ(err.rfind("PROGRESS: 0 0\n", 0), 0u) << err;  // the start-up's progress comes first
    EXPECT_EQ(err.find("MESSAGE: "), std::string::npos) << err;
}

TEST(Tool, SigtermEndsThroughTheClosePath) {
    Sandbox box;
    auto args = BaseArgs(box);
    args.insert(args.end(), {"--give-up-after", "60"});
    Child c = Spawn(box, args, "term");
    ASSERT_GT(c.pid, 0);
    ASSERT_TRUE(WaitFor([&] { return Size(box.Version("uboot.img")) == 312980; }, 20000));
    // Let the start-up finish (the images are written before its last steps).
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::kill(c.pid, SIGTERM);
    EXPECT_EQ(Wait(c, 20000), 143);
    EXPECT_FALSE(fs::exists(box.Version("root_uImage")));
    EXPECT_FALSE(fs::exists(box.Version("uboot.img")));
    ExpectErrFormat(ReadText(c.err));
}

TEST(Tool, WifiLimitIsValidatedLikeTheDialog) {
    struct Case {
        const char* text;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"0", 4, "MESSAGE: “请填入一个在1和32之间的整数。”\n"},
        {"33", 4, "MESSAGE: “请填入一个在1和32之间的整数。”\n"},
        {"abc", 4, "MESSAGE: 请键入一个整数。\n"},
        {"-0", 4, "MESSAGE: 请键入一个整数。\n"},
        {" 5", 3, nullptr},
    };
    for (const Case& k : cases) {
        Sandbox box;
        auto args = BaseArgs(box);
        args.insert(args.end(), {"--wifi-max", k.text, "--give-up-after", "1"});
        Child c = Spawn(box, args, "wifi");
        EXPECT_EQ(Wait(c, 30000), k.status) << k.text;
        const std::string err = ReadText(c.err);
        if (k.message) {
            EXPECT_EQ(err, k.message) << k.text;
            EXPECT_FALSE(fs::exists(box.root + "/Program Files")) << k.text;
        } else {
            EXPECT_EQ(err.find("请键入"), std::string::npos) << err;
            EXPECT_EQ(err.find("请填入"), std::string::npos) << err;
        }
        if (k.message) EXPECT_EQ(ReadText(c.out), "");
    }
}

TEST(Tool, BadCommandLineShowsTheUsage) {
    Sandbox box;
    Child c = Spawn(box, {"--headless", "--root", box.root, "--no-such-option"}, "usage");
    EXPECT_EQ(Wait(c, 10000), 2);
    const std::string err = ReadText(c.err);
    EXPECT_NE(err.find("unknown option: --no-such-option"), std::string::npos) << err;
    EXPECT_NE(err.find("usage: rk880t-tool"), std::string::npos) << err;
}

TEST(Tool, ExportAndClearCommandsExitWithTheirResult) {
    Sandbox box;
    // Without the pristine record the export fails (after the record store has asked for it).
    fs::remove(box.program + "/RecordCSV.sdi");
    {
        auto args = BaseArgs(box);
        args.insert(args.end(), {"--export-csv", box.base + "/out.csv"});
        Child c = Spawn(box, args, "csv-fail");
        EXPECT_EQ(Wait(c, 30000), 1);
        EXPECT_FALSE(fs::exists(box.base + "/out.csv"));
        EXPECT_NE(ReadText(c.err).find("MESSAGE: 原始文件查找失败，请指定安装文件夹下'RecordCSV.sdi'文件路径.\n"),
                  std::string::npos);
    }
    { std::ofstream(box.program + "/RecordCSV.sdi", std::ios::binary); }
    {
        auto args = BaseArgs(box);
        args.insert(args.end(), {"--export-csv", box.base + "/out.csv"});
        Child c = Spawn(box, args, "csv");
        EXPECT_EQ(Wait(c, 30000), 0);
        EXPECT_TRUE(fs::exists(box.base + "/out.csv"));
        EXPECT_NE(ReadText(c.err).find("MESSAGE: CSV文件导出成功!\n"), std::string::npos) << ReadText(c.err);
        // The command ran without the link watcher and through the close path.
        EXPECT_FALSE(fs::exists(box.Version("uboot.img")));
    }
    {
        auto args = BaseArgs(box);
        args.insert(args.end(), {"--export-sdi", box.base + "/out.sdi"});
        Child c = Spawn(box, args, "sdi");
        EXPECT_EQ(Wait(c, 30000), 0);
        const std::string err = ReadText(c.err);
        EXPECT_NE(err.find("MESSAGE: 注意：导出SDI文件记录，将会清空使用本平台下载的相关记录！\n"), std::string::npos) << err;
        EXPECT_TRUE(fs::exists(box.base + "/out.sdi"));
    }
    {
        auto args = BaseArgs(box);
        args.insert(args.end(), {"--clear-counts", "--answer", "no"});
        Child c = Spawn(box, args, "clear-no");
        EXPECT_EQ(Wait(c, 30000), 1);
        EXPECT_NE(ReadText(c.err).find("MESSAGE: 确定清零当前计数？\n"), std::string::npos);
    }
    {
        auto args = BaseArgs(box);
        args.insert(args.end(), {"--clear-counts"});
        Child c = Spawn(box, args, "clear");
        EXPECT_EQ(Wait(c, 30000), 0);
        const std::string ini = ReadText(box.root + "/Windows/System32/DerorEZ_LTE_RK19S2V1.00.00.ini");
        EXPECT_NE(ini.find("ClearTime="), std::string::npos) << ini;
    }
}

}  // namespace
