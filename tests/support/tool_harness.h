#pragma once
// Runs the built program (RK_TOOL_PATH) headless in a sandbox of its own: machine root, runtime
// folder (single-instance lock), working folder ("Logs") and program folder. Shared by the
// end-to-end test programs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tool_harness {
namespace fs = std::filesystem;

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
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

inline Child Spawn(const Sandbox& box, const std::vector<std::string>& args, const std::string& tag,
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
    const auto s = fs::file_size(path, ec);
    return ec ? -1 : static_cast<long long>(s);
}

inline std::string Shell(const std::string& command) {
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
inline int FreePort() {
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
inline std::vector<std::string> BaseArgs(const Sandbox& box) {
    return {"--headless", "--root", box.root, "--program-folder", box.program, "--gateway", "127.0.0.1",
            "--no-arp-flush", "--web-port", std::to_string(FreePort()), "--setting-port",
            std::to_string(FreePort()), "--link-port", "0", "--announce-to",
            "127.0.0.1:" + std::to_string(FreePort()), "--time-scale", "0.05"};
}

// Every standard-error line is one of the four kinds.
inline void ExpectErrFormat(const std::string& err) {
    const std::regex line(R"(^(MESSAGE: .*|PROGRESS: [0-7] (100|[1-9]?[0-9])|PICTURE: [0-7] [0-4]|TRACE: .*)$)");
    for (const std::string& l : Lines(err)) EXPECT_TRUE(std::regex_match(l, line)) << l;
}

}  // namespace tool_harness
