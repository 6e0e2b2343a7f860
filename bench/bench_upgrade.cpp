// The whole headless upgrade, at time scale 1, against the simulated gateway in this process:
//  - the wall time from the start of the program to its exit, beside the sum of the fixed pauses
//    the sequence prescribes (start to Download pressed, and Download to the exit), and the
//    overhead beyond them (goal: under 5 percent);
//  - the program's CPU use while it sits ready, over 10 s after its first keep-alive pass showed
//    "连接完成" (goal: under 1 percent of one core);
//  - its peak resident memory without the window (goal: under 64 MiB).
// About 80 s in all. Prints figures only.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_report.h"
#include "platform/clock.h"
#include "sim/gateway_sim.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// The fixed pauses of one run, in ms, as the sequence prescribes them at time scale 1.
// Start to Download pressed: "建立连接..." 2000, after the factory-mode switch 1000, after the
// setting check: the link server's start 1000, then 1000, 300, and 100 after the ARP flush. The
// server's first announcement leaves 5000 after its start, so the first channel open (2400 after
// the start) finds no gateway: "建立连接..." and 3000; the next pass connects ("连接完成") and
// sleeps 3000; the keep-alive pass after it (500 after the data query, 1000 after the text query)
// enables Download, which --press-download presses at once.
constexpr double kReadyPausesMs = 2000 + 1000 + 1000 + 1000 + 300 + 100 + 3000 + 3000 + 500 + 1000;
// Download to the end: boot image 5000 + 100, Linux image 5000 + 300, 1000 before the closing
// requests, the 20000 reboot pause, and 2 x 10000 between the probes (the simulated gateway
// refuses the first two probes while it reboots).
constexpr double kTaskPausesMs = 5000 + 100 + 5000 + 300 + 1000 + 20000 + 2 * 10000;

double NowMs() { return static_cast<double>(plat::TickMs()); }

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Sandbox {
    Sandbox() {
        char tmpl[] = "/tmp/rk-bench-XXXXXX";
        base = ::mkdtemp(tmpl);
        for (const char* d : {"/run", "/cwd", "/program"}) fs::create_directories(base + d);
        fs::permissions(base + "/run", fs::perms::owner_all, fs::perm_options::replace);
        std::ofstream(base + "/program/RecordCSV.sdi", std::ios::binary);
    }
    ~Sandbox() {
        std::error_code ec;
        fs::remove_all(base, ec);
    }
    std::string base;
};

struct Child {
    pid_t pid = -1;
    std::string out;
};

Child Spawn(const Sandbox& box, const GatewaySim& sim, bool bPress, const std::string& tag) {
    Child c;
    c.out = box.base + "/" + tag + ".out";
    const std::string err = box.base + "/" + tag + ".err";
    std::vector<std::string> args = {RK_TOOL_PATH, "--headless", "--root", box.base + "/root", "--program-folder",
                                     box.base + "/program", "--gateway", "127.0.0.1", "--no-arp-flush",
                                     "--web-port", std::to_string(sim.WebPort()), "--setting-port",
                                     std::to_string(sim.SettingPort()), "--link-port", "0", "--announce-to",
                                     "127.0.0.1:" + std::to_string(sim.AnnouncePort()), "--announce-address",
                                     "127.0.0.1", "--time-scale", "1", "--give-up-after", "300"};
    if (bPress) args.push_back("--press-download");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        if (kv.rfind("XDG_RUNTIME_DIR=", 0) == 0 || kv.rfind("LANG=", 0) == 0 || kv.rfind("LC_ALL=", 0) == 0 ||
            kv.rfind("LC_MESSAGES=", 0) == 0)
            continue;
        env.push_back(kv);
    }
    env.push_back("XDG_RUNTIME_DIR=" + box.base + "/run");
    env.push_back("LANG=zh_CN.UTF-8");
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string cwd = box.base + "/cwd";
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    if (posix_spawn(&c.pid, RK_TOOL_PATH, &actions, nullptr, argv.data(), envp.data()) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return c;
}

// CPU ticks (user + system) of a process so far.
long CpuTicks(pid_t pid) {
    const std::string s = ReadText("/proc/" + std::to_string(pid) + "/stat");
    const size_t p = s.rfind(')');
    if (p == std::string::npos) return -1;
    std::istringstream in(s.substr(p + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; in >> field; ++i) {
        if (i == 14) utime = std::atol(field.c_str());
        if (i == 15) {
            stime = std::atol(field.c_str());
            break;
        }
    }
    return utime + stime;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// Waits (polling every 5 ms, at most `limitMs`) until `text` stands `times` times in the child's
// standard output, or it has ended; the time it was seen, or -1.
double WaitForOutput(const Child& c, const std::string& text, double limitMs, size_t times = 1) {
    const double end = NowMs() + limitMs;
    while (NowMs() < end) {
        if (Count(ReadText(c.out), text) >= times) return NowMs();
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(c.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

// Reaps the child (at most `limitMs`, then kills it): its exit status (-1 when killed), the time
// it ended and its peak resident memory in MiB.
int Reap(const Child& c, double limitMs, double& endMs, double& peakMiB) {
    const double end = NowMs() + limitMs;
    for (;;) {
        int status = 0;
        rusage ru{};
        const pid_t r = ::wait4(c.pid, &status, WNOHANG, &ru);
        if (r == c.pid) {
            endMs = NowMs();
            peakMiB = static_cast<double>(ru.ru_maxrss) / 1024.0;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (NowMs() > end) {
            ::kill(c.pid, SIGKILL);
            ::wait4(c.pid, &status, 0, &ru);
            endMs = NowMs();
            peakMiB = static_cast<double>(ru.ru_maxrss) / 1024.0;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

int main() {
    // 1. The whole upgrade.
    {
        Sandbox box;
        GatewaySim sim;
        if (!sim.Start()) {
            std::fprintf(stderr, "the simulated gateway did not start: %s\n", sim.LastError().c_str());
            return 1;
        }
        const double start = NowMs();
        const Child c = Spawn(box, sim, true, "upgrade");
        if (c.pid <= 0) return 1;
        const double pressed = WaitForOutput(c, "——正在校验设备信息...", 120000);
        double end = 0, peak = 0;
        const int status = Reap(c, 240000, end, peak);
        if (status != 0 || pressed < 0) {
            std::fprintf(stderr, "the upgrade did not succeed (exit %d)\n", status);
            bench::Report("upgrade: failed run, exit status", status, "");
        } else {
            const double wall = end - start;
            const double pauses = kReadyPausesMs + kTaskPausesMs;
            bench::Report("upgrade: start to Download pressed, wall time", (pressed - start) / 1000.0, "s");
            bench::Report("upgrade: start to Download pressed, fixed pauses", kReadyPausesMs / 1000.0, "s");
            bench::Report("upgrade: Download to exit, wall time", (end - pressed) / 1000.0, "s");
            bench::Report("upgrade: Download to exit, fixed pauses", kTaskPausesMs / 1000.0, "s");
            bench::Report("upgrade: whole run, wall time", wall / 1000.0, "s");
            bench::Report("upgrade: whole run, fixed pauses", pauses / 1000.0, "s");
            bench::ReportAtMost("upgrade: overhead beyond the fixed pauses", 100.0 * (wall - pauses) / pauses, "%", 5);
            bench::ReportAtMost("upgrade: peak resident memory (headless)", peak, "MiB", 64);
        }
    }

    // 2. Sitting ready: 10 s of keep-alive passes after the first keep-alive pass's "连接完成" (the
    //    second one: the pass that connects shows it first).
    {
        Sandbox box;
        GatewaySim sim;
        if (!sim.Start()) return 1;
        const Child c = Spawn(box, sim, false, "ready");
        if (c.pid <= 0) return 1;
        if (WaitForOutput(c, "——连接完成", 120000, 2) < 0) {
            std::fprintf(stderr, "the line did not become ready\n");
        } else {
            const long before = CpuTicks(c.pid);
            const double t0 = NowMs();
            std::this_thread::sleep_for(std::chrono::seconds(10));
            const long after = CpuTicks(c.pid);
            const double seconds = (NowMs() - t0) / 1000.0;
            const double cpu = static_cast<double>(after - before) / static_cast<double>(::sysconf(_SC_CLK_TCK));
            bench::ReportAtMost("ready line: CPU use, percent of one core", 100.0 * cpu / seconds, "%", 1);
        }
        ::kill(c.pid, SIGTERM);
        double end = 0, peak = 0;
        Reap(c, 30000, end, peak);
        bench::ReportAtMost("ready line: peak resident memory (headless)", peak, "MiB", 64);
    }
    return 0;
}
