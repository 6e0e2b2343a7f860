#pragma once
// The NV backup and restore tasks of a line: they put the gateway into its download mode, read or
// write the RF calibration items and the RF NV files through the line's DiagClient, and take the
// gateway out of download mode. They read the line's state and options from the document and
// report through the line events.
#include <string>
#include <vector>

#include "modem/diag_client.h"
#include "modem/nv_store.h"

class CServiceToolDoc;
class ILineTaskEvents;

class CNvTasks {
public:
    static constexpr int NV_OPTION_KEEP_IMEI = 1;  // restore all but the IMEI item 550
    // After a second failed read, the backup stops at these list positions.
    static constexpr int STOP_POSITION_A = 22;
    static constexpr int STOP_POSITION_B = 550;

    // `restoreFrom`: the folder a restore takes "Channel.nvm" and "_EFS_RF_NV" from instead of the
    // line's version folder (--restore-from); empty for none.
    CNvTasks(CServiceToolDoc& doc, ILineTaskEvents& events, DiagClient& diag, int line, std::string restoreFrom = {});

    // Thread bodies; they return when done (after the closing message, or after the task's End).
    void BackupNvThread();
    void RestoreNvThread();

    // Writes "Channel.nvm" (`path`), the RF NV files of the line's version folder and the list of
    // those files. True when the list was gone through; FailedItems()/FailedFiles() then tell
    // whether it was complete (a backup with failed reads is kept as ".incomplete" and the
    // previous one stays). An item of which two different answers came counts as failed. False
    // with NothingDone() when the RF NV folder could not be created.
    bool BackupRfNv(const std::string& path);
    // Writes the records of `path` and the RF NV files of the "_EFS_RF_NV" beside it back to the
    // modem. The whole file is checked, then its IMEI against the modem's (a question when they
    // differ), then that the folder holds every file the backup's list names, before anything is
    // written. False with Declined() when the operator said No, with NothingDone() when files are
    // missing. True once every file was tried; FailedWrites() then tells how many could not be
    // written.
    bool RestoreRfNv(const std::string& path);
    bool Declined() const { return m_bDeclined; }
    // Why the last BackupRfNv or RestoreRfNv ended before it changed anything; empty otherwise.
    const std::string& NothingDone() const { return m_strNothingDone; }
    // The folder exists or was created; otherwise a message box and false.
    bool EnsureNvFolder(const std::string& path);

    // Of the last BackupRfNv: NV items whose reads ended in a failed exchange, RF NV files that
    // could not be read after they were opened.
    int FailedItems() const { return m_nFailedItems; }
    int FailedFiles() const { return m_nFailedFiles; }
    // Of the last RestoreRfNv: RF NV files whose copy into the modem failed (open, write, short
    // write, close).
    int FailedWrites() const { return m_nFailedWrites; }

private:
    enum class ImeiChoice { Restore, Declined, OtherFolder };
    // The IMEI check of a restore (the file's records against the modem); `offer` lets the
    // operator take the newest archive folder of the modem's own IMEI instead (`other`).
    ImeiChoice CheckImei(const std::vector<NvRecord>& records, const std::string& source, bool offer,
                         std::string& other);
    bool LoadNvFile(const std::string& path, std::vector<NvRecord>& records, size_t& length);
    const char* Text(const char* cn, const char* en) const;
    std::string VersionFolder() const;
    void EnterDownloadMode();
    bool LeaveDownloadMode();
    void Fail(const std::string& text);
    bool ReadBackMatches(const NvRecord& record);
    void Status(const std::string& text);

    CServiceToolDoc& m_doc;
    ILineTaskEvents& m_events;
    DiagClient& m_diag;
    int m_nLine;
    int m_nFailedItems = 0;
    int m_nFailedFiles = 0;
    int m_nFailedWrites = 0;
    bool m_bDeclined = false;
    std::string m_strNothingDone;
    std::string m_strRestoreFrom;
};

// The entry points the wiring starts as task threads (task types 3 and 4).
void BackupNvThread(CServiceToolDoc& doc, ILineTaskEvents& events, DiagClient& diag, int line);
void RestoreNvThread(CServiceToolDoc& doc, ILineTaskEvents& events, DiagClient& diag, int line,
                     const std::string& restoreFrom);

