// Starting programs on POSIX systems: detached through the shell, the shell reaped at once.
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/process.h"

extern char** environ;

namespace plat {

void RestrictLibrarySearch() {}

bool SpawnDetached(const char* const argv[]) {
    // The shell puts the program in the background and exits at once; waiting for the shell
    // reaps it, and the program itself is adopted by init.
    std::string cmd = "exec \"$0\" \"$@\" </dev/null >/dev/null 2>&1 &";
    std::vector<const char*> args = {"/bin/sh", "-c", cmd.c_str()};
    for (const char* const* p = argv; *p; ++p) args.push_back(*p);
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(args.data()),
                    environ) != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

void SystemProcess::StartArpFlush(const std::string& gatewayAddress) {
    const char* argv[] = {"ip", "neigh", "flush", "to", gatewayAddress.c_str(), nullptr};
    SpawnDetached(argv);
}

void SystemProcess::OpenDocument(const std::string& path) {
    const char* argv[] = {"xdg-open", path.c_str(), nullptr};
    SpawnDetached(argv);
}

void SystemProcess::StartProgram(const std::string& path) {
    const char* argv[] = {path.c_str(), nullptr};
    SpawnDetached(argv);
}

}  // namespace plat
