#pragma once
// What every front end (the Qt window, the Win32 window, the headless runner) shares: the GUI
// thread's queue, the ways the process ends, the file an export of the command line names, and the
// run of the program: the application over this front end, the wiring, the start-up, the front
// end's loop while the form runs, the teardown and the exit status. A front end adds only what is
// its toolkit's own: its window and loop, the wake of the queue, message boxes, choosers, timers.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/app.h"
#include "form/view_host.h"
#include "app/options.h"
#include "platform/process.h"
#include "platform/ui_port.h"
#include "ui/common/gui_queue.h"

class CFrontEnd : public plat::IUiPort, public IViewHost {
public:
    // The constructing thread is the GUI thread.
    explicit CFrontEnd(const plat::Options& options);

    // The run, on the GUI thread: the application with this front end as its UI port and host;
    // Open; the program's `wire`; Wired; the start-up; Loop while the form runs; Leave; the
    // teardown; Closed. Trace lines go to Trace meanwhile. Returns the exit status: the start-up's
    // when the form never ran, else Loop's.
    int RunApplication(const std::string& programFolder, const std::function<void(CServiceToolApp&)>& wire);

    int ExitStatus() const { return m_nStatus; }

    // plat::IUiPort: the path an export of the command line gives, else AskFile.
    std::optional<std::string> ChooseFile(const plat::FileDialogSpec& dialogRequest) final;

    // IViewHost
    void PostToGui(std::function<void()> fn) final;
    bool IsGuiThread() const final;
    // From another thread: posted to the GUI thread, where the toolkit's timer is set or killed.
    void StartTimer(int id, int64_t periodMs) final;
    void StopTimer(int id) final;
    void ExitProcessNow(int code) final;
    // Posted to the GUI thread: EndThroughClosePath.
    void RequestExit(int status, bool force) final;
    // The program closes through the close path: 0 after a pass, 2 after a failure.
    void LineConcluded(int line, LineOutcome outcome) final;
    void BeginTeardown() final;

protected:
    // The front end's own steps of RunApplication.
    virtual void Open(CServiceToolApp& app) = 0;  // its window over the form, its observers
    virtual void Wired(CServiceToolApp&) {}       // after the program's wiring
    virtual int Loop() = 0;                       // shows the window and runs until EndLoop
    virtual void Leave() {}                       // the loop is over, the teardown comes next
    virtual void Closed() {}                      // after the teardown: the window goes
    // GUI thread, once the close path has run: ends the loop with ExitStatus().
    virtual void EndLoop() = 0;
    // The toolkit's timers, on the GUI thread: the view's OnTimer(id) every `periodMs` real ms.
    virtual void SetGuiTimer(int id, int64_t periodMs) = 0;
    virtual void KillGuiTimer(int id) = 0;
    // A file chooser that no command line answers.
    virtual std::optional<std::string> AskFile(const plat::FileDialogSpec& dialogRequest) = 0;
    // One trace line (the tool's standard output and debugger messages); standard output here.
    virtual void Trace(const std::string& text);

    // GUI thread. With `force` the view's teardown, else the frame's close, which may refuse (the
    // line runs: nothing ends); then the status is kept and the loop ends.
    void EndThroughClosePath(int status, bool force);

    plat::Options m_options;
    CGuiQueue m_gui;
    CServiceToolApp* m_pApp = nullptr;  // while RunApplication runs

private:
    plat::SystemProcess m_process;
    int m_nStatus = 0;
};
