#pragma once
// The Win32 front end (Windows build): the UI port and the host of the view over a Win32 message
// loop. Posted work and the clock run on the GUI thread through the form window's messages and
// SetTimer. Message boxes and choosers asked for by worker threads are shown on the GUI thread
// while the worker waits (the GUI thread never waits for a worker); at teardown the waiting
// workers are let go.
#include <windows.h>
// The UI port's member is MessageBox, not the system's macro for MessageBoxW.
#undef MessageBox

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "app/app.h"
#include "form/view_host.h"
#include "platform/options.h"
#include "platform/ui_port.h"

class CWin32FormWindow;

class CWin32FrontEnd final : public plat::IUiPort, public IViewHost {
public:
    explicit CWin32FrontEnd(const plat::Options& options);
    ~CWin32FrontEnd() override;

    // Renders the application's form in `window` once its start-up has run.
    void Attach(CServiceToolApp& app, CWin32FormWindow& window);
    // Runs the GUI thread's posted work (the form window's WM_APP message).
    void RunPosted();
    int ExitStatus() const { return m_nStatus; }

    // plat::IUiPort
    plat::MsgResult MessageBox(const std::string& text, const std::string& caption, plat::MsgButtons buttons,
                               plat::MsgIcon icon) override;
    std::optional<std::string> ChooseFile(const plat::FileDialogSpec& dialogRequest) override;
    std::optional<std::string> ChooseFolder(const std::string& title) override;
    void PostClose() override;

    // IViewHost
    DialogEnd RunTerminalIpDialog(TerminalIpResult& out) override;
    void PostToGui(std::function<void()> fn) override;
    bool IsGuiThread() const override;
    void StartTimer(int id, int64_t periodMs) override;
    void StopTimer(int id) override;
    void SetTitle(const std::string& title) override;
    void ExitProcessNow(int code) override;
    void RequestExit(int status, bool force) override;
    void BeginTeardown() override;

    // Stops taking posted work (the window is gone) and drops what is queued.
    void Shutdown();

    // Shut-down and log-off while line 0 runs a task (GUI thread): the window holds the session
    // end back with the running text as its reason from the task's start to its end.
    // SyncShutdownBlock follows the view's state; EndSessionAllowed answers WM_QUERYENDSESSION.
    void SyncShutdownBlock();
    bool EndSessionAllowed();
    // The reason given now (empty when the session may end).
    const std::wstring& ShutdownBlockReason() const { return m_strBlockReason; }

private:
    template <class T>
    T CallOnGui(std::function<T()> fn, T fallback);
    HWND Owner() const;

    plat::Options m_options;
    DWORD m_guiThread;
    CServiceToolApp* m_pApp = nullptr;
    CWin32FormWindow* m_pWindow = nullptr;
    int m_nStatus = 0;

    std::mutex m_mutex;  // the queue and the flags
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_queue;
    bool m_bShutdown = false;
    bool m_bTeardown = false;
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
