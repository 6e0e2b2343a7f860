// Starting programs on Windows: CreateProcessW for command lines (the ARP flush, hidden),
// ShellExecuteW for documents and programs. Nothing is waited for; the handles are closed at once.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "platform/process.h"
#include "platform/wide.h"

namespace plat {

namespace {

bool StartCommandLine(std::wstring commandLine, WORD show) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = show;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

}  // namespace

bool SpawnDetached(const char* const argv[]) {
    std::wstring commandLine;
    for (const char* const* p = argv; *p; ++p) {
        if (!commandLine.empty()) commandLine += L' ';
        commandLine += QuoteArgument(Widen(*p));
    }
    return StartCommandLine(commandLine, SW_HIDE);
}

// The whole cache goes ("arp -d" without an address), as the Windows tool always did.
void SystemProcess::StartArpFlush(const std::string&) { StartCommandLine(L"cmd.exe /c arp -d", SW_HIDE); }

void SystemProcess::OpenDocument(const std::string& path) {
    ShellExecuteW(nullptr, L"Open", Widen(path).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void SystemProcess::StartProgram(const std::string& path) {
    ShellExecuteW(nullptr, L"open", Widen(path).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace plat
