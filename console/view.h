#pragma once
// CServiceToolView: the form view over dialog 101. It runs the start-up, handles the
// commands and messages of the form, owns every worker thread it starts, and offers the console
// operations that the GUI thread and the worker threads call at once.
//
// Threads:
// - The GUI thread runs OnInitialUpdate, OnCommand, OnTimer, the close path and StartLine.
// - One watcher thread per line (StartWatcherThread), one or more task threads per line
//   (StartTaskThread). The view owns them (plat::WorkerThread): their sleeps wake on a stop request
//   and Teardown joins them all. A thread receives its line index as the argument of its body,
//   copied at the start; m_nCurLine only records the last line started.
// - A line's watcher is paused cooperatively: it calls SafePoint(line) (or SafeSleep) between its
//   steps; PauseWatcher(line, then) asks for the pause and runs `then` on the GUI thread once the
//   watcher has acknowledged it, so the GUI thread never waits for a worker.
// - Console operations take the view's own locks only for their texts; message boxes are shown
//   with no lock held.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/document.h"
#include "console/form_model.h"
#include "cpelink/icmp_library.h"
#include "console/pictures.h"
#include "console/view_host.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/single_instance.h"
#include "platform/ui_port.h"
#include "records/counts_info.h"

// Texts of the view.
constexpr const char* INSTANCE_MUTEX_NAME = "KVOR417N1,0x12,0xab,0x4f,0x06,0xab,0x1e,0x2c,0x8d,0x9b,0x1d,0x66";
constexpr const char* TEXT_ALREADY_RUNNING = "程序已经运行!";
constexpr const char* TEXT_RUNNING_CN = "程序正在运行，不允许操作！";
constexpr const char* TEXT_RUNNING_EN = "Still running,can not allow config!";
constexpr const char* TEXT_RUNNING_GUIDE_EN = "Still running, can not allow config!";
constexpr const char* TEXT_SDI_WARNING_CN = "注意：导出SDI文件记录，将会清空使用本平台下载的相关记录！";
constexpr const char* TEXT_SDI_WARNING_EN = "Warning:After export sdi file,the upgrade information will be clear!";
constexpr const char* TEXT_LINE_FAILED_CN = "线路%d任务失败，请手动重启相应设备";
constexpr const char* TEXT_LINE_FAILED_EN = "Line%d fail，please reset the modem manually";
constexpr const char* TEXT_CLOSING = "如果再次管理wifi，请关闭工具软件和设备。按照操作说明重新进行升级操作。";
constexpr const char* TEXT_ABOUT = "MG_RK880T_PDWA_CN_VEV1.00.00：RK880T 接入盒管理工具，版本 1.00.00。";
constexpr const char* TEXT_VERSION_IP_ONLY = "设置IP为\"2.2.2.2\"时才可以设置下载版本的路径。";
constexpr const char* TEXT_VERSION_SET = "版本设置完成，点击【确定】按钮退出程序。\n请严格按照操作说明进行管理操作。";
constexpr const char* TEXT_FILE_MISSING_SUFFIX = " 文件不存在，请重新选择。";
constexpr const char* TEXT_NV_DIR_TITLE = "Please choose the NV directory";
constexpr const char* TEXT_RELEASE_ALL = "全部释放";
constexpr const char* TEXT_CONNECT_ALL = "全部连接";
constexpr const char* VERSION_PATH_ADDRESS = "2.2.2.2";
constexpr const char* GUIDE_FILE_NAME = "MG_RK880T_PDWA_CN_EU操作说明.doc";
constexpr const char* UNINSTALLER_NAME = "UnInstallAll.exe";
constexpr const char* BIN_FILTER = "Bin Files(*.bin) | *.bin;||";
constexpr int64_t CLOCK_PERIOD_MS = 50000;

// How a line's last task ended, as far as the view saw it.
enum class TaskOutcome { None, Succeeded, Failed };

// The pieces of the other modules that plug into the view. Set them before OnInitialUpdate; they
// are read-only afterwards. Empty hooks do nothing (or report failure where a result is asked).
struct ViewHooks {
    // Link watcher body of a line; StartLinkWatch does nothing while it is empty.
    std::function<void(int line)> linkWatchThread;
    // Task bodies started by StartLine by task type (1, 3, 4); type 2 ends at once.
    std::function<void(int line)> cpeUpgradeThread;
    std::function<void(int line)> nvBackupThread;
    std::function<void(int line)> nvRestoreThread;
    // Start-up step 18: the DIAG port operation for a line (its DIAG port flag is not 0).
    std::function<void(int line)> diagPortOperation;
    // The document's open operation for a line's channel (Attach); true when open.
    std::function<bool(int line, int port, int baud)> openChannel;
    // Close (CMD_BYE) of a line's channel when it is open.
    std::function<void(int line)> closeChannel;
    // Stop of the link server (nothing when none runs).
    std::function<void()> stopLinkServer;
    // The line's modem engine is in its download mode.
    std::function<bool(int line)> isDownloadMode;
    // "Reset the modem": ResetDownloader when `bDownload`, else ResetPhone.
    std::function<void(int line, bool bDownload)> resetModem;
    // The modem and NV controls (1131-1148 but 1136, 1158, 1160).
    std::function<void(int id)> modemCommand;
    // Overrides of the record store's exports (default: the document's record store).
    std::function<bool()> exportCsv;
    std::function<bool()> exportSdi;
    // Runs in Teardown after the view's threads are joined (the link server and the like).
    std::function<void()> teardown;
};

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
    std::function<void(int line, TaskOutcome outcome)> onTaskThreadReturned;
};

struct ViewConfig {
    std::string programFolder;     // the configuration file, operating guide, uninstaller
    std::string gatewayOverride;   // --gateway: replaces the dialog's address when not empty
    bool bStartLinkWatch = true;   // false: the start-up runs without the link watcher
};

// The end of the start-up: the form runs, or the process ends with `exitCode`.
struct StartOutcome {
    bool bRunning = false;
    int exitCode = 0;
};

class CServiceToolView {
public:
    CServiceToolView(CServiceToolDoc& doc, CFormModel& form, plat::IUiPort& ui,
                           IViewHost& host, plat::IProcess& process, ViewConfig config);
    ~CServiceToolView();  // Teardown when it has not run
    CServiceToolView(const CServiceToolView&) = delete;
    CServiceToolView& operator=(const CServiceToolView&) = delete;

    ViewHooks hooks;
    ViewObservers observers;

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
    // Starts the line's watcher with hooks.linkWatchThread (nothing when it is empty): an old
    // watcher of the line is stopped, the ARP cache flushed, m_nCurLine set.
    void StartLinkWatch(int line);
    // The Download button: pauses the watcher, then (once it acknowledged, on the GUI thread)
    // applies the mode table, tests the image paths and starts the task thread.
    void StartLine(int line);

    // ---- Threads ----
    // Start a thread owned by the view; `body(line)` runs on it with its own copy of the line.
    // False after Teardown. A new watcher replaces (stops) the line's old one.
    bool StartWatcherThread(int line, std::function<void(int line)> body);
    bool StartTaskThread(int line, std::function<void(int line)> body);

    // ---- Watcher pause (cooperative suspension) ----
    // Watcher thread: acknowledges a pending pause and waits until resumed. False when the thread
    // is asked to stop (return from the body then).
    bool SafePoint(int line);
    // Watcher thread: a scaled sleep that breaks off for a pause request (acknowledged at once)
    // and goes on with the rest after the resume. False when asked to stop.
    bool SafeSleep(int line, int64_t ms);
    // GUI thread: asks the line's watcher to pause; `then` runs on the GUI thread once it has
    // acknowledged (at once when the line has no live watcher or it is paused already). A resume
    // before the acknowledgement cancels `then`.
    void PauseWatcher(int line, std::function<void()> then);
    // Any thread but the GUI thread and the watcher itself: pauses and waits for the
    // acknowledgement, at most `timeoutMs` real ms. True when paused (or no live watcher).
    bool PauseWatcherAndWait(int line, int64_t timeoutMs);
    void ResumeWatcher(int line);
    bool IsWatcherPaused(int line) const;
    bool HasLiveWatcher(int line) const;

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
    void EndTask(int line, const std::string& text, int code);
    void ShowCurrentTime();
    // Shows the counters store's texts in 1185, 1182 and 1181.
    void RefreshCounters();

    // Guarded texts.
    std::string GetHistory(int line) const;
    std::string GetModemVersion(int line) const;
    void SetModemVersion(int line, const std::string& text);
    std::string GetCpeVersion(int line) const;
    void SetCpeVersion(int line, const std::string& text);
    // The start-up dialog's texts (written once at start-up, before any thread).
    const std::string& TerminalIp() const { return m_strTerminalIp; }
    const std::string& WifiMaxNum() const { return m_strWifiMaxNum; }

    // ---- Signals for the front ends ----
    // The watcher's keep-alive pass showed "连接完成" and enabled Download.
    void NotifyLineReady(int line);
    // A task ended successfully (the NV threads; the CPE success path may call it too).
    void ReportTaskSuccess(int line);
    TaskOutcome LastOutcome(int line) const;
    // Line 0 runs a task: the close is refused then (and the session end held back).
    bool LineZeroRunning() const { return m_doc.m_bRunning[0].load() != 0; }
    // The text that says so, in the program's language.
    std::string RunningText() const { return English() ? TEXT_RUNNING_EN : TEXT_RUNNING_CN; }
    // Ends the process with `status` through the close path (any thread).
    void RequestExit(int status, bool force = false);

    // The local time used by the stamps and the clock (tests replace it).
    void SetTimeSource(std::function<std::tm()> source);
    bool English() const { return m_doc.m_bLanguage.load() == 1; }
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
    struct OwnedThread {
        plat::WorkerThread thread;
        std::atomic<bool> bDone{false};
    };
    struct WatchGate {
        mutable std::mutex mutex;
        std::condition_variable cv;
        uint64_t nGeneration = 0;      // counts the watchers started on the line
        bool bAlive = false;           // the current watcher's body runs
        bool bPauseRequested = false;
        bool bPaused = false;          // the watcher sits in SafePoint
        bool bShutdown = false;
        std::vector<std::function<void()>> then;  // continuations waiting for the acknowledgement
    };

    void ApplyBusyLocks();
    std::tm LocalTime() const;
    void RunningMessage(bool bGuideText = false);
    void ContinueStartLine(int line);
    void DataFromControls();
    void DataToControls();
    void StartOwned(std::vector<std::unique_ptr<OwnedThread>>& list, int line,
                    std::function<void(int)> body, bool bWatcher);
    void ReapFinished();
    void PostContinuations(std::vector<std::function<void()>> then);

    CServiceToolDoc& m_doc;
    CFormModel& m_form;
    plat::IUiPort& m_ui;
    IViewHost& m_host;
    plat::IProcess& m_process;
    ViewConfig m_config;
    CIcmpLibrary m_icmp;  // the network start-up object; its failure is shown at construction
    CCountsInfo m_countsInfo;
    plat::SingleInstance m_instance;

    std::string m_strTerminalIp;
    std::string m_strWifiMaxNum;

    mutable std::mutex m_textMutex;  // history and version texts
    std::array<std::string, LINE_COUNT> m_strHistory;
    std::array<std::string, LINE_COUNT> m_strModemVersion;
    std::array<std::string, LINE_COUNT> m_strCpeVersion;
    mutable std::mutex m_emitMutex;  // keeps observer calls in the order of the changes

    mutable std::mutex m_timeMutex;
    std::function<std::tm()> m_timeSource;

    // Data members of the form's data exchange.
    std::string m_strUpgradeSoftware;  // 1080
    std::string m_strBootFile;         // 1137
    std::string m_strLoader;           // 1139
    std::string m_strModemCtl;         // 1000 (guarded by m_textMutex: worker threads show versions)

    std::array<std::atomic<int>, LINE_COUNT> m_nOutcome{};
    // A StartLine waits for its watcher's acknowledgement.
    std::array<std::atomic<bool>, LINE_COUNT> m_bStartPending{};

    std::array<WatchGate, LINE_COUNT> m_gates;
    std::mutex m_threadsMutex;
    std::array<std::vector<std::unique_ptr<OwnedThread>>, LINE_COUNT> m_watchers;  // last is current
    std::array<std::vector<std::unique_ptr<OwnedThread>>, LINE_COUNT> m_tasks;
    std::atomic<bool> m_bTornDown{false};
};
