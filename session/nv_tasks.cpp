#include "session/nv_tasks.h"


#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "model/document.h"
#include "modem/rf_nv_lists.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/trace.h"
#include "session/line_events.h"

namespace {

constexpr int kModeSwitchTries = 3;  // open-port tries around the download-mode switch
constexpr int kEnterTries = 3;       // EnterDownloadMode's own tries
constexpr int kExitTries = 2;        // ExitDownloadMode's own tries
constexpr int kModeSwitchPauseMs = 2000;
constexpr int kEnterRetryPauseMs = 1000;
constexpr int kSecondReadPauseMs = 1000;
constexpr int kSecondWritePauseMs = 2000;
constexpr int kOfflineTries = 3;
constexpr int kOfflineRetryPauseMs = 200;
constexpr int kAfterOfflinePauseMs = 1000;
constexpr int kBackupDonePauseMs = 1000;
constexpr int kRestoreDonePauseMs = 3000;
// No backup comes near this (5039 records at most); a larger file is refused unread.
constexpr long long kMaxNvFileSize = 64LL * 1024 * 1024;

// "Channel.nvm.tmp", flushed to disk before it is renamed; removed when abandoned.
class NvFileWriter {
public:
    explicit NvFileWriter(const std::string& path) { m_file.Open(path); }
    NvFileWriter(const NvFileWriter&) = delete;
    NvFileWriter& operator=(const NvFileWriter&) = delete;

    bool IsOpen() const { return m_file.IsOpen(); }
    void Write(const NvRecord& record) {
        std::array<uint8_t, NV_RECORD_SIZE> bytes{};
        PackNvRecord(record, bytes);
        if (m_bOk && !m_file.Write(bytes)) m_bOk = false;
    }
    // Flushes and closes; false when any write failed.
    bool Finish() {
        if (!m_file.IsOpen()) return false;
        if (!m_file.Sync()) m_bOk = false;
        if (!m_file.Close()) m_bOk = false;
        return m_bOk;
    }

private:
    plat::OutFile m_file;
    bool m_bOk = true;
};

bool IsNvItem(int entry) { return entry >= 0 && entry < RF_NV_FILE_BASE && entry != RF_NV_LIST_END; }

}  // namespace

CNvTasks::CNvTasks(CServiceToolDoc& doc, ILineTaskEvents& events, DiagClient& diag, int line, std::string restoreFrom)
    : m_doc(doc), m_events(events), m_diag(diag), m_nLine(line), m_strRestoreFrom(std::move(restoreFrom)) {}

const char* CNvTasks::Text(const char* cn, const char* en) const { return m_doc.English() ? en : cn; }

std::string CNvTasks::VersionFolder() const { return m_doc.GetLinePath(m_nLine, LineField::VersionFolder); }

void CNvTasks::Status(const std::string& text) { m_events.Status(m_nLine, text); }

void CNvTasks::Fail(const std::string& text) {
    // The session's End asks for the web handshake again.
    m_events.End(m_nLine, text, LineOutcome::FailedClosing);
}

// Up to three open-port tries; each attached try waits 2000 ms and switches (three tries of its
// own). The thread goes on whatever the outcome.
void CNvTasks::EnterDownloadMode() {
    ILinkTunnel& tunnel = m_diag.Tunnel();
    for (int t = 0; t < kModeSwitchTries && !plat::StopRequested(); ++t) {
        if (!tunnel.Attach(m_nLine)) continue;
        plat::Sleep(kModeSwitchPauseMs);
        if (m_diag.EnterDownloadMode(kEnterTries)) return;
        plat::Sleep(kEnterRetryPauseMs);
    }
}

// Up to three open-port tries; the first attached try waits 2000 ms and switches back (two tries
// of its own), which ends the loop either way. Then the channel is closed. A gateway that hangs up
// after its reply leaves nothing to close. False when no switch succeeded (none was attempted
// counts too: the gateway would stay in download mode) or the close failed.
bool CNvTasks::LeaveDownloadMode() {
    ILinkTunnel& tunnel = m_diag.Tunnel();
    bool bLeft = false;
    for (int t = 0; t < kModeSwitchTries && !plat::StopRequested(); ++t) {
        if (!tunnel.Attach(m_nLine)) continue;
        plat::Sleep(kModeSwitchPauseMs);
        if (!m_diag.ExitDownloadMode(kExitTries)) return false;
        bLeft = true;
        break;
    }
    if (!bLeft) return false;
    return tunnel.Close() != 0;
}

void CNvTasks::BackupNvThread() {
    const int64_t start = plat::TickMs();
    Status(TEXT_NV_BACKUP_RUNNING);
    EnterDownloadMode();
    plat::Sleep(kModeSwitchPauseMs);

    std::string imei;
    m_diag.ReadImei(imei);  // empty on failure
    m_doc.Line(m_nLine).SetModemVersion(imei);
    m_events.VersionsChanged(m_nLine);
    uint32_t esn = 0;
    m_diag.ReadEsn(esn);

    const std::string folder = VersionFolder();
    if (!EnsureNvFolder(folder)) return Fail(TEXT_NV_DIR_FAIL);
    Status(TEXT_NV_DIR_OK);
    const std::string path = plat::Format(NV_BACKUP_FILE_FMT, folder.c_str());
    Status(TEXT_NV_BACKING_UP);
    if (!BackupRfNv(path)) {
        if (m_strNothingDone.empty()) return Fail(m_diag.LastError());
        // Nothing was read: the gateway leaves download mode before the task fails.
        if (!LeaveDownloadMode()) Status(TEXT_NV_EXIT_FAIL);
        return Fail(m_strNothingDone);
    }
    if (m_nFailedItems > 0 || m_nFailedFiles > 0)
        return Fail(plat::Format(TEXT_NV_INCOMPLETE, m_nFailedItems, m_nFailedFiles));
    if (!LeaveDownloadMode()) return Fail(TEXT_NV_EXIT_FAIL);

    // The complete backup is copied into the archive of the modem's IMEI, stamped with local time.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    plat::LocalTime(now, local);
    std::string archive;
    switch (ArchiveNvBackup(MakeNvBackupPaths(path, folder), NvArchiveImeiFolder(folder, imei), NvArchiveStamp(local),
                            archive)) {
        case NvArchiveResult::Archived: break;
        case NvArchiveResult::KeptTemporary:
            return Fail(plat::Format(Text(TEXT_NV_ARCHIVE_KEPT_CN, TEXT_NV_ARCHIVE_KEPT_EN), archive.c_str()));
        case NvArchiveResult::Failed:
            return Fail(plat::Format(Text(TEXT_NV_ARCHIVE_FAIL_CN, TEXT_NV_ARCHIVE_FAIL_EN), archive.c_str()));
    }
    Status(plat::Format(Text(TEXT_NV_ARCHIVED_CN, TEXT_NV_ARCHIVED_EN), archive.c_str()));

    if (m_doc.m_nMode.load() == MODE_BACKUP_NV) {
        m_doc.ChooseMode(MODE_BACKUP_NV);
        m_events.ModeChanged(MODE_BACKUP_NV);
    }
    const int seconds = static_cast<int>((plat::TickMs() - start) / 1000);
    Status(plat::Format(TEXT_NV_BACKUP_SUCCESS, seconds / 60, seconds % 60));
    m_events.Picture(m_nLine, PIC_PASS);
    m_events.Finished(m_nLine);
    m_events.Succeeded(m_nLine);  // the handshake comes again before the next task
    m_events.Progress(m_nLine, 100);
    plat::Sleep(kBackupDonePauseMs);
    m_events.Message(TEXT_NV_AGAIN);
}

void CNvTasks::RestoreNvThread() {
    const int64_t start = plat::TickMs();
    Status(TEXT_NV_RESTORE_RUNNING);
    EnterDownloadMode();

    Status(TEXT_NV_RELOAD);
    std::string source = m_strRestoreFrom;
    if (source.empty()) source = VersionFolder();
    else Status(plat::Format(Text(TEXT_NV_RESTORE_FROM_CN, TEXT_NV_RESTORE_FROM_EN), source.c_str()));
    const std::string path = plat::Format(NV_BACKUP_FILE_FMT, source.c_str());
    if (!RestoreRfNv(path)) {
        if (!m_bDeclined && m_strNothingDone.empty()) return Fail(TEXT_NV_RELOAD_FAIL);
        // Nothing was written: the gateway leaves download mode as after a restore.
        if (!LeaveDownloadMode()) Status(TEXT_NV_EXIT_FAIL);
        return Fail(m_bDeclined ? std::string(Text(TEXT_NV_IMEI_DECLINED_CN, TEXT_NV_IMEI_DECLINED_EN)) : m_strNothingDone);
    }
    const bool bLeft = LeaveDownloadMode();
    if (m_nFailedWrites > 0) {
        // Never the pass picture for a calibration that did not reach the modem whole.
        if (!bLeft) Status(TEXT_NV_EXIT_FAIL);
        Status(plat::Format(TEXT_NV_RESTORE_INCOMPLETE_CN, m_nFailedWrites));
        return Fail(plat::Format(TEXT_NV_RESTORE_INCOMPLETE, m_nFailedWrites));
    }
    if (!bLeft) return Fail(TEXT_NV_EXIT_FAIL);

    if (m_doc.m_nMode.load() == MODE_RESTORE_NV) {
        m_doc.ChooseMode(MODE_RESTORE_NV);
        m_events.ModeChanged(MODE_RESTORE_NV);
    }
    const int seconds = static_cast<int>((plat::TickMs() - start) / 1000);
    const std::string done = plat::Format(TEXT_NV_RESTORE_SUCCESS, seconds / 60, seconds % 60);
    m_events.Message(done);
    Status(done);
    m_events.Picture(m_nLine, PIC_PASS);
    m_events.Finished(m_nLine);
    m_events.Succeeded(m_nLine);  // the handshake comes again before the next task
    m_events.Progress(m_nLine, 100);
    plat::Sleep(kRestoreDonePauseMs);
    m_events.Message(TEXT_NV_AGAIN);
}

bool CNvTasks::EnsureNvFolder(const std::string& path) {
    // A drive root counts as existing; one trailing separator is ignored; one level is created.
    if (plat::EnsureFolder(path)) return true;
    m_events.Message(plat::Format(m_doc.English() ? TEXT_NV_CANNOT_CREATE_DIR : TEXT_NV_CANNOT_CREATE_DIR_CN,
                                   path.c_str()));
    return false;
}

bool CNvTasks::BackupRfNv(const std::string& path) {
    m_nFailedItems = 0;
    m_nFailedFiles = 0;
    m_strNothingDone.clear();
    const NvBackupPaths paths = MakeNvBackupPaths(path, VersionFolder());
    RecoverNvBackup(paths);
    DiscardNvBackupTemps(paths);  // what the recovery left of an earlier run

    // 1. The new backup file, beside the old one.
    NvFileWriter out(paths.strFileTmp);
    if (!out.IsOpen()) {
        Status(TEXT_NV_SAVE_FAIL);
        return false;
    }
    // 2. The list of the terminal type.
    RfNvList list{};
    if (BuildRfNvList(GetTerminalTypeKey(m_doc.Line(m_nLine).CpeVersion()), list) != 0) {
        Status(TEXT_NV_UNKNOWN_TYPE);
        m_events.Message(TEXT_NV_UNKNOWN_TYPE_BOX);
        out.Finish();
        DiscardNvBackupTemps(paths);
        return false;
    }
    // 3. The new RF NV file folder, empty (temporaries of an earlier run were removed above).
    const std::string rfFolder = paths.strFolderTmp + "/";
    if (!plat::EnsureFolder(rfFolder)) {
        out.Finish();
        DiscardNvBackupTemps(paths);
        // The operator knows the folder by its own name, not by its temporary one.
        m_strNothingDone = plat::Format(Text(TEXT_NV_CANNOT_CREATE_DIR_CN, TEXT_NV_CANNOT_CREATE_DIR),
                                        (paths.strFolder + "/").c_str());
        return false;
    }

    // 4. The list in order.
    const bool bCpeTask = m_doc.Line(m_nLine).nTaskType.load() == TaskType::CpeUpgrade;
    const bool bDump = m_doc.m_bDumpNv.load();
    bool bStopped = false;
    // The records are kept until the list is through: an item whose second, different answer
    // comes later is failed in place.
    std::vector<NvRecord> records;
    std::vector<std::string> files;  // the RF NV files saved
    for (size_t p = 0; p < RF_NV_LIST_SIZE; ++p) {
        const int pos = static_cast<int>(p);
        m_events.Progress(m_nLine, bCpeTask ? 5 * pos / 5040 + 2 : 100 * pos / 5040);
        const int32_t entry = list[p];
        if (entry == RF_NV_LIST_END) break;
        if (plat::StopRequested()) {
            bStopped = true;
            break;
        }
        if (IsRfNvFileEntry(entry)) {
            Status(plat::Format(TEXT_NV_BACKUP_ID, entry));
            const EfsCopyResult r = m_diag.CopyEfsFileToPc(rfFolder + RfNvFileName(entry), RfNvFilePath(entry));
            if (r == EfsCopyResult::Failed) ++m_nFailedFiles;
            if (r == EfsCopyResult::Done) files.push_back(RfNvFileName(entry));
            continue;
        }
        NvRecord record;
        record.wItem = static_cast<uint16_t>(entry);
        int16_t status = 0;
        m_events.Waiting(m_nLine, WaitFor::ModemReply, 2 * DiagClient::NvReadBoundMs() + plat::Scaled(kSecondReadPauseMs));
        bool bRead = m_diag.ReadNvItem(record.wItem, record.abData, status) != 0;
        if (!bRead && status == NV_NOTACTIVE_S) {
            record.wStatus = static_cast<uint16_t>(status);
            records.push_back(record);
            Status(plat::Format(TEXT_NV_BACKUP_NOT_ACTIVE, entry));
            continue;
        }
        if (!bRead) {
            plat::Sleep(kSecondReadPauseMs);
            record.abData.fill(0);
            bRead = m_diag.ReadNvItem(record.wItem, record.abData, status) != 0;
            if (!bRead && (pos == STOP_POSITION_A || pos == STOP_POSITION_B)) {
                bStopped = true;
                break;
            }
        }
        if (bRead) {
            status = NV_DONE_S;
            if (bDump) m_events.History(m_nLine, NvDataDump(record.abData) + "\n");
        } else if (status == NV_RWOPFAILED_S) {
            ++m_nFailedItems;
        }
        record.wStatus = static_cast<uint16_t>(status);
        records.push_back(record);
        Status(plat::Format(TEXT_NV_BACKUP_ID, entry));
    }
    m_events.Waiting(m_nLine, WaitFor::None, 0);
    for (const uint16_t item : m_diag.TakeNvConflicts()) {
        for (NvRecord& r : records) {
            if (r.wItem != item || r.wStatus == static_cast<uint16_t>(NV_RWOPFAILED_S)) continue;
            plat::TraceF("Backup NV ID = %d: two different answers, the item is failed\n", int{item});
            r.abData.fill(0);
            r.wStatus = static_cast<uint16_t>(NV_RWOPFAILED_S);
            ++m_nFailedItems;
        }
    }
    for (const NvRecord& r : records) out.Write(r);

    // 5. The new backup replaces the old one only when it is complete; beside it, the list of
    // the RF NV files it holds.
    const bool bListed = WriteRfNvList(paths.strListTmp, files);
    if (!out.Finish() || !bListed) {
        DiscardNvBackupTemps(paths);
        Status(TEXT_NV_SAVE_FAIL);
        return false;
    }
    if (bStopped || m_nFailedItems > 0 || m_nFailedFiles > 0) {
        KeepIncompleteNvBackup(paths);
        return !bStopped;
    }
    if (!CommitNvBackup(paths)) {
        DiscardNvBackupTemps(paths);
        Status(TEXT_NV_SAVE_FAIL);
        return false;
    }
    return true;
}

// The item read back (request data zero but byte 0, which selects the entry of table items)
// must equal the data written.
bool CNvTasks::ReadBackMatches(const NvRecord& record) {
    std::array<uint8_t, NV_ITEM_SIZE> back{};
    back[0] = record.abData[0];
    int16_t status = 0;
    if (!m_diag.ReadNvItem(record.wItem, back, status)) return false;
    return back == record.abData;
}

// The whole file, read and checked; a backup cut short in its folder is recovered first.
bool CNvTasks::LoadNvFile(const std::string& path, std::vector<NvRecord>& records, size_t& length) {
    RecoverNvBackup(MakeNvBackupPaths(path, plat::DirName(path)));
    records.clear();
    std::vector<uint8_t> bytes;
    if (!plat::ReadFileBytes(path, bytes, kMaxNvFileSize)) {
        Status(TEXT_NV_OPEN_FAIL);
        return false;
    }
    if (bytes.size() % NV_RECORD_SIZE != 0) {
        Status(plat::Format(TEXT_NV_BAD_SIZE, static_cast<int>(bytes.size())));
        return false;
    }
    length = bytes.size();
    const size_t count = bytes.size() / NV_RECORD_SIZE;
    records.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        records.push_back(UnpackNvRecord(std::span<const uint8_t, NV_RECORD_SIZE>(&bytes[i * NV_RECORD_SIZE], NV_RECORD_SIZE)));
        if (!IsNvItem(records.back().wItem)) {
            Status(plat::Format(TEXT_NV_BAD_RECORD, static_cast<int>(i + 1), int{records.back().wItem}));
            return false;
        }
    }
    return true;
}

// The modem is asked for its IMEI only when the file names a valid one. No question when either
// is not valid (a freshly flashed modem) or both are the same unit's.
CNvTasks::ImeiChoice CNvTasks::CheckImei(const std::vector<NvRecord>& records, const std::string& source,
                                           bool offer, std::string& other) {
    const std::string fileImei = ImeiOfNvRecords(records);
    if (!IsValidImei(fileImei)) return ImeiChoice::Restore;
    std::string modemImei;
    if (!m_diag.ReadImei(modemImei) || !IsValidImei(modemImei) || modemImei == fileImei) return ImeiChoice::Restore;

    std::string newest = offer ? NewestNvArchive(VersionFolder(), modemImei) : std::string();
    if (newest == source) newest.clear();
    std::string text = plat::Format(Text(TEXT_NV_IMEI_DIFFERS_CN, TEXT_NV_IMEI_DIFFERS_EN), fileImei.c_str(),
                                    modemImei.c_str());
    if (!newest.empty()) text += plat::Format(Text(TEXT_NV_IMEI_NEWEST_CN, TEXT_NV_IMEI_NEWEST_EN), newest.c_str());
    text += Text(TEXT_NV_IMEI_ASK_CN, TEXT_NV_IMEI_ASK_EN);
    if (m_events.AskDefaultNo(text)) return ImeiChoice::Restore;
    if (!newest.empty() &&
        m_events.AskDefaultNo(plat::Format(Text(TEXT_NV_IMEI_INSTEAD_CN, TEXT_NV_IMEI_INSTEAD_EN), newest.c_str()))) {
        other = newest;
        return ImeiChoice::OtherFolder;
    }
    return ImeiChoice::Declined;
}

bool CNvTasks::RestoreRfNv(const std::string& filePath) {
    m_bDeclined = false;
    m_nFailedWrites = 0;
    std::string path = filePath;

    // 1. The whole file is read and checked, then its IMEI against the modem's, before anything
    // is written to the modem. The operator may take the newest archive of the modem's own IMEI
    // instead, which is checked the same way (without a second offer).
    m_strNothingDone.clear();
    std::vector<NvRecord> records;
    size_t length = 0;
    if (!LoadNvFile(path, records, length)) return false;
    std::string other;
    ImeiChoice choice = CheckImei(records, plat::DirName(path), true, other);
    if (choice == ImeiChoice::OtherFolder) {
        Status(plat::Format(Text(TEXT_NV_RESTORE_FROM_CN, TEXT_NV_RESTORE_FROM_EN), other.c_str()));
        path = plat::Format(NV_BACKUP_FILE_FMT, other.c_str());
        if (!LoadNvFile(path, records, length)) return false;
        choice = CheckImei(records, other, false, other);
    }
    if (choice != ImeiChoice::Restore) {
        m_bDeclined = true;
        return false;
    }
    // Every RF NV file the backup's list names must be there.
    const NvBackupPaths source = MakeNvBackupPaths(path, plat::DirName(path));
    std::vector<std::string> missing;
    if (!MissingRfNvFiles(source, missing)) {
        m_strNothingDone = plat::Format(Text(TEXT_NV_RF_LIST_BAD_CN, TEXT_NV_RF_LIST_BAD_EN), source.strList.c_str());
        return false;
    }
    if (!missing.empty()) {
        std::string names;
        for (const std::string& n : missing) names += (names.empty() ? "" : ", ") + n;
        m_strNothingDone = plat::Format(Text(TEXT_NV_RF_MISSING_CN, TEXT_NV_RF_MISSING_EN), names.c_str());
        return false;
    }
    const size_t count = records.size();

    // 2., 3. Offline, then the service programming code.
    for (int t = 0; t < kOfflineTries; ++t) {
        if (m_diag.SetOffline()) break;
        plat::SleepRaw(kOfflineRetryPauseMs);
    }
    plat::Sleep(kAfterOfflinePauseMs);
    if (!m_diag.SendSpc()) {
        Status(TEXT_NV_SPC_FAIL);
        return false;
    }

    // 4. The records.
    const bool bRestoreTask = m_doc.Line(m_nLine).nTaskType.load() == TaskType::NvRestore;
    const bool bDump = m_doc.m_bDumpNv.load();
    const bool bKeepImei = m_doc.m_nNvOption.load() == NV_OPTION_KEEP_IMEI;
    int counter = 0;
    for (size_t i = 0; i < count; ++i) {
        if (plat::StopRequested()) return false;
        const NvRecord& r = records[i];
        const size_t consumed = (i + 1) * NV_RECORD_SIZE;
        if (bRestoreTask) {
            if ((i + 1) % 4 == 0 && counter < 99) ++counter;
            m_events.Progress(m_nLine, counter);
        } else {
            m_events.Progress(m_nLine, static_cast<int>(5 * consumed / length + 92));
        }
        Status(plat::Format(TEXT_NV_RESTORE_ID, int{r.wItem}));
        if (r.wStatus != 0) continue;
        if (r.wItem == NV_IMEI_ITEM && bKeepImei) continue;
        if (bDump) m_events.History(m_nLine, NvDataDump(r.abData) + "\n");

        int16_t status = 0;
        m_events.Waiting(m_nLine, WaitFor::ModemReply,
                         2 * DiagClient::NvWriteBoundMs() + plat::Scaled(kSecondWritePauseMs) + DiagClient::NvReadBoundMs());
        if (!m_diag.WriteNvItem(r.wItem, r.abData, status)) {
            if (status == NV_NOTACTIVE_S || status == NV_READONLY_S) {
                Status(plat::Format(TEXT_NV_RESTORE_NOT_ACTIVE, int{r.wItem}));
                continue;
            }
            plat::Sleep(kSecondWritePauseMs);
            if (!m_diag.WriteNvItem(r.wItem, r.abData, status)) return false;
        }
        if (!ReadBackMatches(r)) return false;
    }

    m_events.Waiting(m_nLine, WaitFor::None, 0);
    // 5. The list of the terminal type.
    RfNvList list{};
    if (BuildRfNvList(GetTerminalTypeKey(m_doc.Line(m_nLine).CpeVersion()), list) != 0) {
        Status(TEXT_NV_UNKNOWN_TYPE);
        m_events.Message(TEXT_NV_UNKNOWN_TYPE_BOX);
        return false;
    }
    // 6. The RF NV files that the backup holds; missing ones are skipped.
    const std::string rfFolder = source.strFolder + "/";
    for (const int32_t entry : list) {
        if (!IsRfNvFileEntry(entry)) continue;
        if (plat::StopRequested()) return false;
        Status(plat::Format(TEXT_NV_RESTORE_ID, entry));
        const std::string pcPath = rfFolder + RfNvFileName(entry);
        // A failed copy may have cut the modem's file short (it was opened with truncation): it is
        // counted, and the remaining files are still tried.
        if (plat::IsRegularFile(pcPath) && !m_diag.CopyPcFileToEfs(pcPath, RfNvFilePath(entry))) ++m_nFailedWrites;
    }
    // 7.
    if (bRestoreTask) m_events.Progress(m_nLine, 100);
    return true;
}

void BackupNvThread(CServiceToolDoc& doc, ILineTaskEvents& events, DiagClient& diag, int line) {
    CNvTasks(doc, events, diag, line).BackupNvThread();
}

void RestoreNvThread(CServiceToolDoc& doc, ILineTaskEvents& events, DiagClient& diag, int line,
                     const std::string& restoreFrom) {
    CNvTasks(doc, events, diag, line, restoreFrom).RestoreNvThread();
}
