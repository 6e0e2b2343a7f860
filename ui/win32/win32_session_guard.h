#pragma once
// The console program's hold on a log-off or shut-down while a task runs. Windows asks only
// top-level windows before it ends a session (WM_QUERYENDSESSION), and the console program has
// none: the guard makes a hidden one on a thread of its own. While `reason` gives a text the
// window answers FALSE and gives that text as the reason the system shows
// (ShutdownBlockReasonCreate), as the window program does; with an empty text the session may
// end. The destructor closes the window and ends the thread.
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

class CWin32SessionGuard {
public:
    // `reason` is called on the guard's thread.
    explicit CWin32SessionGuard(std::function<std::wstring()> reason);
    ~CWin32SessionGuard();
    CWin32SessionGuard(const CWin32SessionGuard&) = delete;
    CWin32SessionGuard& operator=(const CWin32SessionGuard&) = delete;

    // The hidden window (null when it could not be made).
    HWND Handle() const { return m_hWnd.load(); }

private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void Run(HANDLE ready);
    bool EndSessionAllowed();

    std::function<std::wstring()> m_reason;
    bool m_bBlocking = false;  // a reason is set on the window (the guard's thread only)
    std::atomic<HWND> m_hWnd{nullptr};
    HANDLE m_hEnded = nullptr;  // set by the thread as it ends
    std::thread m_thread;
};
