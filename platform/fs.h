#pragma once
// Files and folders: the machine root that stands in for drive C:, the path test and folder rule
// of the version source, and writes that survive a crash halfway.
#include <cstddef>
#include <span>
#include <string>

namespace plat {

// The machine root: "C:" maps onto it. Default $XDG_DATA_HOME/rk880t-tool/C (else
// ~/.local/share/rk880t-tool/C); --root overrides.
std::string DefaultMachineRoot();
void SetMachineRoot(const std::string& root);
std::string MachineRoot();
// <root>/Windows/System32
std::string SystemDirectory();
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

// The folder part of a path ("" when there is none) and the last component.
std::string DirName(const std::string& path);
std::string BaseName(const std::string& path);
std::string JoinPath(const std::string& folder, const std::string& name);

// The folder of the running executable.
std::string ExecutableFolder();
// The current (working) folder, whatever its length; "." when it cannot be read.
std::string CurrentFolder();

// The program's own folder (configuration file, "RecordCSV.sdi", guide): the executable's folder,
// or <prefix>/share/rk880t-tool when the executable is installed as <prefix>/bin/rk880t-tool.
std::string DefaultProgramFolder();

}  // namespace plat
