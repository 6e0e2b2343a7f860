#pragma once
// What the view needs of the front end that runs it (the Qt window or the headless runner), beyond
// the message boxes and choosers of plat::IUiPort: the start-up dialog, the GUI thread's queue and
// timers, the window title and the ways the process ends.
#include <cstdint>
#include <functional>
#include <string>

#include "session/line_events.h"

struct TerminalIpResult {
    std::string strIp;          // the gateway address ("192.168.0.1" or --gateway)
    std::string strWifiMaxNum;  // the limit text as typed
};

enum class DialogEnd {
    Ok,       // the two texts are filled in
    Cancel,   // Escape or the dialog closed: the process ends with exit code 0
    Invalid,  // headless: --wifi-max failed validation (its message already written): exit 4
};

class IViewHost {
public:
    virtual ~IViewHost() = default;

    // Start-up dialog 162, modal, on the GUI thread.
    virtual DialogEnd RunTerminalIpDialog(TerminalIpResult& out) = 0;

    // Runs `fn` later on the GUI thread (dropped once the window is gone). Thread-safe.
    virtual void PostToGui(std::function<void()> fn) = 0;
    virtual bool IsGuiThread() const = 0;

    // Window timers: the view's OnTimer(id) runs on the GUI thread every `periodMs` real ms.
    virtual void StartTimer(int id, int64_t periodMs) = 0;
    virtual void StopTimer(int id) = 0;

    virtual void SetTitle(const std::string& title) = 0;

    // Ends the process at once: no teardown; the standard streams are flushed.
    // Does not return in the real front ends.
    virtual void ExitProcessNow(int code) = 0;

    // Closes the window through the close path and ends the process with `status`. With `force`
    // the running check of the close box is skipped (the teardown always runs). Thread-safe.
    virtual void RequestExit(int status, bool force) = 0;

    // A line's work came to an end nothing follows (ILineEvents::Concluded): the front end
    // decides what the program does next. Any thread.
    virtual void LineConcluded(int line, LineOutcome outcome) = 0;

    // Called first by the view's teardown, on the GUI thread: from now on message boxes and
    // choosers asked for by worker threads return at once (OK / No / cancelled), and those they
    // are waiting for are given up, so joining the workers cannot wait on the GUI thread.
    virtual void BeginTeardown() = 0;
};
