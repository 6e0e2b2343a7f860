#pragma once
// The Win32 front end (Windows build): the UI port and the host of the view over a Win32 message
// loop. Posted work runs on the GUI thread through the form window's WM_APP_RUN_POSTED message and
// the clock through SetTimer. Message boxes and choosers asked for by worker threads are shown on
// the GUI thread while the worker waits (ui/common/gui_queue.h).
#include <windows.h>
// The UI port's member is MessageBox, not the system's macro for MessageBoxW.
#undef MessageBox

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ui/common/front_end.h"

class CWin32FormWindow;

class CWin32FrontEnd final : public CFrontEnd {
public:
    explicit CWin32FrontEnd(const plat::Options& options);
    ~CWin32FrontEnd() override;

    // plat::IUiPort
    plat::MsgResult MessageBox(const std::string& text, const std::string& caption, plat::MsgButtons buttons,
                               plat::MsgIcon icon) override;
    std::optional<std::string> ChooseFolder(const std::string& title) override;
    void PostClose() override;

    // IViewHost
    DialogEnd RunTerminalIpDialog(TerminalIpResult& out) override;
    void SetTitle(const std::string& title) override;

    // Shut-down and log-off while line 0 runs a task (GUI thread): the window holds the session
    // end back with the running text as its reason from the task's start to its end.
    // SyncShutdownBlock follows the view's state; EndSessionAllowed answers WM_QUERYENDSESSION.
    void SyncShutdownBlock();
    bool EndSessionAllowed();
    // The reason given now (empty when the session may end).
    const std::wstring& ShutdownBlockReason() const { return m_strBlockReason; }

private:
    void Open(CServiceToolApp& app) override;
    void SetGuiTimer(int id, int64_t periodMs) override;
    void KillGuiTimer(int id) override;
    void Wired(CServiceToolApp& app) override;
    int Loop() override;
    void Closed() override;
    void EndLoop() override;
    std::optional<std::string> AskFile(const plat::FileDialogSpec& dialogRequest) override;
    void Trace(const std::string& text) override;
    // The form window's WM_APP_RUN_POSTED: the next posted item.
    void RunPosted();
    HWND Owner() const;

    std::unique_ptr<CWin32FormWindow> m_pWindow;
    std::wstring m_strBlockReason;  // GUI thread
};

// Runs the Win32 window: the application's start-up (with `wire` before it), then the message
// loop. Returns the exit status.
int RunWin32Window(const plat::Options& options, const std::string& programFolder,
                   const std::function<void(CServiceToolApp&)>& wire);

// A program with the console subsystem started from the desktop gets a console window of its own:
// it is let go when the window opens. A console shared with a command prompt stays, so the trace
// lines still reach it.
void ReleaseOwnConsole();
