#pragma once
// The document: eight line records (read from the configuration file when present) and the
// per-line state that the link watcher, the task threads and the console share.
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "model/line_record.h"
#include "model/line_state.h"
#include "platform/non_copyable.h"
#include "platform/ui_port.h"

constexpr const char* PRODUCT_TITLE = "MG_RK880T_PDWA_CN_VEV1.00.00";
// The main window's title: the configuration's title with the tool's version.
constexpr const char* WINDOW_TITLE = "MG_RK880T_PDWA_CN_VEV1.00.00 (rk880t-tool " RK880T_VERSION ")";
constexpr const char* CONFIG_BASE_NAME = "MG_RK880T_PDWA_CN_VEV1.00.00";

// The gateway address of the version-path mode: the operator chooses a package, nothing is sent.
constexpr const char* VERSION_PATH_ADDRESS = "2.2.2.2";

// Operation modes.
constexpr int MODE_CPE_ONLY = 0;
constexpr int MODE_MODEM_AND_CPE = 1;
constexpr int MODE_BACKUP_NV = 2;
constexpr int MODE_RESTORE_NV = 3;

// Texts this build adds for bad input.
constexpr const char* TEXT_CONFIG_WRONG_SIZE = "配置文件大小不正确，已忽略：%s";
constexpr const char* TEXT_PATH_TOO_LONG = "路径过长：%s";

class CRecordStore;
struct LineDevice;

// How start-up's writing of an embedded image into the version folder ended.
enum class ImageExtraction { Written, NoResource, NoFolder, ReadOnly, WriteFailed };

class CServiceToolDoc : private plat::NonCopyable {
public:
    CServiceToolDoc();
    ~CServiceToolDoc();

    // The record log of the run (its construction may ask the operator for the pristine record).
    // Created once, before OnNewDocument, by the application's start-up.
    void CreateRecordStore(plat::IUiPort& ui, const std::string& programFolder);
    CRecordStore* RecordStore() { return m_pRecordStore.get(); }

    // The line's channel with its modem client and AT port, created with the document.
    LineDevice& Device(int line) { return *m_devices[static_cast<size_t>(line)]; }

    // New document: language flag 0, the configuration file of `programFolder` read when present
    // (a file of the wrong size is refused with a message and the records stay zeroed), the
    // loader path set, link state and name per line.
    void OnNewDocument(const std::string& programFolder, plat::IUiPort& ui);

    // Sets a text field of a line's record; a text too long for the field is refused with
    // "路径过长：%s" (when `ui` is given) and the field stays as it was.
    bool SetLineText(int line, TextField field, const std::string& text, plat::IUiPort* ui);
    std::string GetLineText(int line, TextField field) const;
    // A path field as the program opens it (a Windows-form path mapped onto the machine root).
    std::string GetLinePath(int line, TextField field) const;
    int GetLineInt(int line, size_t offset) const;
    void SetLineInt(int line, size_t offset, int32_t value);
    LineRecord GetRecord(int line) const;

    std::string ConfigFilePath(const std::string& programFolder) const;
    // The program folder OnNewDocument read the configuration file from.
    const std::string& ProgramFolder() const { return m_strProgramFolder; }

    // The state of each line.
    LineState& Line(int line) { return m_lines[static_cast<size_t>(line)]; }
    const LineState& Line(int line) const { return m_lines[static_cast<size_t>(line)]; }
    std::array<LineState, LINE_COUNT>& Lines() { return m_lines; }

    // Document-wide.
    // The start-up dialog's WiFi limit, written once before any thread starts.
    std::string m_strWifiMaxNum;
    std::atomic<int> m_nMode{MODE_CPE_ONLY};
    // The operation mode 0..3 and line 0's task with it, as the mode radio sets them.
    void ChooseMode(int mode) {
        m_nMode = mode;
        Line(0).nTaskType = TaskForMode(mode);
    }
    std::atomic<int> m_nNvOption{2};
    std::atomic<bool> m_bDumpNv{false};
    // The application's language flag: 1 English, anything else Chinese (always 0 here).
    std::atomic<int> m_bLanguage{0};
    bool English() const { return m_bLanguage.load() == 1; }
    // Per image (root_uImage, then uboot.img), written once by start-up before any thread starts.
    std::array<ImageExtraction, 2> m_extraction{ImageExtraction::Written, ImageExtraction::Written};

private:
    std::string m_strProgramFolder;  // written once by OnNewDocument, before any thread starts
    mutable std::mutex m_mutex;  // guards the records
    std::array<LineRecord, LINE_COUNT> m_records;
    std::array<LineState, LINE_COUNT> m_lines;
    std::unique_ptr<CRecordStore> m_pRecordStore;
    std::array<std::unique_ptr<LineDevice>, LINE_COUNT> m_devices;
};
