#pragma once
// CRecordStore: the download record, kept encrypted under a disguised name in the system
// directory ("kdlcsv.ds.dll"), with its plain text beside it ("kdlcsv.txt") while it is worked on,
// and its two exports: the encrypted file itself (after which the working record is reset to the
// pristine "RecordCSV.sdi" beside the program) and the plain text as CSV.
//
// Encryption is CryptoAPI's on Windows and byte-compatible with it elsewhere: RC4 over the whole file,
// keyed with the 16 bytes of MD5 of the pass phrase, processed in chunks of 1000 bytes with the key
// stream running on across chunks. Every file write goes through a temporary file in the target's
// folder and a rename, so the working record is never missing or half written.
#include <cstddef>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "platform/non_copyable.h"
#include "platform/ui_port.h"
#include "records/machine_id.h"

constexpr const char RECORD_PASSWORD[] = "7391";
constexpr const char RECORD_SETUP_NAME[] = "RecordCSV.sdi";
constexpr const char RECORD_PLAIN_NAME[] = "kdlcsv.txt";
constexpr const char RECORD_WORK_NAME[] = "kdlcsv.ds.dll";
constexpr size_t RECORD_CHUNK_SIZE = 1000;

bool SystemLanguageIsChinese();

// What tests replace; the defaults are the real machine.
struct RecordStoreHooks {
    // The system language is Chinese (PRC).
    std::function<bool()> language = SystemLanguageIsChinese;
    // The disks the machine identity is taken from.
    DiskLister disks = ListSystemDisks;
    // Ends the program after a cipher failure (default: flush standard output and error, then
    // end the process at once with the code). When it returns, the failing call returns false.
    std::function<void(int)> exitProcess;
    // Writes one block of a new file whose final path is `destination`; returns the bytes written
    // (default fwrite). Used by the cipher and by every copy of the store.
    std::function<size_t(const std::string& destination, const unsigned char* data, size_t size,
                         std::FILE* file)>
        writeBlock;
};


class CRecordStore : private plat::NonCopyable {
public:
    // Takes the machine identity, the language, the three paths (plain and working record in the
    // system directory of the machine root, the pristine record in `strProgramFolder`, the
    // executable's folder when empty) and installs the working record when it is missing.
    // Messages and choosers go through `ui`, which must outlive the store.
    CRecordStore(plat::IUiPort& ui, const std::string& strProgramFolder, RecordStoreHooks hooks = {});
    ~CRecordStore();

    // The "SDI File" command: copies the working record to the operator's choice, then resets it
    // to the pristine record. True on success.
    bool ExportSdi();
    // The "CSV File" command: decrypts the working record and copies the plain text to the
    // operator's choice. True on success.
    bool ExportCsv();
    // Copies the pristine record over the working record, asking the operator for the pristine
    // record when it is missing. True when the working record was written.
    bool InstallRecord();
    // Decrypts the working record into the plain record and opens it; returns holding the lock.
    bool OpenRecord();
    // Closes the plain record, encrypts it into the working record and releases the lock.
    bool CloseRecord();
    // Any failure here is fatal: four message boxes, then the program ends with code 1.
    bool EncryptFile(const std::string& strSource, const std::string& strDestination,
                     const std::string& strPassword);
    bool DecryptFile(const std::string& strSource, const std::string& strDestination,
                     const std::string& strPassword);

    bool IsChinese() const { return m_bChinese; }
    const std::string& DiskSerial() const { return m_machineId.DiskSerial(); }
    const std::string& SetupRecordPath() const { return m_strSetupRecord; }
    const std::string& PlainRecordPath() const { return m_strPlainRecord; }
    const std::string& WorkRecordPath() const { return m_strWorkRecord; }

private:
    struct CipherTexts;
    bool CipherFile(const std::string& strSource, const std::string& strDestination,
                    const std::string& strPassword, const CipherTexts& texts, bool bEncrypt);
    bool CopyFileReplace(const std::string& strFrom, const std::string& strTo);
    size_t WriteBlock(const std::string& destination, const unsigned char* data, size_t size, std::FILE* file);
    void Fatal(const char* text, int nError);
    plat::MsgResult Message(const std::string& text, plat::MsgIcon icon);
    std::string FileNamePart() const;

    CMachineId m_machineId;  // first: its disks are asked before anything else is set up
    plat::IUiPort& m_ui;
    RecordStoreHooks m_hooks;
    bool m_bChinese = false;
    std::recursive_mutex m_lock;
    int m_nOpenDepth = 0;  // OpenRecord calls not yet closed (guarded by m_lock)
    std::string m_strSetupRecord;
    std::string m_strPlainRecord;
    std::string m_strWorkRecord;
    std::FILE* m_file = nullptr;
};
