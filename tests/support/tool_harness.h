#pragma once
// Runs the built program (RK_TOOL_PATH) headless in a sandbox of its own: machine root, runtime
// folder (single-instance lock), working folder ("Logs") and program folder. Shared by the
// end-to-end test programs.
//
// Network rule: here, in the host's own namespace, every endpoint is 127.0.0.1 on a port the
// system picks and the ARP flush is off (BaseArgs, SimArgs); never 192.168.x.x, a broadcast
// address, the real ports or the real flush. The tool's real defaults run only inside a private
// network that the test made itself (tests/support/private_network.h, scripts/netns).
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "tests/support/temp_folder.h"

#ifdef _WIN32
#include "platform/wide.h"
#else
extern char** environ;
#endif

namespace tool_harness {
namespace fs = std::filesystem;

// A UTF-8 path as a path of the system (on Windows a narrow path would follow the ANSI code page),
// and back.
inline fs::path Utf8Path(const std::string& path) { return fs::path(std::u8string(path.begin(), path.end())); }
inline std::string Utf8(const fs::path& path) {
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(Utf8Path(path), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::vector<std::string> Lines(const std::string& text) {
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
        base = test_support::MakeTempFolder("rk-e2e-");
        root = base + "/root";
        run = base + "/run";
        cwd = base + "/cwd";
        program = base + "/program";
        for (const auto& d : {run, cwd, program}) fs::create_directories(d);
        // The pristine download record beside the program (empty: an empty record encrypts to an
        // empty file), so the record store starts silently.
        std::ofstream(program + "/RecordCSV.sdi", std::ios::binary);
    }
    // Under Wine a program's output files can stay open a moment after it ended: a few tries.
    ~Sandbox() {
        for (int i = 0; i < 50; ++i) {
            std::error_code ec;
            fs::remove_all(base, ec);
            if (!ec) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    std::string Version(const std::string& name) const {
        return root + "/Program Files/Windows Service/RK880TVersion/" + name;
    }
    std::string base, root, run, cwd, program;
};

#ifdef _WIN32
struct Child {
    int pid = -1;
    HANDLE process = nullptr;
    std::string out, err;
};

// The environment of this process as NAME=value texts.
inline std::vector<std::string> Environment() {
    std::vector<std::string> out;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* e = block; e && *e; e += wcslen(e) + 1)
        if (*e != L'=') out.push_back(plat::Narrow(e));
    FreeEnvironmentStringsW(block);
    return out;
}

inline HANDLE InheritableFile(const std::string& path, bool bWrite) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreateFileW(plat::Widen(path).c_str(), bWrite ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, bWrite ? CREATE_ALWAYS : OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

inline void StartChild(Child& c, const std::vector<std::string>& full, const std::vector<std::string>& env,
                       const std::string& cwd) {
    std::wstring commandLine;
    for (const std::string& a : full) commandLine += (commandLine.empty() ? L"" : L" ") + plat::QuoteArgument(plat::Widen(a));
    std::wstring block;
    for (const std::string& e : env) block += plat::Widen(e) + L'\0';
    block += L'\0';
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = InheritableFile("NUL", false);
    si.hStdOutput = InheritableFile(c.out, true);
    si.hStdError = InheritableFile(c.err, true);
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                       block.data(), plat::Widen(cwd).c_str(), &si, &pi)) {
        CloseHandle(pi.hThread);
        c.process = pi.hProcess;
        c.pid = static_cast<int>(pi.dwProcessId);
    }
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}
#else
struct Child {
    pid_t pid = -1;
    std::string out, err;
};

inline std::vector<std::string> Environment() {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) out.push_back(*e);
    return out;
}

inline void StartChild(Child& c, std::vector<std::string> full, std::vector<std::string> env, const std::string& cwd) {
    std::vector<char*> argv;
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    // The child starts with no signal blocked.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    if (posix_spawn(&c.pid, full[0].c_str(), &actions, &attr, argv.data(), envp.data()) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
}
#endif

// Runs `program` with `args` (argv[0] is the program) in the sandbox: its own runtime folder,
// working folder and output files <base>/<tag>.out and .err; LANG zh_CN.UTF-8 unless `env` says
// otherwise.
inline Child SpawnProgram(const Sandbox& box, const std::string& program, const std::vector<std::string>& args,
                          const std::string& tag, const std::map<std::string, std::string>& env = {}) {
    Child c;
    c.out = box.base + "/" + tag + ".out";
    c.err = box.base + "/" + tag + ".err";
    std::vector<std::string> full = {program};
    full.insert(full.end(), args.begin(), args.end());
    // Slow builds (the thread sanitizer) set RK_TEST_TIME_SCALE: no run goes below that scale, so
    // the scaled time-outs keep their margin over the slowdown.
    if (const char* floorText = std::getenv("RK_TEST_TIME_SCALE")) {
        const double floor = std::atof(floorText);
        for (size_t i = 1; i + 1 < full.size(); ++i)
            if (full[i] == "--time-scale" && std::atof(full[i + 1].c_str()) < floor) full[i + 1] = floorText;
    }
    std::map<std::string, std::string> vars;
    for (const std::string& kv : Environment()) {
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
    StartChild(c, full, envStrings, box.cwd);
    return c;
}

// Runs the built program (RK_TOOL_PATH) in the sandbox.
inline Child Spawn(const Sandbox& box, const std::vector<std::string>& args, const std::string& tag,
                   const std::map<std::string, std::string>& env = {}) {
    return SpawnProgram(box, RK_TOOL_PATH, args, tag, env);
}

#ifdef _WIN32
inline bool Alive(const Child& c) { return c.process && WaitForSingleObject(c.process, 0) == WAIT_TIMEOUT; }

// The exit status; -1 when it did not end within `limitMs` (then ended).
inline int Wait(Child& c, int limitMs) {
    if (!c.process) return -2;
    int status = -1;
    if (WaitForSingleObject(c.process, static_cast<DWORD>(limitMs)) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(c.process, &code);
        status = static_cast<int>(code);
    } else {
        TerminateProcess(c.process, 1);
        WaitForSingleObject(c.process, INFINITE);
    }
    CloseHandle(c.process);
    c.process = nullptr;
    return status;
}
#else
// True while the child has not ended (it is not reaped: Wait still gets its status).
inline bool Alive(const Child& c) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(c.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return info.si_pid == 0;
}

// The exit status (128 + N after signal N); -1 when it did not end within `limitMs` (then killed).
inline int Wait(Child& c, int limitMs) {
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

#endif

inline bool WaitFor(const std::function<bool()>& done, int limitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline long long Size(const std::string& path) {
    std::error_code ec;
    const auto s = fs::file_size(Utf8Path(path), ec);
    return ec ? -1 : static_cast<long long>(s);
}

inline std::string Shell(const std::string& command) {
    std::string out;
#ifdef _WIN32
    FILE* p = ::_popen(command.c_str(), "r");
#else
    FILE* p = ::popen(command.c_str(), "r");
#endif
    if (!p) return out;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
#ifdef _WIN32
    ::_pclose(p);
#else
    ::pclose(p);
#endif
    return out;
}

// A port the system picks on 127.0.0.1 (free when this returns).
inline int FreePort() {
    plat::Socket s = plat::Socket::Tcp();
    return s.Bind({plat::IPV4_LOOPBACK, 0}) ? s.LocalPort() : 0;
}

// Every endpoint on loopback (no gateway answers there), no ARP flush.
inline std::vector<std::string> BaseArgs(const Sandbox& box) {
    return {"--headless", "--root", box.root, "--program-folder", box.program, "--gateway", "127.0.0.1",
            "--no-arp-flush", "--web-port", std::to_string(FreePort()), "--setting-port",
            std::to_string(FreePort()), "--link-port", "0", "--announce-to",
            "127.0.0.1:" + std::to_string(FreePort()), "--time-scale", "0.05"};
}

// Every endpoint on a simulated gateway's loopback ports (GatewaySim's WebPort, SettingPort and
// AnnouncePort); the link server on a port the system picks, announcing 127.0.0.1.
inline std::vector<std::string> SimArgs(const Sandbox& box, int webPort, int settingPort, int announcePort,
                                        const std::string& timeScale = "0.05") {
    return {"--headless", "--root", box.root, "--program-folder", box.program, "--gateway", "127.0.0.1",
            "--no-arp-flush", "--web-port", std::to_string(webPort), "--setting-port",
            std::to_string(settingPort), "--link-port", "0", "--announce-to",
            "127.0.0.1:" + std::to_string(announcePort), "--announce-address", "127.0.0.1", "--time-scale",
            timeScale};
}

// How often `part` occurs in `text` (overlapping occurrences counted).
inline size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
    return n;
}

// The texts of the status history lines printed on standard output ("stamp——text"), in order.
inline std::vector<std::string> HistoryTexts(const std::string& out) {
    std::vector<std::string> texts;
    const std::string dash = "——";
    for (const std::string& l : Lines(out)) {
        const size_t p = l.find(dash);
        texts.push_back(p == std::string::npos ? l : l.substr(p + dash.size()));
    }
    return texts;
}

// The texts appear in `text` in this order (each searched after the end of the one before).
inline ::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& needles) {
    size_t at = 0;
    for (const std::string& n : needles) {
        const size_t found = text.find(n, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "missing, or out of order: \"" << n << "\" in:\n" << text;
        at = found + n.size();
    }
    return ::testing::AssertionSuccess();
}

// A stamped status history entry as printed on standard output: "——<text>\n".
inline std::string Stamped(const std::string& text) { return "——" + text + "\n"; }

// The percents of a line's "PROGRESS: <line> <percent>" lines, in order.
inline std::vector<int> ProgressValues(const std::string& err, int line = 0) {
    std::vector<int> out;
    const std::string prefix = "PROGRESS: " + std::to_string(line) + " ";
    for (const std::string& l : Lines(err))
        if (l.rfind(prefix, 0) == 0) out.push_back(std::stoi(l.substr(prefix.size())));
    return out;
}

// The "MESSAGE: " lines, without the prefix.
inline std::vector<std::string> Messages(const std::string& err) {
    std::vector<std::string> out;
    for (const std::string& l : Lines(err))
        if (l.rfind("MESSAGE: ", 0) == 0) out.push_back(l.substr(9));
    return out;
}

// The kinds of a line's "PICTURE: <line> <kind>" lines, in order.
inline std::vector<int> Pictures(const std::string& err, int line = 0) {
    std::vector<int> out;
    const std::string prefix = "PICTURE: " + std::to_string(line) + " ";
    for (const std::string& l : Lines(err))
        if (l.rfind(prefix, 0) == 0) out.push_back(std::stoi(l.substr(prefix.size())));
    return out;
}

// strace runs here (it may be missing, or ptrace may be refused).
inline bool StraceWorks() {
    static const bool works = [] {
#ifdef _WIN32
        return false;
#endif
        if (::access("/usr/bin/strace", X_OK) != 0) return false;
        return std::system("/usr/bin/strace -f -qq -e trace=none -o /dev/null /bin/true > /dev/null 2>&1") == 0;
    }();
    return works;
}

// Runs the built program under strace, following every thread, with the system calls of
// `syscalls` (e.g. "execve,unlink,unlinkat") written to `traceFile`. Wait gives the program's status.
inline Child SpawnTraced(const Sandbox& box, const std::string& syscalls, const std::string& traceFile,
                         const std::vector<std::string>& args, const std::string& tag) {
    std::vector<std::string> full = {"-f", "-qq", "--seccomp-bpf", "-e", "trace=" + syscalls, "-o", traceFile,
                                     RK_TOOL_PATH};
    full.insert(full.end(), args.begin(), args.end());
    // LeakSanitizer cannot run under ptrace: the traced program of an address build skips it.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions = std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "detect_leaks=0";
    return SpawnProgram(box, "/usr/bin/strace", full, tag, {{"ASAN_OPTIONS", asanOptions}});
}

// One system call of a trace: the thread id, its text (name and arguments) and whether it returned 0.
struct TracedCall {
    int tid = 0;
    std::string call;
    bool bZero = false;
};

inline std::vector<TracedCall> ReadTrace(const std::string& traceFile) {
    std::vector<TracedCall> out;
    // A call interrupted by another thread's is split: "<unfinished ...>", later "<... resumed>".
    const std::regex unfinished(R"(^(\d+)\s+(.*?)\s*<unfinished \.\.\.>$)");
    const std::regex resumed(R"(^(\d+)\s+<\.\.\. \S+ resumed>(.*)$)");
    const std::regex whole(R"(^(.*?)\s+=\s+(-?\d+|\?)(\s.*)?$)");
    std::map<int, std::string> pending;
    for (const std::string& l : Lines(ReadText(traceFile))) {
        std::smatch m;
        int tid = 0;
        std::string text;
        if (std::regex_match(l, m, unfinished)) {
            pending[std::stoi(m[1])] = m[2];
            continue;
        }
        if (std::regex_match(l, m, resumed)) {
            tid = std::stoi(m[1]);
            text = pending[tid] + std::string(m[2]);
            pending.erase(tid);
        } else {
            const size_t sp = l.find_first_of(" \t");
            if (sp == std::string::npos || sp == 0 || l.find_first_not_of("0123456789") != sp) continue;
            tid = std::stoi(l.substr(0, sp));
            text = l.substr(l.find_first_not_of(" \t", sp));
        }
        if (!std::regex_match(text, m, whole)) continue;
        out.push_back({tid, m[1], m[2] == "0"});
    }
    return out;
}

// Every standard-error line is one of the four kinds.
inline void ExpectErrFormat(const std::string& err) {
    const std::regex line(R"(^(MESSAGE: .*|PROGRESS: [0-7] (100|[1-9]?[0-9])|PICTURE: [0-7] [0-4]|TRACE: .*)$)");
    for (const std::string& l : Lines(err)) EXPECT_TRUE(std::regex_match(l, line)) << l;
}

}  // namespace tool_harness
