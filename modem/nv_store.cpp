// The NV backup's files on the PC: the 136-byte record codec, and the replacement of a backup by a
// complete new one through renames, with recovery after a crash in the middle.
//
// Replacement order (CommitNvBackup):
//   1. _EFS_RF_NV      -> _EFS_RF_NV.old
//   2. _EFS_RF_NV.tmp  -> _EFS_RF_NV
//   3. Channel.nvm.tmp -> Channel.nvm (replaces the old file in one step)
//   4. sub-folders of _EFS_RF_NV.old move into _EFS_RF_NV; _EFS_RF_NV.old is removed.
// While _EFS_RF_NV.old exists, Channel.nvm.tmp tells whether step 3 happened: present, the old
// pair is put back (steps 1-2 undone); absent, step 4 is finished.

#include <filesystem>
#include <system_error>

#include "modem/nv_backup.h"
#include "platform/fs.h"
#include "platform/trace.h"

namespace fs = std::filesystem;

namespace {

void Put16(std::span<uint8_t> out, size_t at, uint16_t v) {
    out[at] = static_cast<uint8_t>(v & 0xFF);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}
uint16_t Get16(std::span<const uint8_t> in, size_t at) {
    return static_cast<uint16_t>(in[at] | (in[at + 1] << 8));
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

bool Rename(const std::string& from, const std::string& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    return !ec;
}

void RemoveAll(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

void SyncFolder(const std::string& folder) { plat::SyncFolder(folder); }

// Step 4: sub-folders that someone kept in the old folder stay with the backup folder; the old
// files go.
void FinishFolderSwap(const NvBackupPaths& p) {
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(p.strFolderOld, ec))) {
        for (fs::directory_iterator it(p.strFolderOld, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code sec;
            if (!fs::is_directory(it->symlink_status(sec))) continue;
            const std::string target = plat::JoinPath(p.strFolder, it->path().filename().string());
            if (!Exists(target)) Rename(it->path().string(), target);
        }
    }
    RemoveAll(p.strFolderOld);
}

}  // namespace

void PackNvRecord(const NvRecord& record, std::span<uint8_t, NV_RECORD_SIZE> out) {
    std::fill(out.begin(), out.end(), 0);
    Put16(out, NV_RECORD_ITEM, record.wItem);
    std::copy(record.abData.begin(), record.abData.end(), out.begin() + NV_RECORD_DATA);
    Put16(out, NV_RECORD_STATUS, record.wStatus);
}

NvRecord UnpackNvRecord(std::span<const uint8_t, NV_RECORD_SIZE> in) {
    NvRecord r;
    r.wItem = Get16(in, NV_RECORD_ITEM);
    std::copy_n(in.begin() + NV_RECORD_DATA, NV_ITEM_SIZE, r.abData.begin());
    r.wStatus = Get16(in, NV_RECORD_STATUS);
    return r;
}

NvBackupPaths MakeNvBackupPaths(const std::string& filePath, const std::string& versionFolder) {
    NvBackupPaths p;
    p.strFile = filePath;
    p.strFileTmp = filePath + NV_TMP_SUFFIX;
    p.strFileIncomplete = filePath + NV_INCOMPLETE_SUFFIX;
    p.strFolder = plat::Format(NV_RF_FOLDER_FMT, versionFolder.c_str());
    while (p.strFolder.size() > 1 && p.strFolder.back() == '/') p.strFolder.pop_back();
    p.strFolderTmp = p.strFolder + NV_TMP_SUFFIX;
    p.strFolderOld = p.strFolder + NV_OLD_SUFFIX;
    p.strFolderIncomplete = p.strFolder + NV_INCOMPLETE_SUFFIX;
    return p;
}

void RecoverNvBackup(const NvBackupPaths& p) {
    if (Exists(p.strFolderOld)) {
        if (Exists(p.strFileTmp)) {
            // Cut short before the file was replaced: the old pair comes back.
            RemoveAll(p.strFolder);
            Rename(p.strFolderOld, p.strFolder);
        } else {
            FinishFolderSwap(p);
        }
        SyncFolder(plat::DirName(p.strFolder));
    }
    DiscardNvBackupTemps(p);
}

bool CommitNvBackup(const NvBackupPaths& p) {
    const bool hadOld = Exists(p.strFolder);
    if (hadOld && !Rename(p.strFolder, p.strFolderOld)) return false;
    if (!Rename(p.strFolderTmp, p.strFolder)) {
        if (hadOld) Rename(p.strFolderOld, p.strFolder);
        return false;
    }
    if (!Rename(p.strFileTmp, p.strFile)) {
        RemoveAll(p.strFolder);
        if (hadOld) Rename(p.strFolderOld, p.strFolder);
        return false;
    }
    SyncFolder(plat::DirName(p.strFile));
    FinishFolderSwap(p);
    return true;
}

bool KeepIncompleteNvBackup(const NvBackupPaths& p) {
    std::error_code ec;
    fs::remove(p.strFileIncomplete, ec);
    RemoveAll(p.strFolderIncomplete);
    const bool ok = Rename(p.strFileTmp, p.strFileIncomplete) && Rename(p.strFolderTmp, p.strFolderIncomplete);
    SyncFolder(plat::DirName(p.strFile));
    if (!ok) DiscardNvBackupTemps(p);
    return ok;
}

void DiscardNvBackupTemps(const NvBackupPaths& p) {
    std::error_code ec;
    fs::remove(p.strFileTmp, ec);
    RemoveAll(p.strFolderTmp);
}
