// Starting programs on POSIX systems: detached, without a shell in between.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/process.h"

extern char** environ;

namespace plat {

namespace {

// The program's file: a name with a slash as it stands, a bare name searched in PATH (execvp's
// rules: an empty entry is the current folder). Empty when none is executable.
std::string FindProgram(const char* name) {
    const std::string program = name;
    if (program.empty()) return {};
    if (program.find('/') != std::string::npos) return access(name, X_OK) == 0 ? program : std::string();
    const char* env = std::getenv("PATH");
    const std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
    for (size_t begin = 0;;) {
        const size_t end = path.find(':', begin);
        std::string folder = path.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string::npos) return {};
        begin = end + 1;
    }
}

}  // namespace

void RestrictLibrarySearch() {}

bool SpawnDetached(const char* const argv[]) {
    // The file is found before the fork: the children of a threaded process may only make
    // async-signal-safe calls. The first child starts the program in a session of its own and
    // exits at once; waiting for it reaps it, and the program is adopted by init. Every
    // descriptor of this process is close-on-exec, so the program holds none of ours.
    const std::string file = FindProgram(argv[0]);
    if (file.empty()) return false;
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        const pid_t program = fork();
        if (program == 0) {
            setsid();
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, STDIN_FILENO);
                dup2(null, STDOUT_FILENO);
                dup2(null, STDERR_FILENO);
                if (null > STDERR_FILENO) close(null);
            }
            execve(file.c_str(), const_cast<char* const*>(argv), environ);
            _exit(127);
        }
        _exit(program < 0 ? 1 : 0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> ArpFlushCommand(const std::string& gatewayAddress) {
    return {"ip", "neigh", "flush", "to", gatewayAddress};
}

void SystemProcess::OpenDocument(const std::string& path) {
    // The desktop's default application for the file's type.
    const char* argv[] = {"xdg-open", path.c_str(), nullptr};
    SpawnDetached(argv);
}

void SystemProcess::StartProgram(const std::string& path) {
    const char* argv[] = {path.c_str(), nullptr};
    SpawnDetached(argv);
}

}  // namespace plat
