// The file and folder services on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/fs.h"

namespace plat {

std::string DefaultMachineRoot() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/rk880t-tool/C";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share/rk880t-tool/C";
}

std::string SystemDirectoryUnder(const std::string& root) { return root + "/Windows/System32"; }

bool NameExists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

bool MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0; }

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

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

long long FileSize(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

long long OpenFileSize(std::FILE* file) {
    struct stat st{};
    if (file == nullptr || ::fstat(::fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size);
}

bool RenameOver(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()) == 0; }

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

bool IsInsideFolder(const std::string& path, const std::string& folder) {
    char file[PATH_MAX] = {}, dir[PATH_MAX] = {};
    if (!::realpath(path.c_str(), file) || !::realpath(folder.c_str(), dir)) return false;
    std::string base = dir;
    if (base.empty() || base.back() != '/') base += '/';
    return std::string(file).compare(0, base.size(), base) == 0 && std::string(file).size() > base.size();
}

int ProcessId() { return static_cast<int>(::getpid()); }

std::FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

EntryKind EntryKindOf(const std::string& path) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) return EntryKind::None;
    if (S_ISDIR(st.st_mode)) return EntryKind::Folder;
    if (S_ISREG(st.st_mode)) return EntryKind::File;
    return EntryKind::Other;
}

bool IsFolder(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ListFolder(const std::string& folder, std::vector<FolderEntry>& entries) {
    entries.clear();
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return false;
    errno = 0;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") entries.push_back({name, EntryKindOf(JoinPath(folder, name))});
        errno = 0;
    }
    const bool ok = errno == 0;
    ::closedir(dir);
    return ok;
}

bool RemoveTree(const std::string& path) {
    const EntryKind kind = EntryKindOf(path);
    if (kind == EntryKind::None) return true;
    if (kind != EntryKind::Folder) return ::unlink(path.c_str()) == 0;
    std::vector<FolderEntry> entries;
    ListFolder(path, entries);
    for (const FolderEntry& e : entries) RemoveTree(JoinPath(path, e.name));
    return ::rmdir(path.c_str()) == 0;
}

bool SyncFile(std::FILE* file) { return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0; }

void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool LocalTime(std::time_t t, std::tm& local) { return localtime_r(&t, &local) != nullptr; }

OutFile::~OutFile() { Close(); }

bool OutFile::Open(const std::string& path, bool bAppend) {
    Close();
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (bAppend ? O_APPEND : O_TRUNC), 0644);
    return m_fd >= 0;
}

bool OutFile::Write(std::span<const unsigned char> data) {
    if (m_fd < 0) return false;
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(m_fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool OutFile::Sync() { return m_fd >= 0 && ::fsync(m_fd) == 0; }

bool OutFile::Close() {
    if (m_fd < 0) return true;
    const bool ok = ::close(m_fd) == 0;
    m_fd = -1;
    return ok;
}

}  // namespace plat
