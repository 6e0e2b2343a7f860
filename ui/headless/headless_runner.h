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
#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "ui/common/front_end.h"

class CHeadlessRunner final : public CFrontEnd {
public:
    CHeadlessRunner(const plat::Options& options, std::string programFolder);
    ~CHeadlessRunner() override;

    // Blocks SIGINT and SIGTERM in the calling thread; call it before any thread is started, so
    // every thread inherits the mask and only the runner's signal thread takes them.
    static void BlockExitSignals();

    // Runs the program to its end on the calling thread; returns the exit status. `wire` runs
    // after the application object is made and before its start-up.
    int Run(const std::function<void(CServiceToolApp&)>& wire);

    // The text a log-off or shut-down is held back with while line 0 runs a task (the window's
    // running text); empty otherwise. Callable from any thread.
    std::string SessionHoldText();

    // plat::IUiPort
    plat::MsgResult MessageBox(const std::string& text, const std::string& caption, plat::MsgButtons buttons,
                               plat::MsgIcon icon) override;
    std::optional<std::string> ChooseFolder(const std::string& title) override;
    void PostClose() override;

    // IViewHost
    DialogEnd RunTerminalIpDialog(TerminalIpResult& out) override;
    void SetTitle(const std::string& title) override;

    // One line as written to standard error: line breaks inside as "\n", trailing ones dropped.
    static std::string EscapeLine(const std::string& text);
    // The progress line shown instead of the PROGRESS: lines when standard error is a terminal:
    // line (1 to 8), percentage, a bar of 20, the status text up to its first line break. With
    // `columns` (0: unlimited) it fits in one column less than that: the bar shrinks to 5, then the
    // text is cut (by display columns: a Chinese character takes two). The task's time line, when
    // given, comes before the status text ("已用时 1分05秒 | <status>").
    static std::string ProgressLine(int line, int percent, const std::string& status, int columns = 0,
                                    const std::string& timeLine = {});

private:
    struct Timer {
        int64_t periodMs;
        int64_t nextAt;
    };

    void Open(CServiceToolApp& app) override;
    void SetGuiTimer(int id, int64_t periodMs) override;
    void KillGuiTimer(int id) override;
    int Loop() override;
    void Leave() override;
    void EndLoop() override;
    // Only the export commands of the command line choose a file; anything else is cancelled.
    std::optional<std::string> AskFile(const plat::FileDialogSpec&) override { return std::nullopt; }
    void Trace(const std::string& text) override;

    void PrintErr(const std::string& line);
    void PrintOut(const std::string& text);
    void WriteErr(const std::string& text);  // m_errMutex held
    void DrawProgress();                      // m_errMutex held
    void RedrawOnResize();                    // the signal thread, every 100 ms
    void OnProgress(int line, int percent);
    void OnStatusText(int line, const std::string& text);
    void OnTimeLine(const std::string& text);

    std::string m_strProgramFolder;
    int m_nStatusListener = 0;

    std::mutex m_outMutex;
    std::mutex m_errMutex;
    std::array<int, LINE_COUNT> m_nLastProgress{};  // guarded by m_errMutex
    // Standard error is a terminal: one updating progress line instead of the PROGRESS: lines.
    const bool m_bTerminal;
    static constexpr const char* kClearLine = "\r\033[K";
    // Guarded by m_errMutex: the line shown (empty: none), its line, the status texts.
    std::string m_strProgressShown;
    int m_nProgressLine = -1;
    int m_nColumns = 0;  // the terminal's width when the line was drawn
    std::array<std::string, LINE_COUNT> m_strStatus;
    std::string m_strTimeLine;  // the task's time line (of the line started last)

    std::mutex m_mutex;  // the loop's wakes, timers and end
    std::condition_variable m_cv;
    size_t m_nWakes = 0;  // items posted to the GUI queue and not taken yet
    std::map<int, Timer> m_timers;
    bool m_bQuit = false;
    int64_t m_giveUpAt = -1;

    std::atomic<bool> m_bTaskEnded{false};
    std::mutex m_appMutex;                // guards m_pOpenApp
    CServiceToolApp* m_pOpenApp = nullptr;  // from Open to Leave
    plat::WorkerThread m_signalThread;
};
