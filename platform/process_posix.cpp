// Starting programs on POSIX systems: detached, without a shell in between.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "platform/fs.h"
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

// Runs a program and returns what it writes to standard output, or "" when it cannot start, fails
// or has not ended within `limitMs` (then it is killed).
std::string OutputOf(const char* const argv[], int64_t limitMs) {
    const std::string file = FindProgram(argv[0]);
    int fds[2];
    if (file.empty() || pipe2(fds, O_CLOEXEC) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDERR_FILENO);
        }
        dup2(fds[1], STDOUT_FILENO);
        execve(file.c_str(), const_cast<char* const*>(argv), environ);
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    const int64_t deadline = TickMs() + limitMs;
    bool bEnded = false;
    while (child > 0) {
        const int64_t left = deadline - TickMs();
        if (left <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[512];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0) out.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR) {
            bEnded = true;
            break;
        }
    }
    close(fds[0]);
    if (child < 0) return {};
    if (!bEnded) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return bEnded && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : std::string();
}

// The desktop has a default application for the file's type (xdg-mime, within 5 s).
bool HasDefaultApplication(const std::string& path) {
    const char* argv[] = {"/bin/sh", "-c",
                          "t=$(xdg-mime query filetype \"$1\") && [ -n \"$t\" ] && xdg-mime query default \"$t\"",
                          "sh", path.c_str(), nullptr};
    return OutputOf(argv, 5000).find_first_not_of(" \t\r\n") != std::string::npos;
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
    // The desktop's default application for the file's type; when the desktop has none for it,
    // the same document as HTML beside it (a browser is always there), when there is one.
    std::string document = path;
    const std::string html = path.substr(0, path.rfind('.')) + ".html";
    if (path.rfind('.') != std::string::npos && PathExists(html) && !HasDefaultApplication(path)) document = html;
    const char* argv[] = {"xdg-open", document.c_str(), nullptr};
    SpawnDetached(argv);
}

void SystemProcess::StartProgram(const std::string& path) {
    const char* argv[] = {path.c_str(), nullptr};
    SpawnDetached(argv);
}

}  // namespace plat
