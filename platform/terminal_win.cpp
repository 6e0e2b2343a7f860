#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
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

BOOL WINAPI OnConsoleEvent(DWORD event) {
    const int status = event == CTRL_C_EVENT ? kInterruptStatus : kTerminateStatus;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_pending == 0) g_pending = status;
    }
    g_cv.notify_all();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(kCloseGraceMs);
    return TRUE;
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
    SetConsoleOutputCP(CP_UTF8);
    std::fflush(stdout);
    std::fflush(stderr);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    for (DWORD id : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        const HANDLE h = GetStdHandle(id);
        DWORD mode = 0;
        if (GetConsoleMode(h, &mode)) SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}

bool IsTerminal(int stream) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode) != 0;
}

void BlockExitSignals() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

int WaitExitSignal(int64_t ms) {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_cv.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_pending != 0; });
    const int status = g_pending;
    g_pending = 0;
    return status;
}

}  // namespace plat
