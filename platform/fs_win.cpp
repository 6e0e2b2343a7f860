// The file and folder services on Windows: wide calls at the edge, the read-only attribute,
// replacement by MoveFileExW.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/fs.h"
#include "platform/wide.h"

#include <algorithm>
#include <cctype>

// plat::DeleteFile is the program's own; the system's is called by its wide name.
#undef DeleteFile

namespace plat {

namespace {

// The folder where a 32-bit program's GetSystemDirectoryA points on this machine: SysWOW64 on
// 64-bit Windows, System32 where there is no WOW64. The counters and the download record stay
// where every earlier build of the tool kept them.
std::string SystemDirectoryPath() {
    wchar_t buf[MAX_PATH] = {};
    UINT n = GetSystemWow64DirectoryW(buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) n = GetSystemDirectoryW(buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return "C:/Windows/System32";
    return NarrowPath(std::wstring(buf, n));
}

bool SameDrive(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

DWORD Attributes(const std::string& path) { return GetFileAttributesW(Widen(path).c_str()); }

// The final path of an existing file or folder, every link and junction resolved; empty when it
// cannot be opened.
std::wstring FinalPath(const std::string& path) {
    HANDLE h = CreateFileW(Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::wstring out(1024, L'\0');
    DWORD n = GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), FILE_NAME_NORMALIZED);
    if (n >= out.size()) {
        out.resize(n + 1);
        n = GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), FILE_NAME_NORMALIZED);
    }
    CloseHandle(h);
    if (n == 0 || n >= out.size()) return {};
    out.resize(n);
    return out;
}

}  // namespace

// The drive of the system directory ("C:").
std::string DefaultMachineRoot() { return SystemDirectoryPath().substr(0, 2); }

std::string SystemDirectoryUnder(const std::string& root) {
    if (SameDrive(root, DefaultMachineRoot())) return SystemDirectoryPath();
    return root + "/Windows/System32";
}

// "C:" alone names the drive's current folder, not an entry a file search finds.
bool NameExists(const std::string& path) {
    if (path.size() == 2 && path[1] == ':') return false;
    return Attributes(path) != INVALID_FILE_ATTRIBUTES;
}

bool MakeFolder(const std::string& path) { return CreateDirectoryW(Widen(path).c_str(), nullptr) != 0; }

bool IsInsideFolder(const std::string& path, const std::string& folder) {
    const std::wstring file = FinalPath(path);
    std::wstring base = FinalPath(folder);
    if (file.empty() || base.empty()) return false;
    if (base.back() != L'\\') base += L'\\';
    return file.size() > base.size() &&
           CompareStringOrdinal(file.c_str(), static_cast<int>(base.size()), base.c_str(), static_cast<int>(base.size()),
                                TRUE) == CSTR_EQUAL;
}

bool IsRegularFile(const std::string& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsReadOnlyFile(const std::string& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0 && (a & FILE_ATTRIBUTE_READONLY) != 0;
}

// DeleteFileW itself refuses a read-only file.
bool DeleteFile(const std::string& path) {
    if (IsReadOnlyFile(path)) return false;
    return DeleteFileW(Widen(path).c_str()) != 0;
}

bool RemoveFile(const std::string& path) {
    const std::wstring w = Widen(path);
    const DWORD a = GetFileAttributesW(w.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(w.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    return DeleteFileW(w.c_str()) != 0;
}

long long FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// _fstat64: the plain fstat of the Windows C runtime has a 32-bit size.
long long OpenFileSize(std::FILE* file) {
    struct _stat64 st{};
    if (file == nullptr || ::_fstat64(::_fileno(file), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return -1;
    return static_cast<long long>(st.st_size);
}

// A virus scanner or the indexer opens a freshly written file for a moment, often without
// FILE_SHARE_DELETE; while it holds the target (or the source), MoveFileExW fails with a sharing or
// lock violation, or with ERROR_ACCESS_DENIED, which a read-only target gives as well and for good.
// The replacement is tried again for about a second before it fails.
bool RenameOver(const std::string& from, const std::string& to) {
    constexpr int kTries = 10;
    constexpr DWORD kPauseMs = 100;
    const std::wstring wideFrom = Widen(from), wideTo = Widen(to);
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD error = GetLastError();
        const bool bHeld = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
                           (error == ERROR_ACCESS_DENIED && !IsReadOnlyFile(to));
        if (!bHeld || attempt == kTries) {
            errno = error == ERROR_ACCESS_DENIED ? EACCES : EIO;
            return false;
        }
        Sleep(kPauseMs);
    }
}

std::string ExecutableFolder() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return ".";
        if (n < buf.size()) return DirName(NarrowPath(buf.substr(0, n)));
        buf.resize(buf.size() * 2);
    }
}

std::string CurrentFolder() {
    wchar_t buf[MAX_PATH] = {};
    const DWORD n = GetCurrentDirectoryW(MAX_PATH, buf);
    if (n == 0 || n >= MAX_PATH) return ".";
    return NarrowPath(std::wstring(buf, n));
}

int ProcessId() { return static_cast<int>(GetCurrentProcessId()); }

std::FILE* OpenFile(const std::string& path, const char* mode) {
    return _wfopen(Widen(path).c_str(), Widen(mode).c_str());
}

namespace {
EntryKind KindOfAttributes(DWORD a) {
    if (a == INVALID_FILE_ATTRIBUTES) return EntryKind::None;
    if (a & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::Other;
    return (a & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::Folder : EntryKind::File;
}
}  // namespace

EntryKind EntryKindOf(const std::string& path) { return KindOfAttributes(Attributes(path)); }

bool IsFolder(const std::string& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ListFolder(const std::string& folder, std::vector<FolderEntry>& entries) {
    entries.clear();
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileExW(Widen(JoinPath(folder, "*")).c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return false;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") entries.push_back({Narrow(name), KindOfAttributes(data.dwFileAttributes)});
    } while (FindNextFileW(find, &data));
    const bool ok = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(find);
    return ok;
}

bool RemoveTree(const std::string& path) {
    const std::wstring w = Widen(path);
    const DWORD a = GetFileAttributesW(w.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return true;
    if (!(a & FILE_ATTRIBUTE_DIRECTORY)) return RemoveFile(path);
    if (a & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(w.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (!(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        std::vector<FolderEntry> entries;
        ListFolder(path, entries);
        for (const FolderEntry& e : entries) RemoveTree(JoinPath(path, e.name));
    }
    return RemoveDirectoryW(w.c_str()) != 0;
}

bool SyncFile(std::FILE* file) { return std::fflush(file) == 0 && _commit(_fileno(file)) == 0; }

// NTFS makes a completed MoveFileEx with MOVEFILE_WRITE_THROUGH durable on its own.
void SyncFolder(const std::string&) {}

bool LocalTime(std::time_t t, std::tm& local) { return localtime_s(&local, &t) == 0; }

OutFile::~OutFile() { Close(); }

bool OutFile::Open(const std::string& path, bool bAppend) {
    Close();
    const int flags = _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT | (bAppend ? _O_APPEND : _O_TRUNC);
    m_fd = _wopen(Widen(path).c_str(), flags, _S_IREAD | _S_IWRITE);
    return m_fd >= 0;
}

bool OutFile::Write(std::span<const unsigned char> data) {
    if (m_fd < 0) return false;
    size_t done = 0;
    while (done < data.size()) {
        const size_t want = std::min<size_t>(data.size() - done, 1u << 30);
        const int n = _write(m_fd, data.data() + done, static_cast<unsigned>(want));
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool OutFile::Sync() { return m_fd >= 0 && _commit(m_fd) == 0; }

bool OutFile::Close() {
    if (m_fd < 0) return true;
    const bool ok = _close(m_fd) == 0;
    m_fd = -1;
    return ok;
}

}  // namespace plat
