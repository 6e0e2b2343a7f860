#include "records/record_store.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>

#include "platform/fs.h"
#include "platform/locale.h"
#include "platform/terminal.h"
#include "platform/trace.h"
#include "records/record_cipher.h"

namespace {

void DefaultExit(int code) {
    plat::ExitNow(code);
}

const char* const kSdiFilter = "KVO Record File(*.sdi) | *.sdi; ||";
const char* const kCsvFilter = "csv file(*.csv) | *.csv; ||";
// An SDI export whose working record could not be reset afterwards (%s: the working record).
const char* const TEXT_RESET_FAILED_CN = "文件导出成功，但记录文件未能清空：%s";
const char* const TEXT_RESET_FAILED_EN = "File save success, but the record could not be cleared: %s";
// A CSV export that could not be written (%s: the chosen path).
const char* const TEXT_CSV_FAILED_CN = "CSV文件导出失败：%s";
const char* const TEXT_CSV_FAILED_EN = "CSV file save fail: %s";

}  // namespace

// The error texts of one direction, in the order of the steps.
struct CRecordStore::CipherTexts {
    const char* openSource;
    const char* openDestination;
    const char* acquireContext;  // acquire to derive, and cipher: steps of CryptoAPI (they
    const char* createHash;      // cannot fail with nettle)
    const char* hashData;
    const char* deriveKey;
    const char* buffer;
    const char* read;
    const char* cipher;
    const char* write;
};

// The system language is Chinese (PRC): plat::SystemLanguageIsChinese.
bool SystemLanguageIsChinese() { return plat::SystemLanguageIsChinese(); }

CRecordStore::CRecordStore(plat::IUiPort& ui, const std::string& strProgramFolder, RecordStoreHooks hooks)
    : m_machineId(hooks.disks), m_ui(ui), m_hooks(std::move(hooks)) {
    m_bChinese = m_hooks.language ? m_hooks.language() : SystemLanguageIsChinese();
    const std::string system = plat::SystemDirectory();
    m_strPlainRecord = plat::JoinPath(system, RECORD_PLAIN_NAME);
    m_strWorkRecord = plat::JoinPath(system, RECORD_WORK_NAME);
    const std::string folder = strProgramFolder.empty() ? plat::ExecutableFolder() : strProgramFolder;
    m_strSetupRecord = plat::JoinPath(folder, RECORD_SETUP_NAME);
    if (!plat::PathExists(m_strWorkRecord)) InstallRecord();
}

CRecordStore::~CRecordStore() {
    if (m_file) std::fclose(m_file);
}

plat::MsgResult CRecordStore::Message(const std::string& text, plat::MsgIcon icon) {
    return m_ui.MessageBox(text, {}, plat::MsgButtons::Ok, icon);
}

// The disk serial as part of a file name: a path separator or control character would make the
// default name point elsewhere.
std::string CRecordStore::FileNamePart() const {
    std::string name = m_machineId.DiskSerial();
    for (char& c : name)
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
    return name;
}

bool CRecordStore::InstallRecord() {
    if (!plat::PathExists(m_strSetupRecord)) {
        if (m_bChinese)
            Message("原始文件查找失败，请指定安装文件夹下'RecordCSV.sdi'文件路径.", plat::MsgIcon::Exclamation);
        else
            Message("Fail to find 'RecordCSV.sdi',please select setup folder.", plat::MsgIcon::Information);
        plat::FileDialogSpec dialogRequest;
        dialogRequest.bOpen = true;
        dialogRequest.defaultExt = RECORD_SETUP_NAME;
        dialogRequest.defaultName = RECORD_SETUP_NAME;
        dialogRequest.filter = kSdiFilter;
        dialogRequest.bOverwritePrompt = true;
        const std::optional<std::string> chosen = m_ui.ChooseFile(dialogRequest);
        if (!chosen) return false;
        m_strSetupRecord = *chosen;
    }
    return CopyFileReplace(m_strSetupRecord, m_strWorkRecord);
}

bool CRecordStore::ExportSdi() {
    const std::string defaultName = plat::Format("%sDLCSV.sdi", FileNamePart().c_str());
    if (!plat::PathExists(m_strWorkRecord) && !InstallRecord()) return false;
    plat::FileDialogSpec dialogRequest;
    dialogRequest.bOpen = false;
    // A name typed without an extension gets ".sdi" (not the whole default name as a suffix).
    dialogRequest.defaultExt = "sdi";
    dialogRequest.defaultName = defaultName;
    dialogRequest.filter = kSdiFilter;
    dialogRequest.bOverwritePrompt = true;
    const std::optional<std::string> chosen = m_ui.ChooseFile(dialogRequest);
    if (!chosen) return false;
    if (!CopyFileReplace(m_strWorkRecord, *chosen)) {
        if (m_bChinese)
            Message("加密记录文件导出失败！", plat::MsgIcon::Exclamation);
        else
            Message("Export record sdi failed for unknown error", plat::MsgIcon::Stop);
        return false;
    }
    // The export is written; a working record that cannot be reset (read-only, or no pristine
    // record) keeps its lines, and the operator is told which file that is.
    if (!InstallRecord()) {
        Message(plat::Format(m_bChinese ? TEXT_RESET_FAILED_CN : TEXT_RESET_FAILED_EN, m_strWorkRecord.c_str()),
                plat::MsgIcon::Exclamation);
        return false;
    }
    Message(m_bChinese ? "文件导出成功!" : "File save success!", plat::MsgIcon::Information);
    return true;
}

bool CRecordStore::ExportCsv() {
    if (!plat::PathExists(m_strWorkRecord) && !InstallRecord()) return false;
    const std::string defaultName = plat::Format("%s.csv", FileNamePart().c_str());
    plat::FileDialogSpec dialogRequest;
    dialogRequest.bOpen = false;
    dialogRequest.defaultExt = "csv";
    dialogRequest.defaultName = defaultName;
    dialogRequest.filter = kCsvFilter;
    dialogRequest.bOverwritePrompt = true;
    const std::optional<std::string> chosen = m_ui.ChooseFile(dialogRequest);
    if (!chosen) return false;
    if (!OpenRecord()) return false;
    CloseRecord();
    // Said in a box: a failed export that returned in silence would look like a cancelled one.
    if (!CopyFileReplace(m_strPlainRecord, *chosen)) {
        Message(plat::Format(m_bChinese ? TEXT_CSV_FAILED_CN : TEXT_CSV_FAILED_EN, chosen->c_str()),
                plat::MsgIcon::Exclamation);
        return false;
    }
    Message(m_bChinese ? "CSV文件导出成功!" : "CSV file save success!", plat::MsgIcon::Information);
    return true;
}

bool CRecordStore::OpenRecord() {
    m_lock.lock();
    if (plat::PathExists(m_strWorkRecord)) {
        if (plat::PathExists(m_strPlainRecord)) plat::DeleteFile(m_strPlainRecord);
        if (DecryptFile(m_strWorkRecord, m_strPlainRecord, RECORD_PASSWORD)) {
            if (m_file) std::fclose(m_file);
            m_file = plat::OpenFile(m_strPlainRecord, "r+b");
            if (m_file) {
                ++m_nOpenDepth;
                return true;
            }
        }
    }
    m_lock.unlock();
    return false;
}

bool CRecordStore::CloseRecord() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_nOpenDepth == 0) return false;  // not opened: there is no lock of OpenRecord to leave
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    // The new working record is written beside the old one and renamed over it, so a failure
    // halfway leaves the old one in place.
    bool ok = false;
    if (plat::PathExists(m_strPlainRecord)) ok = EncryptFile(m_strPlainRecord, m_strWorkRecord, RECORD_PASSWORD);
    --m_nOpenDepth;
    m_lock.unlock();  // the lock taken by OpenRecord
    return ok;
}

bool CRecordStore::EncryptFile(const std::string& strSource, const std::string& strDestination,
                               const std::string& strPassword) {
    static const CipherTexts texts{
        "Error opening source plaintext file!", "Error opening destination ciphertext file!",
        "Error during CryptAcquireContext!\n",   "Error during CryptCreateHash!\n",
        "Error during CryptHashData. \n",        "Error during CryptDeriveKey!\n",
        "Out of memory. \n",                     "Error reading plaintext!\n",
        "Error during CryptEncrypt. \n",         "Error writing ciphertext.",
    };
    return CipherFile(strSource, strDestination, strPassword, texts, true);
}

bool CRecordStore::DecryptFile(const std::string& strSource, const std::string& strDestination,
                               const std::string& strPassword) {
    static const CipherTexts texts{
        "Error opening ciphertext file!",    "Error opening plaintext file!",
        "Error during CryptAcquireContext!", "Error during CryptCreateHash!",
        "Error during CryptHashData!",       "Error during CryptDeriveKey!",
        "Out of memory!\n",                  "Error reading ciphertext!",
        "Error during CryptDecrypt!",        "Error writing plaintext!",
    };
    return CipherFile(strSource, strDestination, strPassword, texts, false);
}

// RC4 is its own inverse: encryption and decryption are the same pass over the file.
bool CRecordStore::CipherFile(const std::string& strSource, const std::string& strDestination,
                              const std::string& strPassword, const CipherTexts& texts, bool bEncrypt) {
    std::FILE* src = plat::OpenFile(strSource, "rb");
    if (!src) {
        Fatal(texts.openSource, errno);
        return false;
    }
    const std::string tmp = plat::TempPathFor(strDestination);
    // A read-only destination cannot be opened for writing, as on Windows (checked here, before
    // the final rename would refuse it, for the text of that failure).
    const bool bReadOnly = plat::IsReadOnlyFile(strDestination);
    std::FILE* dst = bReadOnly ? nullptr : plat::OpenFile(tmp, "wb");
    if (!dst) {
        const int err = bReadOnly ? EACCES : errno;
        std::fclose(src);
        Fatal(texts.openDestination, err);
        return false;
    }
    // Failure after both files are open: close them, drop the unfinished temporary file, then report.
    const auto fail = [&](const char* text, int err) {
        std::fclose(src);
        if (dst) std::fclose(dst);
        plat::RemoveFile(tmp);
        Fatal(text, err);
        return false;
    };

    CRecordCipher cipher;
    CipherStep failedStep = CipherStep::AcquireContext;
    int nError = 0;
    if (!cipher.Start(strPassword, failedStep, nError)) {
        const char* const stepTexts[] = {texts.acquireContext, texts.createHash, texts.hashData, texts.deriveKey,
                                         texts.cipher};
        // Decryption shows the error code on its own before its acquire-context failure.
        if (!bEncrypt && failedStep == CipherStep::AcquireContext)
            m_ui.MessageBox(plat::Format("%x", static_cast<unsigned>(nError)));
        return fail(stepTexts[static_cast<int>(failedStep)], nError);
    }

    // One chunk plus room for a block cipher's padding, as CryptEncrypt's buffer needs.
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[RECORD_CHUNK_SIZE + 8]);
    if (!buffer) return fail(texts.buffer, ENOMEM);

    bool bEof = false;
    do {
        const size_t n = std::fread(buffer.get(), 1, RECORD_CHUNK_SIZE, src);
        if (std::ferror(src)) return fail(texts.read, errno);
        if (std::feof(src)) bEof = true;
        if (!cipher.Apply(buffer.get(), n, bEof, bEncrypt, nError)) return fail(texts.cipher, nError);
        if (n > 0) {
            errno = 0;
            if (WriteBlock(strDestination, buffer.get(), n, dst) != n) return fail(texts.write, errno);
        }
    } while (!bEof);

    std::fclose(src);
    src = nullptr;
    const auto closeFail = [&](int err) {
        plat::RemoveFile(tmp);
        Fatal(texts.write, err);
        return false;
    };
    if (!plat::SyncFile(dst)) {
        const int err = errno;
        std::fclose(dst);
        return closeFail(err);
    }
    if (std::fclose(dst) != 0) return closeFail(errno);
    if (!plat::RenameReplace(tmp, strDestination)) return closeFail(errno);
    return true;
}

size_t CRecordStore::WriteBlock(const std::string& destination, const unsigned char* data, size_t size,
                                std::FILE* file) {
    if (m_hooks.writeBlock) return m_hooks.writeBlock(destination, data, size, file);
    return std::fwrite(data, 1, size, file);
}

// CopyFileA with overwriting, made safe: the copy is written beside the target and renamed over it.
bool CRecordStore::CopyFileReplace(const std::string& strFrom, const std::string& strTo) {
    std::FILE* src = plat::OpenFile(strFrom, "rb");
    if (!src) return false;
    const std::string tmp = plat::TempPathFor(strTo);
    std::FILE* dst = plat::OpenFile(tmp, "wb");
    if (!dst) {
        std::fclose(src);
        return false;
    }
    bool ok = true;
    unsigned char block[64 * 1024];
    while (ok) {
        const size_t n = std::fread(block, 1, sizeof(block), src);
        if (std::ferror(src)) ok = false;
        if (ok && n > 0 && WriteBlock(strTo, block, n, dst) != n) ok = false;
        if (n < sizeof(block)) break;
    }
    std::fclose(src);
    if (ok && !plat::SyncFile(dst)) ok = false;
    if (std::fclose(dst) != 0) ok = false;
    if (ok && !plat::RenameReplace(tmp, strTo)) ok = false;
    if (!ok) plat::RemoveFile(tmp);
    return ok;
}

void CRecordStore::Fatal(const char* text, int nError) {
    m_ui.MessageBox("An error occurred in running the program. \n");
    m_ui.MessageBox(text);
    m_ui.MessageBox(plat::Format("Error number %x.\n", static_cast<unsigned>(nError)));
    m_ui.MessageBox("Program terminating");
    if (m_hooks.exitProcess)
        m_hooks.exitProcess(1);
    else
        DefaultExit(1);
}
