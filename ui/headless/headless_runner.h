#pragma once
// The headless front end: the form runs without a window. Every status history entry goes to
// standard output as it is appended; message boxes, progress changes, pictures and trace lines go
// to standard error, one line each ("MESSAGE: ", "PROGRESS: ", "PICTURE: ", "TRACE: "). The
// calling thread is the GUI thread: it runs a queue of posted work and the window timers.
//
// Exit statuses: 0 after a successful task (or a close after the success message), 1 once a
// failed task's thread has returned, 2 after the communication error (the watcher asks with
// RequestExit(2)), 3 on --give-up-after, 4 for a bad --wifi-max, 128 + N after signal N; the
// export and clear commands 0 or 1. Every exit goes through the close path (teardown), except the
// immediate ends (second instance, bad version folder, exit command).
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "app/app.h"
#include "console/view_host.h"
#include "platform/clock.h"
#include "platform/options.h"
#include "platform/process.h"
#include "platform/ui_port.h"

class CHeadlessRunner final : public plat::IUiPort, public IViewHost {
public:
    CHeadlessRunner(const plat::Options& options, std::string programFolder);
    ~CHeadlessRunner() override;

    // Blocks SIGINT and SIGTERM in the calling thread; call it before any thread is started, so
    // every thread inherits the mask and only the runner's signal thread takes them.
    static void BlockExitSignals();

    // Runs the program to its end on the calling thread; returns the exit status. `wire` runs
    // after the application object is made and before its start-up.
    int Run(const std::function<void(CServiceToolApp&)>& wire);

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
    // Thread-safe: the close path runs on the GUI thread, then Run returns `status`.
    void RequestExit(int status, bool force) override;
    void BeginTeardown() override {}

    // One line as written to standard error: line breaks inside as "\n", trailing ones dropped.
    static std::string EscapeLine(const std::string& text);
    // The progress line shown instead of the PROGRESS: lines when standard error is a terminal:
    // line (1 to 8), percentage, a bar of 20, the status text up to its first line break.
    static std::string ProgressLine(int line, int percent, const std::string& status);

private:
    struct Timer {
        int64_t periodMs;
        int64_t nextAt;
    };

    void PrintErr(const std::string& line);
    void PrintOut(const std::string& text);
    void WriteErr(const std::string& text);  // m_errMutex held
    void DrawProgress();                      // m_errMutex held
    int Loop();
    void HandleExit(int status, bool force);
    void OnProgressText(int line, const std::string& text);
    void OnStatusText(int line, const std::string& text);

    plat::Options m_options;
    std::string m_strProgramFolder;
    plat::SystemProcess m_process;
    std::thread::id m_guiThread;
    CServiceToolApp* m_pApp = nullptr;

    std::mutex m_outMutex;
    std::mutex m_errMutex;
    std::array<int, LINE_COUNT> m_nLastProgress{};  // guarded by m_errMutex
    // Standard error is a terminal: one updating progress line instead of the PROGRESS: lines.
    const bool m_bTerminal;
    static constexpr const char* kClearLine = "\r\033[K";
    // Guarded by m_errMutex: the line shown (empty: none), its line, the status texts.
    std::string m_strProgressShown;
    int m_nProgressLine = -1;
    std::array<std::string, LINE_COUNT> m_strStatus;

    std::mutex m_mutex;  // the queue, timers and exit state
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_queue;
    std::map<int, Timer> m_timers;
    bool m_bQuit = false;
    int m_nStatus = 0;
    int64_t m_giveUpAt = -1;

    std::atomic<bool> m_bTaskEnded{false};
    plat::WorkerThread m_signalThread;
};
