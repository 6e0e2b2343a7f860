#pragma once
// CServiceToolView: the form view over dialog 101. It runs the start-up, handles the
// commands and messages of the form, offers the console operations that the GUI thread and the
// worker threads call at once, and shows what the lines report (ILineEvents).
//
// Threads:
// - The GUI thread runs OnInitialUpdate, OnCommand, OnTimer, the close path and StartLine.
// - The line threads (one watcher and the task threads per line) belong to the lines' sessions
//   (ILineControl), which Teardown shuts down; m_nCurLine only records the last line started.
// - Console operations take the view's own locks only for their texts; message boxes are shown
//   with no lock held.
#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "model/document.h"
#include "form/form_model.h"
#include "cpelink/icmp_library.h"
#include "form/pictures.h"
#include "form/view_host.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/single_instance.h"
#include "platform/ui_port.h"
#include "records/counts_info.h"
#include "session/line_events.h"
#include "session/line_session.h"
#include "session/task_time.h"

// Texts of the view.
constexpr const char* INSTANCE_MUTEX_NAME = "KVOR417N1,0x12,0xab,0x4f,0x06,0xab,0x1e,0x2c,0x8d,0x9b,0x1d,0x66";
constexpr const char* TEXT_ALREADY_RUNNING = "程序已经运行!";
constexpr const char* TEXT_RUNNING_CN = "程序正在运行，不允许操作！";
constexpr const char* TEXT_RUNNING_EN = "Still running,can not allow config!";
constexpr const char* TEXT_RUNNING_GUIDE_EN = "Still running, can not allow config!";
constexpr const char* TEXT_SDI_WARNING_CN = "注意：导出SDI文件记录，将会清空使用本平台下载的相关记录！";
constexpr const char* TEXT_SDI_WARNING_EN = "Warning:After export sdi file,the upgrade information will be clear!";
constexpr const char* TEXT_ABOUT = "MG_RK880T_PDWA_CN_VEV1.00.00：RK880T 接入盒管理工具，版本 1.00.00。";
constexpr const char* TEXT_VERSION_IP_ONLY = "设置IP为\"2.2.2.2\"时才可以设置下载版本的路径。";
constexpr const char* TEXT_VERSION_SET = "版本设置完成，点击【确定】按钮退出程序。\n请严格按照操作说明进行管理操作。";
constexpr const char* TEXT_FILE_MISSING_SUFFIX = " 文件不存在，请重新选择。";
constexpr const char* TEXT_NV_DIR_TITLE = "Please choose the NV directory";
constexpr const char* TEXT_RELEASE_ALL = "全部释放";
constexpr const char* TEXT_CONNECT_ALL = "全部连接";
// Captions of the DIAG port buttons (1140..1146, 1148) and of the all-lines button 1147.
constexpr const char* TEXT_HIDE_PORT = "隐藏端口";     // the port is shown
constexpr const char* TEXT_RESTORE_PORT = "恢复端口";  // the port is hidden
constexpr const char* TEXT_RESTORE_ALL_PORTS = "恢复全部端口";
constexpr const char* GUIDE_FILE_NAME = "MG_RK880T_PDWA_CN_EU操作说明.doc";
constexpr const char* UNINSTALLER_NAME = "UnInstallAll.exe";
constexpr const char* BIN_FILTER = "Bin Files(*.bin) | *.bin;||";
constexpr int64_t CLOCK_PERIOD_MS = 50000;

// What the front ends watch. Set before OnInitialUpdate. Observers run on the thread that caused
// the event, in order, and must not call back into the view.
struct ViewObservers {
    // A status history entry as appended (stamp, text and "\n").
    std::function<void(int line, const std::string& entry)> onHistoryAppended;
    // Every SetLinePicture of a kind 0..4.
    std::function<void(int line, int kind)> onPictureSet;
    // Every SetLineProgress, with the percentage shown ("%d/100"), repeats included.
    std::function<void(int line, int percent)> onProgressSet;
    // The watcher's keep-alive pass has shown "连接完成" and enabled Download (NotifyLineReady).
    std::function<void(int line)> onLineReady;
    // A task thread's body has returned.
    std::function<void(int line, std::optional<LineOutcome> outcome)> onTaskThreadReturned;
};

struct ViewConfig {
    std::string programFolder;     // the configuration file, operating guide, uninstaller
    bool bStartLinkWatch = true;   // false: the start-up runs without the link watcher
};

// The end of the start-up: the form runs, or the process ends with `exitCode`.
struct StartOutcome {
    bool bRunning = false;
    int exitCode = 0;
};

class CServiceToolView : public ILineEvents {
public:
    CServiceToolView(CServiceToolDoc& doc, CFormModel& form, plat::IUiPort& ui,
                           IViewHost& host, plat::IProcess& process, ViewConfig config);
    ~CServiceToolView();  // Teardown when it has not run
    CServiceToolView(const CServiceToolView&) = delete;
    CServiceToolView& operator=(const CServiceToolView&) = delete;

    ViewObservers observers;
    // The lines the form commands; set once before OnInitialUpdate (none: the line commands do
    // nothing).
    void AttachLines(ILineControl* lines) { m_pLines = lines; }

    // ---- Start-up and messages (GUI thread) ----
    StartOutcome OnInitialUpdate();
    // Every control and menu command of the form.
    void OnCommand(int id);
    void OnTimer(int id);
    void OnPaint();
    // True when the key was swallowed (Enter, Escape).
    bool OnKeyDown(int key);
    // WM_USER + 1.
    void OnUninstallMessage();
    // The frame's close: false (and the running message) while line 0 runs; otherwise the clock
    // timer is stopped, Teardown runs and the result is true: the window may go.
    bool OnFrameClose();
    // Stops and joins every thread the view started, deletes the extracted images and releases
    // the single-instance marker. Runs once; GUI thread.
    void Teardown();
    bool IsTornDown() const { return m_bTornDown.load(); }

    // Named handlers (OnCommand dispatches to them).
    bool OnExportCsv();
    bool OnExportSdi();
    bool OnClearCounts();
    void OnExitCommand();
    void OnAbout();
    void OnOperatingGuide();
    void OnVersionPath();
    void OnNvDirectory();
    void OnChooseBinFile(int buttonId);
    void OnModeRadio(int id);
    void OnLineTaskRadio(int id);
    void OnNvOptionRadio(int id);
    void OnStartAll();
    void OnStopAll();
    void OnStopLine(int line);
    void OnReleaseAll();

    // ---- Upgrade controller (GUI thread) ----
    // Starts the line's watcher (ILineControl::Watch) and records it as the current line.
    void StartLinkWatch(int line);
    // The Download button: the form's texts and radios into the members, then the line's start
    // with the chosen mode (ILineControl::Start).
    void StartLine(int line);

    // ---- Console operations (any thread) ----
    void ShowLineStatus(int line, const std::string& text, bool bStamp = true);
    // Appends a text to the line's status history as it stands (the NV data dumps).
    void AppendHistory(int line, const std::string& text);
    void SetLinePicture(int line, int kind);
    void SetLineProgress(int line, int percent);
    void ShowLineVersions(int line);
    void ShowModemVersion(int line);
    void ShowCpeVersion(int line);
    void UpdateLineControls(int line, bool bDownloadEnabled);
    void ShowCurrentTime();
    // Shows the counters store's texts in 1185, 1182 and 1181.
    void RefreshCounters();

    // The start-up dialog's texts (written once at start-up, before any thread).
    std::string TerminalIp() const { return m_pLines ? m_pLines->Gateway(0) : std::string(); }
    const std::string& WifiMaxNum() const { return m_doc.m_strWifiMaxNum; }

    // ---- The line events of the watcher and the tasks ----
    void Status(int line, const std::string& text, bool bStamp) override { ShowLineStatus(line, text, bStamp); }
    void History(int line, const std::string& text) override { AppendHistory(line, text); }
    void Progress(int line, int percent) override { SetLineProgress(line, percent); }
    void Picture(int line, int kind) override { SetLinePicture(line, kind); }
    void ModemVersionChanged(int line) override { ShowModemVersion(line); }
    void VersionsChanged(int line) override { ShowLineVersions(line); }
    void Available(int line, bool bAvailable) override;
    void DiagPortShown(int line, bool bShown) override;
    void Ready(int line) override { NotifyLineReady(line); }
    void CountersChanged() override { RefreshCounters(); }
    void Message(const std::string& text, bool bTitled) override;
    bool AskDefaultNo(const std::string& text) override;
    void ModeChosen(int mode) override;
    void RunningChanged(int line, bool bStartAllowed) override;
    void TaskReturned(int line, std::optional<LineOutcome> outcome) override;
    void Waiting(int line, WaitFor what, int64_t maxMs) override;
    void Concluded(int line, LineOutcome outcome) override { m_host.LineConcluded(line, outcome); }

    // ---- Signals for the front ends ----
    // The watcher's keep-alive pass showed "连接完成" and enabled Download.
    void NotifyLineReady(int line);
    // Line 0 runs a task: the close is refused then (and the session end held back).
    bool LineZeroRunning() const { return m_doc.Line(0).bRunning.load() != 0; }
    // The text that says so, in the program's language.
    std::string RunningText() const { return English() ? TEXT_RUNNING_EN : TEXT_RUNNING_CN; }
    // Ends the process with `status` through the close path (any thread).
    void RequestExit(int status, bool force = false);

    // The local time used by the stamps and the clock (tests replace it).
    void SetTimeSource(std::function<std::tm()> source);
    bool English() const { return m_doc.English(); }
    const std::string& ProgramFolder() const { return m_config.programFolder; }

    CServiceToolDoc& Doc() { return m_doc; }
    CFormModel& Form() { return m_form; }
    plat::IUiPort& Ui() { return m_ui; }
    IViewHost& Host() { return m_host; }
    CCountsInfo& Counts() { return m_countsInfo; }
    const CIcmpLibrary& Network() const { return m_icmp; }

    // Members named as the form's own state.
    std::atomic<int> m_nCurLine{0};
    std::atomic<int> m_nRadioMode{0};
    std::atomic<bool> m_bAllReleased{false};
    std::atomic<int> m_nLastPicture{-1};
    std::atomic<int> m_nLastPictureLine{0};

private:
    void ApplyBusyLocks();
    // The time line of the line started last (ids::TIME_LINE); the timer stops with the tasks.
    void ShowTimeLine();
    // The DIAG port buttons' switches (1147 and the lines' buttons); other ids do nothing.
    void SwitchPortOf(int id);
    std::tm LocalTime() const;
    void RunningMessage(bool bGuideText = false);
    void DataFromControls();
    void DataToControls();

    CServiceToolDoc& m_doc;
    CFormModel& m_form;
    plat::IUiPort& m_ui;
    IViewHost& m_host;
    plat::IProcess& m_process;
    ViewConfig m_config;
    CIcmpLibrary m_icmp;  // the network start-up object; its failure is shown at construction
    CCountsInfo m_countsInfo;
    plat::SingleInstance m_instance;


    mutable std::mutex m_textMutex;  // m_strModemCtl
    mutable std::mutex m_emitMutex;  // keeps observer calls in the order of the changes

    mutable std::mutex m_timeMutex;
    std::function<std::tm()> m_timeSource;

    // Data members of the form's data exchange.
    std::string m_strUpgradeSoftware;  // 1080
    std::string m_strBootFile;         // 1137
    std::string m_strLoader;           // 1139
    std::string m_strModemCtl;         // 1000 (guarded by m_textMutex: worker threads show versions)

    ILineControl* m_pLines = nullptr;
    task_time::Clock m_taskClock;

    std::atomic<bool> m_bTornDown{false};
};
