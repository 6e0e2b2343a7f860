// Keeping Windows awake: the execution state is the calling thread's, so each task sets it on its
// own thread and gives it back there. The console's close button is disabled while any task runs:
// a console close cannot be refused, it only gets a few seconds before the process is ended.
#include <windows.h>

#include <mutex>

#include "platform/stay_awake.h"

namespace plat {

namespace {

std::mutex g_mutex;
int g_holders = 0;

// The console window, when this process has one (the console program run from a console).
HWND ConsoleWindow() { return GetConsoleWindow(); }

}  // namespace

StayAwake::StayAwake() {
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_holders++ == 0) {
        if (const HWND console = ConsoleWindow())
            if (const HMENU menu = GetSystemMenu(console, FALSE))
                DeleteMenu(menu, SC_CLOSE, MF_BYCOMMAND);
    }
}

StayAwake::~StayAwake() {
    SetThreadExecutionState(ES_CONTINUOUS);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (--g_holders == 0) {
        if (const HWND console = ConsoleWindow()) GetSystemMenu(console, TRUE);  // the menu as it was
    }
}

int StayAwakeHolders() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_holders;
}

}  // namespace plat
