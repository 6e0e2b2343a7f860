#pragma once
// What the command line does to a run, the same for every front end: --press-download presses
// Download once line 0 is first ready; once the form runs, --mode and --nv-option check their
// radios, and a command run (the record exports, clearing the counters, --diagnose) runs its
// commands on the GUI thread, then ends through the close path with 0 when they all succeeded,
// else 1.
#include <atomic>

#include "app/app.h"
#include "app/options.h"

class CCommandLineRun {
public:
    CCommandLineRun(CServiceToolApp& app, const plat::Options& options) : m_app(app), m_options(options) {}

    // Before the start-up: the press of --press-download waits for line 0's first ready.
    void BeforeStart();
    // The form runs: the radios, then a command run's commands queued on the GUI thread.
    void Started();

private:
    void ApplyRadios();
    void RunCommands();
    // --diagnose: the report as unstamped status lines of line 0 (standard output when
    // headless); nothing is sent to the gateway. True when the way to the gateway looks ready.
    bool Diagnose();

    CServiceToolApp& m_app;
    const plat::Options& m_options;
    std::atomic<bool> m_bDownloadPressed{false};
};
