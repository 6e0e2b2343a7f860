#include "platform/fs.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <mutex>

namespace plat {

namespace {
std::mutex g_rootMutex;
std::string g_root;
std::atomic<unsigned> g_tmpCounter{0};
std::atomic<long long> g_failAfter{-1};

// Windows paths may come with either separator; here a backslash is a file name's own character.
#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
#else
constexpr const char* kSeparators = "/";
#endif
}  // namespace

void InjectWriteFailureAfter(long long bytes) { g_failAfter.store(bytes); }

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

std::string SystemDirectory() { return SystemDirectoryUnder(MachineRoot()); }

std::string VersionFolder() { return MachineRoot() + "/Program Files/Windows Service/RK880TVersion"; }

std::string MapWindowsPath(const std::string& path) {
    // On Windows the machine root may itself be on drive C: a path already under it is a host path.
    const std::string root = MachineRoot();
    if (path.compare(0, root.size(), root) == 0 &&
        (path.size() == root.size() || path[root.size()] == '/' || path[root.size()] == '\\'))
        return path;
    if (path.size() >= 2 && (path[0] == 'C' || path[0] == 'c') && path[1] == ':') {
        std::string rest = path.substr(2);
        for (char& c : rest)
            if (c == '\\') c = '/';
        return root + rest;
    }
    return path;
}

bool PathExists(const std::string& path) {
    std::string p = path;
#ifdef _WIN32
    // A drive named alone ("C:") is its root, which always exists.
    if (p.size() == 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0]))) return true;
#endif
    if (!p.empty() && (p.back() == '\\' || p.back() == '/')) {
        if (p == "/" || (p.size() == 3 && p[1] == ':')) return true;
        p.pop_back();
    }
    if (p.empty()) return false;
    return NameExists(p);
}

bool EnsureFolder(const std::string& path) {
    if (PathExists(path)) return true;
    std::string p = path;
    if (!p.empty() && (p.back() == '\\' || p.back() == '/')) p.pop_back();
    return MakeFolder(p);
}

bool EnsureFolderTree(const std::string& path) {
    if (PathExists(path)) return true;
    size_t pos = 1;
    while (pos != std::string::npos) {
        pos = path.find_first_of(kSeparators, pos);
        const std::string part = path.substr(0, pos);
        const bool bDrive = part.size() == 2 && part[1] == ':';  // "C:" of "C:/a/b" is there
        if (!part.empty() && !bDrive && !EnsureFolder(part)) return false;
        if (pos != std::string::npos) ++pos;
    }
    return PathExists(path);
}

std::string TempPathFor(const std::string& path) {
    return path + ".tmp" + std::to_string(ProcessId()) + "." + std::to_string(g_tmpCounter.fetch_add(1));
}

bool WriteFileAtomic(const std::string& path, std::span<const unsigned char> data) {
    const std::string tmp = TempPathFor(path);
    OutFile file;
    if (!file.Open(tmp)) return false;
    bool ok = true;
    const long long failAfter = g_failAfter.load();
    std::span<const unsigned char> part = data;
    if (failAfter >= 0 && static_cast<unsigned long long>(failAfter) < data.size()) {
        part = data.first(static_cast<size_t>(failAfter));
        ok = false;
    }
    if (!file.Write(part)) ok = false;
    if (ok && !file.Sync()) ok = false;
    if (!file.Close()) ok = false;
    if (ok && FileSize(tmp) != static_cast<long long>(data.size())) ok = false;
    if (ok && !RenameReplace(tmp, path)) ok = false;
    if (!ok) RemoveFile(tmp);
    return ok;
}

bool RenameReplace(const std::string& from, const std::string& to) {
    if (IsReadOnlyFile(to)) {
        errno = EACCES;
        return false;
    }
    return RenameOver(from, to);
}

std::string DirName(const std::string& path) {
    const size_t pos = path.find_last_of(kSeparators);
    if (pos == std::string::npos) return "";
    if (pos == 0) return "/";
    return path.substr(0, pos);
}

std::string BaseName(const std::string& path) {
    const size_t pos = path.find_last_of(kSeparators);
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

bool ReadFileBytes(const std::string& path, std::vector<unsigned char>& bytes, long long limit) {
    if (!IsRegularFile(path)) return false;
    const long long size = FileSize(path);
    if (size < 0 || size > limit) return false;
    std::FILE* file = OpenFile(path, "rb");
    if (file == nullptr) return false;
    bytes.resize(static_cast<size_t>(size));
    const size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), file);
    const bool ok = got == bytes.size() && std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

std::string DefaultProgramFolder() {
    const std::string exe = ExecutableFolder();
    if (BaseName(exe) != "bin") return exe;
    const std::string shared = JoinPath(DirName(exe), "share/rk880t-tool");
    return PathExists(shared) ? shared : exe;
}

}  // namespace plat
