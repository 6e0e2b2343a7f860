#include "platform/fs.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace plat {

namespace {
std::mutex g_rootMutex;
std::string g_root;
std::atomic<unsigned> g_tmpCounter{0};
std::atomic<long long> g_failAfter{-1};
}  // namespace

void InjectWriteFailureAfter(long long bytes) { g_failAfter.store(bytes); }

std::string DefaultMachineRoot() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/rk880t-tool/C";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share/rk880t-tool/C";
}

void SetMachineRoot(const std::string& root) {
    std::lock_guard<std::mutex> lock(g_rootMutex);
    g_root = root;
    while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
}

std::string MachineRoot() {
    std::lock_guard<std::mutex> lock(g_rootMutex);
    if (g_root.empty()) g_root = DefaultMachineRoot();
    return g_root;
}

std::string SystemDirectory() { return MachineRoot() + "/Windows/System32"; }

std::string VersionFolder() { return MachineRoot() + "/Program Files/Windows Service/RK880TVersion"; }

std::string MapWindowsPath(const std::string& path) {
    if (path.size() >= 2 && (path[0] == 'C' || path[0] == 'c') && path[1] == ':') {
        std::string rest = path.substr(2);
        for (char& c : rest)
            if (c == '\\') c = '/';
        return MachineRoot() + rest;
    }
    return path;
}

bool PathExists(const std::string& path) {
    std::string p = path;
    if (!p.empty() && (p.back() == '\\' || p.back() == '/')) {
        if (p == "/" || (p.size() == 3 && p[1] == ':')) return true;
        p.pop_back();
    }
    if (p.empty()) return false;
    struct stat st{};
    return ::stat(p.c_str(), &st) == 0;
}

bool EnsureFolder(const std::string& path) {
    if (PathExists(path)) return true;
    std::string p = path;
    if (!p.empty() && (p.back() == '\\' || p.back() == '/')) p.pop_back();
    return ::mkdir(p.c_str(), 0755) == 0;
}

bool EnsureFolderTree(const std::string& path) {
    if (PathExists(path)) return true;
    size_t pos = 1;
    while (pos != std::string::npos) {
        pos = path.find('/', pos);
        const std::string part = path.substr(0, pos);
        if (!part.empty() && !EnsureFolder(part)) return false;
        if (pos != std::string::npos) ++pos;
    }
    return PathExists(path);
}

bool IsRegularFile(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsReadOnlyFile(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
}

bool DeleteFile(const std::string& path) {
    // A read-only image the operator left in place survives the close.
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) return false;
    return ::unlink(path.c_str()) == 0;
}

long long FileSize(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

bool WriteFileAtomic(const std::string& path, std::span<const unsigned char> data) {
    const std::string tmp = path + ".tmp" + std::to_string(::getpid()) + "." +
                            std::to_string(g_tmpCounter.fetch_add(1));
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    bool ok = true;
    const long long failAfter = g_failAfter.load();
    while (done < data.size()) {
        size_t want = data.size() - done;
        if (failAfter >= 0) {
            if (done >= static_cast<size_t>(failAfter)) {
                ok = false;
                break;
            }
            want = std::min(want, static_cast<size_t>(failAfter) - done);
        }
        const ssize_t n = ::write(fd, data.data() + done, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (ok && FileSize(tmp) != static_cast<long long>(data.size())) ok = false;
    if (ok && !RenameReplace(tmp, path)) ok = false;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

bool RenameReplace(const std::string& from, const std::string& to) {
    if (IsReadOnlyFile(to)) {
        errno = EACCES;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string DirName(const std::string& path) {
    const size_t pos = path.find_last_of('/');
    if (pos == std::string::npos) return "";
    if (pos == 0) return "/";
    return path.substr(0, pos);
}

std::string BaseName(const std::string& path) {
    const size_t pos = path.find_last_of('/');
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

std::string ExecutableFolder() {
    char buf[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return ".";
    return DirName(std::string(buf, static_cast<size_t>(n)));
}

std::string CurrentFolder() {
    char buf[PATH_MAX] = {};
    return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}

std::string DefaultProgramFolder() {
    const std::string exe = ExecutableFolder();
    if (BaseName(exe) != "bin") return exe;
    const std::string shared = JoinPath(DirName(exe), "share/rk880t-tool");
    return PathExists(shared) ? shared : exe;
}

}  // namespace plat
