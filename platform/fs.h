#pragma once
// Files and folders: the machine root that stands in for drive C:, the path test and folder rule
// of the version source, and writes that survive a crash halfway.
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "platform/non_copyable.h"

namespace plat {

// The machine root: "C:" maps onto it. Default on Linux $XDG_DATA_HOME/rk880t-tool/C (else
// ~/.local/share/rk880t-tool/C), on Windows the system drive; --root overrides.
std::string DefaultMachineRoot();
void SetMachineRoot(const std::string& root);
std::string MachineRoot();
// <root>/Windows/System32; on Windows, for the system drive itself, the folder a 32-bit program
// sees as its system directory (GetSystemWow64DirectoryW, else GetSystemDirectoryW).
std::string SystemDirectory();
std::string SystemDirectoryUnder(const std::string& root);
// <root>/Program Files/Windows Service/RK880TVersion and its two parents, outermost first.
std::string VersionFolder();

// Maps a Windows-form path ("C:\a\b") onto the machine root; other paths are returned as they are.
std::string MapWindowsPath(const std::string& path);

// The path test: a drive root ("C:\" or "/") exists without a look-up; any other path loses one
// trailing separator; then the path exists when a file or folder of that name is found.
bool PathExists(const std::string& path);
// The folder rule: true when the folder exists or one level was created now.
bool EnsureFolder(const std::string& path);
// Creates `path` and each missing parent one level at a time.
bool EnsureFolderTree(const std::string& path);

bool IsRegularFile(const std::string& path);
// The Windows read-only attribute: a regular file without any write permission bit. (The
// program may run as root, for whom access(W_OK) always succeeds.) Windows refuses to delete or
// overwrite such a file, whoever asks; so do the writers here.
bool IsReadOnlyFile(const std::string& path);
// Deletes a file; false, and the file kept, when it is read-only (no write permission bit).
bool DeleteFile(const std::string& path);
long long FileSize(const std::string& path);  // -1 when missing

// Writes `data` to `path` through a temporary file in the same folder and a rename; every write
// and the final size are checked. False (and no temporary left) on any failure, a read-only file
// at `path` included.
bool WriteFileAtomic(const std::string& path, std::span<const unsigned char> data);
// Test hook: the next WriteFileAtomic calls fail after `bytes` bytes (a full disk); -1 turns it off.
void InjectWriteFailureAfter(long long bytes);

// Renames `from` over `to` (same file system); false (EACCES) when `to` is read-only.
bool RenameReplace(const std::string& from, const std::string& to);
// Renames `from` over `to` whatever `to` is (rename; MoveFileExW with MOVEFILE_REPLACE_EXISTING
// and MOVEFILE_WRITE_THROUGH on Windows, tried again for about 1 s while another program holds
// either file open: a sharing or lock violation, or access denied to a target that is not
// read-only).
bool RenameOver(const std::string& from, const std::string& to);

// The folder part of a path ("" when there is none) and the last component.
std::string DirName(const std::string& path);
std::string BaseName(const std::string& path);
std::string JoinPath(const std::string& folder, const std::string& name);

// The folder of the running executable.
std::string ExecutableFolder();
// The working folder ("." when it cannot be read).
std::string CurrentFolder();

// `path` followed by ".tmp<process id>.<counter>": a temporary name beside the file, so that the
// rename over it stays on one file system.
std::string TempPathFor(const std::string& path);
int ProcessId();
// Deletes a file whatever its attributes; false when it could not.
bool RemoveFile(const std::string& path);
// A file or folder of that exact name exists (no separator handling).
bool NameExists(const std::string& path);
// Creates one folder level.
bool MakeFolder(const std::string& path);
// fopen with a UTF-8 path (a wide path at the Windows edge).
std::FILE* OpenFile(const std::string& path, const char* mode);
// The size of an open regular file in bytes (64-bit on every platform); -1 when it is no regular
// file or its size cannot be read.
long long OpenFileSize(std::FILE* file);
// The whole file into `bytes`; false when it is no regular file, cannot be read, or is larger
// than `limit` bytes (then refused unread).
bool ReadFileBytes(const std::string& path, std::vector<unsigned char>& bytes, long long limit);

// What a name is, the name itself looked at: a symbolic link (on Windows a reparse point) is
// Other, never what it points to.
enum class EntryKind { None, File, Folder, Other };
EntryKind EntryKindOf(const std::string& path);
// A folder: the path itself or what a link there points to.
bool IsFolder(const std::string& path);
struct FolderEntry {
    std::string name;
    EntryKind kind = EntryKind::None;
};
// The entries of `folder` without "." and "..", in no particular order; false when it cannot be
// read.
bool ListFolder(const std::string& folder, std::vector<FolderEntry>& entries);
// Deletes `path` and, when it is a folder, all it holds, whatever the attributes; a link is
// deleted itself, never followed. False when something is left.
bool RemoveTree(const std::string& path);
// Flushes a stdio stream and its file to the disk.
bool SyncFile(std::FILE* file);
// Makes the renames inside `folder` durable (nothing to do where the system does it itself).
void SyncFolder(const std::string& folder);
// Local time of `t` (thread-safe); false when it has none.
bool LocalTime(std::time_t t, std::tm& local);

// A file written by whole blocks and flushed to the disk before it is closed; closes itself.
class OutFile : private NonCopyable {
public:
    OutFile() = default;
    ~OutFile();
    // Creates or truncates `path`; with `bAppend` opens it for appending (created when missing).
    bool Open(const std::string& path, bool bAppend = false);
    bool IsOpen() const { return m_fd >= 0; }
    // Writes all of `data`; false on any failure.
    bool Write(std::span<const unsigned char> data);
    bool Sync();
    bool Close();

private:
    int m_fd = -1;
};

// True when `path` names something inside `folder` once every link on either path is resolved
// (both must exist; case-insensitive on Windows). Guards deletions of paths a configuration file
// names: "folder/../elsewhere" or a link out of the folder is not inside it.
bool IsInsideFolder(const std::string& path, const std::string& folder);

// The program's own folder (configuration file, "RecordCSV.sdi", guide): the executable's folder,
// or <prefix>/share/rk880t-tool when the executable is installed as <prefix>/bin/rk880t-tool.
std::string DefaultProgramFolder();

}  // namespace plat
