// rk880t-tool: the RK880T service tool. With --headless it runs without a window (the headless
// runner); otherwise it shows the window: Qt on Linux, Win32 on Windows.
#include <cstdio>

#include "app/wiring.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/network.h"
#include "app/options.h"
#include "platform/process.h"
#include "platform/terminal.h"
#include "ui/headless/headless_runner.h"
#include "ui/simulate.h"

#ifdef RK_HAVE_QT
#include "ui/qt/qt_front_end.h"
#endif
#ifdef RK_HAVE_WIN32_WINDOW
#include "platform/wide.h"
#include "ui/win32/win32_front_end.h"
#include "ui/win32/win32_session_guard.h"
#endif

int main(int argc, char** argv) {
    plat::RestrictLibrarySearch();
    const std::vector<std::string> args = plat::CommandLineArguments(argc, argv);
    std::vector<const char*> argvUtf8;
    for (const std::string& a : args) argvUtf8.push_back(a.c_str());
    argvUtf8.push_back(nullptr);
    const plat::ParseResult parsed = plat::ParseCommandLine(static_cast<int>(args.size()), argvUtf8.data());
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "%s\n%s", parsed.error.c_str(), plat::UsageText().c_str());
        return 2;
    }
    if (parsed.bHelp) {
        std::fputs(plat::HelpText().c_str(), stdout);
        return 0;
    }
    if (parsed.bVersion) {
        std::printf("rk880t-tool %s\n", RK880T_VERSION);
        return 0;
    }
    plat::Options options = parsed.options;
    // An export or clear run is a command from a shell or a script: it asks nobody (the start-up
    // dialog takes --wifi-max, message boxes are answered as headless), with or without a display.
    if (plat::IsCommandRun(options)) options.bHeadless = true;
    // Before any thread: only the runner's (or the Qt window's) signal thread takes SIGINT and
    // SIGTERM, so that they end the program through its close path (an address the tool set is
    // given back).
#if defined(RK_HAVE_QT)
    CHeadlessRunner::BlockExitSignals();
#else
    if (options.bHeadless) CHeadlessRunner::BlockExitSignals();
#endif
    plat::PrepareConsole();
    plat::StartSocketsForProcess();  // the simulator of --simulate makes sockets before the view starts up

    const std::shared_ptr<void> simulator = StartSimulatorIfAsked(options);
    // Without its simulator a --simulate run would aim at the real gateway's defaults.
    if (options.bSimulate && !simulator) return 5;
    plat::SetTimeScale(options.timeScale);
    plat::SetMachineRoot(options.root.empty() ? plat::DefaultMachineRoot() : options.root);
    const std::string programFolder =
        options.programFolder.empty() ? plat::DefaultProgramFolder() : options.programFolder;

    if (options.bHeadless) {
        CHeadlessRunner runner(options, programFolder);
#ifdef RK_HAVE_WIN32_WINDOW
        // Without a window of its own the console program is not asked before a log-off or
        // shut-down: the guard's hidden window holds them back while a task runs, as the window
        // program does.
        const CWin32SessionGuard guard([&runner] { return plat::Widen(runner.SessionHoldText()); });
#endif
        return runner.Run(WireApplication);
    }
#if defined(RK_HAVE_QT)
    return RunQtWindow(argc, argv, options, programFolder, WireApplication);
#elif defined(RK_HAVE_WIN32_WINDOW)
    ReleaseOwnConsole();
    return RunWin32Window(options, programFolder, WireApplication);
#else
    std::fputs("rk880t-tool: built without the window; use --headless\n", stderr);
    return 2;
#endif
}
