// The sleep inhibitor on Linux: one `systemd-inhibit` child, in a process group of its own, for as
// long as any task runs. Its command (`tail --pid`) ends by itself when this process dies, so a
// crash leaves no inhibitor behind; at the last task's end the group is terminated and reaped.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/stay_awake.h"

extern char** environ;

namespace plat {

namespace {

constexpr int kReapTries = 50;  // 20 ms apart: a terminated child is reaped within 1 s
constexpr int kReapPauseMs = 20;

std::mutex g_mutex;
int g_holders = 0;
pid_t g_inhibitor = -1;

bool Systemd() {
    struct stat st{};
    return ::stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

pid_t StartInhibitor() {
    if (!Systemd()) return -1;
    const std::string pid = std::to_string(::getpid());
    const char* argv[] = {"systemd-inhibit", "--what=sleep", "--who=rk880t-tool",
                          "--why=RK880T task running", "--mode=block", "tail", "--pid", pid.c_str(), "-f",
                          "/dev/null", nullptr};
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return -1;
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t child = -1;
    if (posix_spawnp(&child, argv[0], nullptr, &attr, const_cast<char* const*>(argv), environ) != 0) child = -1;
    posix_spawnattr_destroy(&attr);
    return child;
}

void StopInhibitor(pid_t child) {
    if (child <= 0) return;
    ::kill(-child, SIGTERM);
    for (int i = 0; i < kReapTries; ++i) {
        if (::waitpid(child, nullptr, WNOHANG) != 0) return;  // reaped, or not ours any more
        SleepRaw(kReapPauseMs);
    }
    ::kill(-child, SIGKILL);
    ::waitpid(child, nullptr, 0);  // SIGKILL cannot be ignored: the wait is short
}

}  // namespace

StayAwake::StayAwake() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_holders++ == 0) g_inhibitor = StartInhibitor();
}

StayAwake::~StayAwake() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (--g_holders == 0) {
        StopInhibitor(g_inhibitor);
        g_inhibitor = -1;
    }
}

int StayAwakeHolders() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_holders;
}

}  // namespace plat
