#pragma once
// The NV backup's files on the PC: the RF calibration items (kept in "Channel.nvm", one 136-byte
// record per item) and the RF NV files of the modem's file system (kept one PC file per entry in
// the folder "_EFS_RF_NV"), both in the line's version folder; their texts. The tasks that read
// and write them over DIAG are session/nv_tasks.
//
// Beside the folder, "_EFS_RF_NV.list" names the RF NV files the backup saved, one per line: a
// restore requires each of them (a backup made before the list was kept restores what its folder
// holds).
//
// A backup never destroys the last good one: the new backup is written beside it
// ("Channel.nvm.tmp", "_EFS_RF_NV.tmp") and replaces it by renames only once it is complete. A
// backup in which reads failed is kept beside the good one as "Channel.nvm.incomplete" and
// "_EFS_RF_NV.incomplete".
//
// Every complete backup is also copied into an archive kept per modem, so that backing up one
// gateway never loses another's calibration: <version folder>/NV/<IMEI>/<YYYYMMDD-HHMMSS>/ with
// its own "Channel.nvm" and "_EFS_RF_NV" (NV/unknown/ when the IMEI was unreadable or not valid).
// Before a restore writes anything, the IMEI of the file is compared with the modem's; when both
// are valid and differ, the operator is asked (default No).
#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "modem/diag_client.h"

// ---- The backup file "Channel.nvm" ---------------------------------------------------------
// No header; records in list order. Record: item u16, zero u16, 128 data bytes, status u16,
// zero u16 (little-endian). Status 0 = read, 5 = not active, other = the failing status
// (0xFFFF: the exchange failed).
constexpr size_t NV_RECORD_SIZE = 136;
constexpr size_t NV_RECORD_ITEM = 0;
constexpr size_t NV_RECORD_DATA = 4;
constexpr size_t NV_RECORD_STATUS = 132;
static_assert(NV_RECORD_DATA + NV_ITEM_SIZE == NV_RECORD_STATUS);
static_assert(NV_RECORD_STATUS + 4 == NV_RECORD_SIZE);

struct NvRecord {
    uint16_t wItem = 0;
    std::array<uint8_t, NV_ITEM_SIZE> abData{};
    uint16_t wStatus = 0;
};

void PackNvRecord(const NvRecord& record, std::span<uint8_t, NV_RECORD_SIZE> out);
NvRecord UnpackNvRecord(std::span<const uint8_t, NV_RECORD_SIZE> in);
// The IMEI of the first item-550 record with status 0, decoded as ReadImei decodes the modem's;
// empty when there is none.
std::string ImeiOfNvRecords(const std::vector<NvRecord>& records);

// ---- Names and texts ------------------------------------------------------------------------
inline constexpr const char NV_BACKUP_FILE_FMT[] = "%s/Channel.nvm";
inline constexpr const char NV_RF_FOLDER_FMT[] = "%s/_EFS_RF_NV/";
inline constexpr const char NV_LIST_SUFFIX[] = ".list";              // the RF NV files saved
inline constexpr const char NV_TMP_SUFFIX[] = ".tmp";                // the backup being written
inline constexpr const char NV_OLD_SUFFIX[] = ".old";                // the folder being replaced
inline constexpr const char NV_INCOMPLETE_SUFFIX[] = ".incomplete";  // a backup with failed reads

inline constexpr const char TEXT_NV_BACKUP_RUNNING[] = "Running,wait please...";
inline constexpr const char TEXT_NV_RESTORE_RUNNING[] = "Running, wait please...";
inline constexpr const char TEXT_NV_DIR_FAIL[] = "can't create NV directory!";
inline constexpr const char TEXT_NV_DIR_OK[] = "NV directory create success!";
inline constexpr const char TEXT_NV_BACKING_UP[] = "Backup NV...";
inline constexpr const char TEXT_NV_RELOAD[] = "Reload NV";
inline constexpr const char TEXT_NV_RELOAD_FAIL[] = "Reload NV fail!";
inline constexpr const char TEXT_NV_EXIT_FAIL[] = "Exit KVO download mode fail!";
inline constexpr const char TEXT_NV_BACKUP_SUCCESS[] = "Backup NV success, total time is %d min %d sec";
inline constexpr const char TEXT_NV_RESTORE_SUCCESS[] = "Restore NV success, total time is %d min %d sec";
inline constexpr const char TEXT_NV_AGAIN[] =
    "If need again operation, please close the software after the restart the terminal, restart the "
    "software upgrade.";
inline constexpr const char TEXT_NV_SAVE_FAIL[] = "save NV data to Fail( create backup file fail)!";
inline constexpr const char TEXT_NV_UNKNOWN_TYPE[] = "unknow terminal type!";
inline constexpr const char TEXT_NV_UNKNOWN_TYPE_BOX[] = "unknow terminal type!!";
inline constexpr const char TEXT_NV_CANNOT_CREATE_DIR[] = "Cannot create directory:%s";
inline constexpr const char TEXT_NV_CANNOT_CREATE_DIR_CN[] = "不能创建NV备份目录:%s";
inline constexpr const char TEXT_NV_BACKUP_ID[] = "Backup NV ID = %d";
inline constexpr const char TEXT_NV_BACKUP_NOT_ACTIVE[] = "Backup NV ID = %d is not active";
inline constexpr const char TEXT_NV_RESTORE_ID[] = "Restore NV ID = %d";
inline constexpr const char TEXT_NV_RESTORE_NOT_ACTIVE[] = "Restore NV ID = %d is not active or Read Only";
inline constexpr const char TEXT_NV_OPEN_FAIL[] = "can't open the NV file!";
inline constexpr const char TEXT_NV_BAD_SIZE[] = "can't open the NV file! (size %d is not a multiple of 136)";
// The record is numbered from 1.
inline constexpr const char TEXT_NV_BAD_RECORD[] = "can't open the NV file! (record %d holds item %d)";
inline constexpr const char TEXT_NV_SPC_FAIL[] = "SendSPC Error!";
inline constexpr const char TEXT_NV_INCOMPLETE[] =
    "Backup NV incomplete: %d NV items and %d RF NV files could not be read.";
// A restore in which RF NV files could not be written (the status line, then the end of the task).
inline constexpr const char TEXT_NV_RESTORE_INCOMPLETE_CN[] = "NV恢复不完整：%d个RF NV文件未能写入模块。";
inline constexpr const char TEXT_NV_RESTORE_INCOMPLETE[] = "Restore NV incomplete: %d RF NV files could not be written.";

// The archive and the IMEI check: Chinese texts, and English ones under the English flag.
inline constexpr const char NV_ARCHIVE_FOLDER[] = "NV";
inline constexpr const char NV_ARCHIVE_UNKNOWN[] = "unknown";
inline constexpr const char TEXT_NV_ARCHIVED_CN[] = "NV备份已存档：%s";
inline constexpr const char TEXT_NV_ARCHIVED_EN[] = "NV backup archived: %s";
inline constexpr const char TEXT_NV_ARCHIVE_FAIL_CN[] = "NV备份存档失败：%s";
inline constexpr const char TEXT_NV_ARCHIVE_FAIL_EN[] = "NV backup archive fail: %s";
// A whole archive copy whose folder could not be renamed (%s: the folder under its temporary name).
inline constexpr const char TEXT_NV_ARCHIVE_KEPT_CN[] = "NV备份存档未能改名，保留为：%s";
inline constexpr const char TEXT_NV_ARCHIVE_KEPT_EN[] = "NV backup archive rename fail, kept as: %s";
// The file an archive copy holds while it is filled.
inline constexpr const char NV_ARCHIVE_COPYING[] = "copying";
inline constexpr const char TEXT_NV_RESTORE_FROM_CN[] = "从存档恢复NV：%s";
inline constexpr const char TEXT_NV_RESTORE_FROM_EN[] = "Restore NV from: %s";
// The question: the file's IMEI, the modem's; then the newest archive line when there is one.
inline constexpr const char TEXT_NV_IMEI_DIFFERS_CN[] =
    "要恢复的NV文件属于IMEI %s，本模块的IMEI是 %s。\n校准数据只属于原设备，写入其他设备会使射频指标不合格。\n";
inline constexpr const char TEXT_NV_IMEI_DIFFERS_EN[] =
    "The NV file to restore belongs to IMEI %s, but this modem's IMEI is %s.\nThe calibration belongs to "
    "the unit it was read from; written into another unit it spoils the RF.\n";
inline constexpr const char TEXT_NV_IMEI_NEWEST_CN[] = "本模块IMEI最新的备份：%s\n";
inline constexpr const char TEXT_NV_IMEI_NEWEST_EN[] = "Newest backup of this modem's IMEI: %s\n";
inline constexpr const char TEXT_NV_IMEI_ASK_CN[] = "仍然恢复吗？";
inline constexpr const char TEXT_NV_IMEI_ASK_EN[] = "Restore anyway?";
inline constexpr const char TEXT_NV_IMEI_INSTEAD_CN[] = "改为从 %s 恢复吗？";
inline constexpr const char TEXT_NV_IMEI_INSTEAD_EN[] = "Restore from %s instead?";
// A restore whose backup lacks RF NV files its list names (%s: the names), or whose list cannot be
// read (%s: its path); the RF folder of a backup that cannot be created (%s: the folder).
inline constexpr const char TEXT_NV_RF_MISSING_CN[] = "NV备份缺少RF NV文件：%s，已取消恢复NV，未向模块写入任何数据。";
inline constexpr const char TEXT_NV_RF_MISSING_EN[] =
    "NV backup lacks RF NV files: %s; NV restore cancelled, nothing was written to the modem.";
inline constexpr const char TEXT_NV_RF_LIST_BAD_CN[] = "无法读取RF NV文件清单：%s，已取消恢复NV，未向模块写入任何数据。";
inline constexpr const char TEXT_NV_RF_LIST_BAD_EN[] =
    "can't read the RF NV file list: %s; NV restore cancelled, nothing was written to the modem.";
inline constexpr const char TEXT_NV_IMEI_DECLINED_CN[] = "IMEI不一致，已取消恢复NV，未向模块写入任何数据。";
inline constexpr const char TEXT_NV_IMEI_DECLINED_EN[] =
    "IMEI mismatch: NV restore cancelled, nothing was written to the modem.";

// ---- The backup's files on the PC ------------------------------------------------------------
// Where a backup of `versionFolder` lives, with its temporary and kept-aside names (no trailing
// '/' on the folders).
struct NvBackupPaths {
    std::string strFile;             // <v>/Channel.nvm
    std::string strFileTmp;          // <v>/Channel.nvm.tmp
    std::string strFileIncomplete;   // <v>/Channel.nvm.incomplete
    std::string strFolder;           // <v>/_EFS_RF_NV
    std::string strFolderTmp;        // <v>/_EFS_RF_NV.tmp
    std::string strFolderOld;        // <v>/_EFS_RF_NV.old (during the replacement only)
    std::string strFolderIncomplete; // <v>/_EFS_RF_NV.incomplete
    std::string strList;             // <v>/_EFS_RF_NV.list
    std::string strListTmp;          // <v>/_EFS_RF_NV.list.tmp
};
NvBackupPaths MakeNvBackupPaths(const std::string& filePath, const std::string& versionFolder);
// Finishes or rolls back a replacement that a crash cut short, then removes temporaries. When the
// old folder is all that is left of the RF NV files (the live one is missing), it is renamed back
// and nothing is deleted.
void RecoverNvBackup(const NvBackupPaths& paths);
// The complete new backup (temporaries) replaces the old one: the folder is swapped by renames,
// then the file is renamed over the old one, then the list. False (old backup in place) when a
// rename before the file's fails.
bool CommitNvBackup(const NvBackupPaths& paths);
// The temporaries become the ".incomplete" pair (replacing an older one); no list is kept.
bool KeepIncompleteNvBackup(const NvBackupPaths& paths);
void DiscardNvBackupTemps(const NvBackupPaths& paths);

// The list of RF NV file names (`names`, each "%08d"), written to `path` and flushed.
bool WriteRfNvList(const std::string& path, const std::vector<std::string>& names);
// The files named by the backup's list that its folder lacks, into `missing` (empty when it has
// them all, or when the backup has no list). False when the list exists but cannot be read or
// holds a line that is no RF NV file name.
bool MissingRfNvFiles(const NvBackupPaths& paths, std::vector<std::string>& missing);

// ---- The archive of complete backups ----------------------------------------------------------
// <versionFolder>/NV/<imei>, or NV/unknown when `imei` is not a valid IMEI.
std::string NvArchiveImeiFolder(const std::string& versionFolder, const std::string& imei);
// "YYYYMMDD-HHMMSS" of a local time.
std::string NvArchiveStamp(const std::tm& local);
// Copies the complete backup of `backup` ("Channel.nvm" and the files of "_EFS_RF_NV") into a new
// folder of `imeiFolder` named `stamp`, or `stamp`-2, -3, ... when a backup of the same second is
// there. The copy is written as "<name>.tmp" (with the NV_ARCHIVE_COPYING marker until it is
// whole) and renamed when whole; ".tmp" folders left in the archive by a copy cut short are removed
// first. `archiveFolder` receives the folder's path: on failure the one that was meant, when the
// rename failed the temporary folder, which is kept. `afterEachFile` runs after each file copied
// (tests).
enum class NvArchiveResult { Archived, Failed, KeptTemporary };
NvArchiveResult ArchiveNvBackup(const NvBackupPaths& backup, const std::string& imeiFolder, const std::string& stamp,
                                std::string& archiveFolder, const std::function<void()>& afterEachFile = {});
// The newest archive folder (by its name) of `imei` that holds a "Channel.nvm"; empty when none.
std::string NewestNvArchive(const std::string& versionFolder, const std::string& imei);
