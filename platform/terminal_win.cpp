#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/terminal.h"
#include "platform/wide.h"

namespace plat {

namespace {

constexpr int kInterruptStatus = 128 + 2;   // as SIGINT
constexpr int kTerminateStatus = 128 + 15;  // as SIGTERM
// Windows ends the process about 5 s after a close, log-off or shut-down event whatever the
// handler does; the handler holds the system off for that long so the close path can finish.
constexpr DWORD kCloseGraceMs = 5000;

std::mutex g_mutex;
std::condition_variable g_cv;
int g_pending = 0;

// The console as PrepareConsole found it: both code pages and the output handles' modes.
struct SavedConsole {
    UINT inputCp = 0;   // 0: no console
    UINT outputCp = 0;
    std::array<HANDLE, 2> handles{};
    std::array<DWORD, 2> modes{};
    std::array<bool, 2> bModeSaved{};
};
SavedConsole g_saved;
std::atomic<bool> g_bRestored{false};
std::atomic<bool> g_bTakeEvents{false};  // BlockExitSignals: the close path takes the events
std::atomic<bool> g_bHandlerSet{false};

// Once, from whichever exit path comes first; what is still buffered goes out in UTF-8 first.
void RestoreConsole() {
    if (g_saved.outputCp == 0 || g_bRestored.exchange(true)) return;
    std::fflush(stdout);
    std::fflush(stderr);
    for (size_t i = 0; i < g_saved.handles.size(); ++i)
        if (g_saved.bModeSaved[i]) SetConsoleMode(g_saved.handles[i], g_saved.modes[i]);
    SetConsoleCP(g_saved.inputCp);
    SetConsoleOutputCP(g_saved.outputCp);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    // Not taken (the window): the system's own handling ends the process.
    if (!g_bTakeEvents) {
        RestoreConsole();
        return FALSE;
    }
    const int status = event == CTRL_C_EVENT ? kInterruptStatus : kTerminateStatus;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_pending == 0) g_pending = status;
    }
    g_cv.notify_all();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The process ends within the grace whether or not the close path is done.
        RestoreConsole();
        Sleep(kCloseGraceMs);
    }
    return TRUE;
}

void SetEventHandler() {
    if (!g_bHandlerSet.exchange(true)) SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    int n = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide) return {argv, argv + argc};
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(Narrow(wide[i]));
    LocalFree(wide);
    return out;
}

void PrepareConsole() {
    if (const UINT outputCp = GetConsoleOutputCP(); outputCp != 0 && g_saved.outputCp == 0) {
        g_saved.inputCp = GetConsoleCP();
        g_saved.outputCp = outputCp;
        std::atexit(RestoreConsole);
        SetEventHandler();
    }
    SetConsoleOutputCP(CP_UTF8);
    std::fflush(stdout);
    std::fflush(stderr);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    const DWORD ids[] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (size_t i = 0; i < g_saved.handles.size(); ++i) {
        const HANDLE h = GetStdHandle(ids[i]);
        DWORD mode = 0;
        if (!GetConsoleMode(h, &mode)) continue;
        if (!g_saved.bModeSaved[i]) {
            g_saved.handles[i] = h;
            g_saved.modes[i] = mode;
            g_saved.bModeSaved[i] = true;
        }
        SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}

void ExitNow(int code) {
    std::fflush(nullptr);
    RestoreConsole();
    std::_Exit(code);
}

bool IsTerminal(int stream) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode) != 0;
}

int TerminalColumns(int stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void BlockExitSignals() {
    g_bTakeEvents = true;
    SetEventHandler();
}

int WaitExitSignal(int64_t ms) {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_cv.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_pending != 0; });
    const int status = g_pending;
    g_pending = 0;
    return status;
}

}  // namespace plat
