#pragma once
// CServiceToolView: the form view over dialog 101. It runs the start-up, dispatches the form's
// commands (the lines' through ILineControl, the menu's and the choosers' to CFormCommands) and
// owns the presenter that shows what the lines report.
//
// Threads: the GUI thread runs OnInitialUpdate, OnCommand, OnTimer and the close path. The line
// threads belong to the lines' sessions (ILineControl), which Teardown shuts down; the presenter
// takes their events from any thread.
#include <atomic>
#include <string>

#include "form/form_commands.h"
#include "form/form_model.h"
#include "form/line_presenter.h"
#include "form/view_host.h"
#include "model/document.h"
#include "platform/process.h"
#include "platform/single_instance.h"
#include "platform/ui_port.h"
#include "records/counts_info.h"
#include "session/line_session.h"

constexpr const char* INSTANCE_MUTEX_NAME = "KVOR417N1,0x12,0xab,0x4f,0x06,0xab,0x1e,0x2c,0x8d,0x9b,0x1d,0x66";
constexpr const char* TEXT_ALREADY_RUNNING = "程序已经运行!";
constexpr const char* TEXT_RELEASE_ALL = "全部释放";
constexpr const char* TEXT_CONNECT_ALL = "全部连接";
constexpr int64_t CLOCK_PERIOD_MS = 50000;

struct ViewConfig {
    std::string programFolder;     // the configuration file, operating guide, uninstaller
    bool bStartLinkWatch = true;   // false: the start-up runs without the link watcher
};

// The end of the start-up: the form runs, or the process ends with `exitCode`.
struct StartOutcome {
    bool bRunning = false;
    int exitCode = 0;
};

class CServiceToolView {
public:
    CServiceToolView(CServiceToolDoc& doc, CFormModel& form, plat::IUiPort& ui, IViewHost& host,
                     plat::IProcess& process, CCountsInfo& counts, ViewConfig config);
    ~CServiceToolView();  // Teardown when it has not run
    CServiceToolView(const CServiceToolView&) = delete;
    CServiceToolView& operator=(const CServiceToolView&) = delete;

    // The lines the form commands; set once before OnInitialUpdate (none: the line commands do
    // nothing).
    void AttachLines(ILineControl* lines);
    // What the lines report goes to the presenter (the front ends set its observers).
    CLinePresenter& Presenter() { return m_presenter; }
    CFormCommands& Commands() { return m_commands; }

    // ---- Start-up and messages (GUI thread) ----
    StartOutcome OnInitialUpdate();
    // Every control and menu command of the form.
    void OnCommand(int id);
    void OnTimer(int id);
    void OnPaint();
    // True when the key was swallowed (Enter, Escape).
    bool OnKeyDown(int key) const;
    // WM_USER + 1.
    void OnUninstallMessage() { m_commands.Uninstall(); }
    // The frame's close: false (and the running message) while line 0 runs; otherwise the clock
    // timer is stopped, Teardown runs and the result is true: the window may go.
    bool OnFrameClose();
    // Stops and joins every thread the view started, deletes the extracted images and releases
    // the single-instance marker. Runs once; GUI thread.
    void Teardown();
    bool IsTornDown() const { return m_bTornDown.load(); }

    // A mode radio (1154, 1156, 1159, 1162): the document's mode and line 0's task with it.
    void OnModeRadio(int id);

    // The gateway address of line 0 (the start-up dialog's, once it has run).
    std::string TerminalIp() const { return m_pLines ? m_pLines->Gateway(0) : std::string(); }
    bool English() const { return m_doc.English(); }
    CServiceToolDoc& Doc() { return m_doc; }
    IViewHost& Host() { return m_host; }

private:
    // The Download button: the form's texts and radios into the members, then the line's start
    // with the chosen mode (ILineControl::Start).
    void StartLine(int line);
    void StopLine(int line);
    void ReleaseAll();
    void LineTaskRadio(int id);
    // The DIAG port buttons' switches (1147 and the lines' buttons); other ids do nothing.
    void SwitchPortOf(int id);

    CServiceToolDoc& m_doc;
    CFormModel& m_form;
    plat::IUiPort& m_ui;
    IViewHost& m_host;
    ViewConfig m_config;
    plat::SingleInstance m_instance;
    CLinePresenter m_presenter;
    CFormCommands m_commands;
    ILineControl* m_pLines = nullptr;
    std::atomic<bool> m_bTornDown{false};
};
