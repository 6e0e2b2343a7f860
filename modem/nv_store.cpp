// The NV backup's files on the PC: the 136-byte record codec, and the replacement of a backup by a
// complete new one through renames, with recovery after a crash in the middle.
//
// Replacement order (CommitNvBackup):
//   1. _EFS_RF_NV      -> _EFS_RF_NV.old
//   2. _EFS_RF_NV.tmp  -> _EFS_RF_NV
//   3. Channel.nvm.tmp -> Channel.nvm (replaces the old file in one step)
//   4. _EFS_RF_NV.list.tmp -> _EFS_RF_NV.list
//   5. sub-folders of _EFS_RF_NV.old move into _EFS_RF_NV; _EFS_RF_NV.old is removed.
// While _EFS_RF_NV.old exists, Channel.nvm.tmp tells whether step 3 happened: present, the old
// pair is put back (steps 1-2 undone); absent, steps 4 and 5 are finished. A list.tmp without a
// Channel.nvm.tmp is always one that step 4 did not rename yet: temporaries are removed list
// first, and the list of an incomplete backup is never kept.
//
// The archive: NV/<IMEI>/<stamp>.tmp is filled and renamed to NV/<IMEI>/<stamp> when whole. The
// copy carries a marker file while it is filled; a ".tmp" folder found there later with the marker
// (or without its "Channel.nvm") is what a cut-short copy left and is removed. One without the
// marker is a complete copy whose rename failed: it is kept.

#include <algorithm>
#include <cstdio>
#include <vector>

#include "modem/nv_store.h"
#include "platform/byte_order.h"
#include "platform/fs.h"
#include "platform/trace.h"

namespace {

bool Exists(const std::string& path) { return plat::EntryKindOf(path) != plat::EntryKind::None; }

// Through the platform's replacement: a moment's hold by a virus scanner is waited out.
bool Rename(const std::string& from, const std::string& to) { return plat::RenameOver(from, to); }

void RemoveAll(const std::string& path) { plat::RemoveTree(path); }

// The names of the entries of `kind` in `folder` (nothing when it cannot be read), sorted.
std::vector<std::string> EntryNames(const std::string& folder, plat::EntryKind kind) {
    std::vector<plat::FolderEntry> entries;
    plat::ListFolder(folder, entries);
    std::vector<std::string> names;
    for (const plat::FolderEntry& e : entries)
        if (e.kind == kind) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
}

void SyncFolder(const std::string& folder) { plat::SyncFolder(folder); }

// Step 4: sub-folders that someone kept in the old folder stay with the backup folder; the old
// files go.
void FinishFolderSwap(const NvBackupPaths& p) {
    for (const std::string& name : EntryNames(p.strFolderOld, plat::EntryKind::Folder)) {
        const std::string target = plat::JoinPath(p.strFolder, name);
        if (!Exists(target)) Rename(plat::JoinPath(p.strFolderOld, name), target);
    }
    RemoveAll(p.strFolderOld);
}

// A copy of a regular file, flushed to disk; false on any failure.
bool CopyFileSynced(const std::string& from, const std::string& to) {
    std::FILE* in = plat::OpenFile(from, "rb");
    if (in == nullptr) return false;
    plat::OutFile out;
    bool ok = out.Open(to);
    unsigned char buf[8192];
    while (ok) {
        const size_t n = std::fread(buf, 1, sizeof buf, in);
        if (n > 0) ok = out.Write({buf, n});
        if (n < sizeof buf) {
            ok = ok && std::ferror(in) == 0;
            break;
        }
    }
    std::fclose(in);
    ok = ok && out.Sync();
    return out.Close() && ok;
}

// "YYYYMMDD-HHMMSS" or "YYYYMMDD-HHMMSS-N": the stamp and N (1 without a suffix); N = 0 when the
// name is no archive folder's.
std::pair<std::string, long> ArchiveName(const std::string& name) {
    constexpr size_t kStamp = 15;
    auto digits = [](const std::string& t) {
        return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (name.size() < kStamp || name[8] != '-' || !digits(name.substr(0, 8)) || !digits(name.substr(9, 6)))
        return {"", 0};
    if (name.size() == kStamp) return {name.substr(0, kStamp), 1};
    const std::string suffix = name.substr(kStamp + 1);
    if (name[kStamp] != '-' || !digits(suffix) || suffix.size() > 6) return {"", 0};
    return {name.substr(0, kStamp), std::stol(suffix)};
}

// ".tmp" folders that a cut-short archive copy left in NV/<IMEI>/.
void RemoveArchiveTemps(const std::string& archiveRoot) {
    for (const std::string& imei : EntryNames(archiveRoot, plat::EntryKind::Folder)) {
        const std::string folder = plat::JoinPath(archiveRoot, imei);
        std::vector<plat::FolderEntry> entries;
        plat::ListFolder(folder, entries);
        for (const plat::FolderEntry& e : entries) {
            if (e.name.size() <= 4 || e.name.compare(e.name.size() - 4, 4, NV_TMP_SUFFIX) != 0) continue;
            const std::string t = plat::JoinPath(folder, e.name);
            if (Exists(plat::JoinPath(t, NV_ARCHIVE_COPYING)) || !Exists(plat::Format(NV_BACKUP_FILE_FMT, t.c_str())))
                RemoveAll(t);
        }
    }
}

}  // namespace

void PackNvRecord(const NvRecord& record, std::span<uint8_t, NV_RECORD_SIZE> out) {
    std::fill(out.begin(), out.end(), 0);
    plat::PutLe16(out, NV_RECORD_ITEM, record.wItem);
    std::copy(record.abData.begin(), record.abData.end(), out.begin() + NV_RECORD_DATA);
    plat::PutLe16(out, NV_RECORD_STATUS, record.wStatus);
}

NvRecord UnpackNvRecord(std::span<const uint8_t, NV_RECORD_SIZE> in) {
    NvRecord r;
    r.wItem = plat::GetLe16(in, NV_RECORD_ITEM);
    std::copy_n(in.begin() + NV_RECORD_DATA, NV_ITEM_SIZE, r.abData.begin());
    r.wStatus = plat::GetLe16(in, NV_RECORD_STATUS);
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
    p.strList = p.strFolder + NV_LIST_SUFFIX;
    p.strListTmp = p.strList + NV_TMP_SUFFIX;
    return p;
}

void RecoverNvBackup(const NvBackupPaths& p) {
    if (Exists(p.strListTmp) && !Exists(p.strFileTmp)) Rename(p.strListTmp, p.strList);
    if (Exists(p.strFolderOld) && !Exists(p.strFolder)) {
        // A rollback whose rename failed (or a hand that moved the folder): the old folder is the
        // only copy of those files.
        Rename(p.strFolderOld, p.strFolder);
        SyncFolder(plat::DirName(p.strFolder));
        return;
    }
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
    // An old list left beside the new backup would name another backup's files: without a new
    // one, the backup restores as one made before the lists.
    if (Exists(p.strListTmp) && !Rename(p.strListTmp, p.strList)) {
        plat::TraceF("NV backup: %s could not be renamed, the list is left out\n", p.strListTmp.c_str());
        plat::RemoveFile(p.strList);
        plat::RemoveFile(p.strListTmp);
    }
    SyncFolder(plat::DirName(p.strFile));
    FinishFolderSwap(p);
    return true;
}

bool KeepIncompleteNvBackup(const NvBackupPaths& p) {
    plat::RemoveFile(p.strListTmp);
    plat::RemoveFile(p.strFileIncomplete);
    RemoveAll(p.strFolderIncomplete);
    const bool ok = Rename(p.strFileTmp, p.strFileIncomplete) && Rename(p.strFolderTmp, p.strFolderIncomplete);
    SyncFolder(plat::DirName(p.strFile));
    if (!ok) DiscardNvBackupTemps(p);
    return ok;
}

void DiscardNvBackupTemps(const NvBackupPaths& p) {
    plat::RemoveFile(p.strListTmp);  // first: a list.tmp alone means a commit in its last steps
    plat::RemoveFile(p.strFileTmp);
    RemoveAll(p.strFolderTmp);
}

bool WriteRfNvList(const std::string& path, const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names) text += n + "\n";
    plat::OutFile out;
    bool ok = out.Open(path);
    ok = ok && out.Write({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
    ok = ok && out.Sync();
    return out.Close() && ok;
}

bool MissingRfNvFiles(const NvBackupPaths& p, std::vector<std::string>& missing) {
    constexpr long long kMaxListSize = 64 * 1024;
    missing.clear();
    if (!Exists(p.strList)) return true;
    std::vector<unsigned char> bytes;
    if (!plat::ReadFileBytes(p.strList, bytes, kMaxListSize)) return false;
    std::string line;
    for (size_t i = 0; i <= bytes.size(); ++i) {
        const char c = i < bytes.size() ? static_cast<char>(bytes[i]) : '\n';
        if (c == '\r') continue;
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.empty()) continue;
        if (line.size() != 8 || !std::all_of(line.begin(), line.end(), [](char d) { return d >= '0' && d <= '9'; }))
            return false;
        if (!plat::IsRegularFile(plat::JoinPath(p.strFolder, line))) missing.push_back(line);
        line.clear();
    }
    return true;
}

std::string ImeiOfNvRecords(const std::vector<NvRecord>& records) {
    for (const NvRecord& r : records)
        if (r.wItem == NV_IMEI_ITEM && r.wStatus == 0) return ImeiFromNvData(r.abData);
    return {};
}

std::string NvArchiveImeiFolder(const std::string& versionFolder, const std::string& imei) {
    return plat::JoinPath(plat::JoinPath(versionFolder, NV_ARCHIVE_FOLDER), IsValidImei(imei) ? imei : NV_ARCHIVE_UNKNOWN);
}

std::string NvArchiveStamp(const std::tm& t) {
    return plat::Format("%04d%02d%02d-%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                        t.tm_sec);
}

NvArchiveResult ArchiveNvBackup(const NvBackupPaths& backup, const std::string& imeiFolder, const std::string& stamp,
                                std::string& archiveFolder, const std::function<void()>& afterEachFile) {
    archiveFolder = plat::JoinPath(imeiFolder, stamp);
    RemoveArchiveTemps(plat::DirName(imeiFolder));
    plat::EnsureFolderTree(imeiFolder);
    if (!plat::IsFolder(imeiFolder)) return NvArchiveResult::Failed;
    // A backup of the same second gets the next free suffix.
    for (int n = 2; Exists(archiveFolder); ++n) {
        if (n > 999) return NvArchiveResult::Failed;
        archiveFolder = plat::JoinPath(imeiFolder, stamp + "-" + std::to_string(n));
    }

    const std::string tmp = archiveFolder + NV_TMP_SUFFIX;
    const std::string marker = plat::JoinPath(tmp, NV_ARCHIVE_COPYING);
    const NvBackupPaths to = MakeNvBackupPaths(plat::Format(NV_BACKUP_FILE_FMT, tmp.c_str()), tmp);
    bool ok = plat::MakeFolder(tmp);
    if (ok) {
        plat::OutFile markerFile;
        ok = markerFile.Open(marker) && markerFile.Close();
    }
    ok = ok && plat::MakeFolder(to.strFolder);
    ok = ok && CopyFileSynced(backup.strFile, to.strFile);
    if (ok && Exists(backup.strList)) ok = CopyFileSynced(backup.strList, to.strList);
    if (ok && afterEachFile) afterEachFile();
    // The backup's RF NV files (its folder holds nothing else of the backup's).
    std::vector<std::string> files;
    if (ok && plat::EntryKindOf(backup.strFolder) == plat::EntryKind::Folder) {
        std::vector<plat::FolderEntry> entries;
        if (!plat::ListFolder(backup.strFolder, entries)) ok = false;
        for (const plat::FolderEntry& e : entries)
            if (e.kind == plat::EntryKind::File) files.push_back(e.name);
    }
    std::sort(files.begin(), files.end());
    for (const std::string& name : files) {
        if (!ok) break;
        ok = CopyFileSynced(plat::JoinPath(backup.strFolder, name), plat::JoinPath(to.strFolder, name));
        if (ok && afterEachFile) afterEachFile();
    }
    if (ok) {
        SyncFolder(to.strFolder);
        ok = plat::RemoveFile(marker);
        SyncFolder(tmp);
    }
    if (!ok) {
        RemoveAll(tmp);
        return NvArchiveResult::Failed;
    }
    // From here the copy is whole: a failed rename keeps it under its temporary name.
    if (!Rename(tmp, archiveFolder)) {
        archiveFolder = tmp;
        return NvArchiveResult::KeptTemporary;
    }
    SyncFolder(imeiFolder);
    return NvArchiveResult::Archived;
}

std::string NewestNvArchive(const std::string& versionFolder, const std::string& imei) {
    if (!IsValidImei(imei)) return {};
    const std::string folder = NvArchiveImeiFolder(versionFolder, imei);
    std::pair<std::string, long> best{"", 0};
    std::string newest;
    std::vector<plat::FolderEntry> entries;
    plat::ListFolder(folder, entries);
    for (const plat::FolderEntry& e : entries) {
        const auto name = ArchiveName(e.name);
        if (name.second == 0 || name <= best) continue;
        const std::string candidate = plat::JoinPath(folder, e.name);
        if (!plat::IsRegularFile(plat::Format(NV_BACKUP_FILE_FMT, candidate.c_str()))) continue;
        best = name;
        newest = candidate;
    }
    return newest;
}
