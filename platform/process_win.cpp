// Starting programs on Windows: CreateProcessW for command lines (the ARP flush, hidden),
// ShellExecuteW for documents and programs. Nothing is waited for; the handles are closed at once.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "platform/fs.h"
#include "platform/process.h"
#include "platform/wide.h"

namespace plat {

namespace {

// `application` is the program's full path, so that CreateProcessW never searches the program's
// or the working folder for it.
bool StartCommandLine(const std::wstring& application, std::wstring commandLine, WORD show) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = show;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// A bare program name ("cmd.exe") is the system's own program; a path is taken as it stands.
std::wstring ProgramPath(const std::wstring& program) {
    if (program.find_first_of(L"\\/:") != std::wstring::npos) return program;
    const bool bExtension = program.find(L'.') != std::wstring::npos;
    return SystemFilePath(bExtension ? program : program + L".exe");
}

}  // namespace

void RestrictLibrarySearch() {
    // Libraries loaded by name come from the system folder alone, never from the program's or
    // the working folder.
    SetDllDirectoryW(L"");
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool SpawnDetached(const char* const argv[]) {
    if (!argv[0]) return false;
    const std::wstring application = ProgramPath(Widen(argv[0]));
    std::wstring commandLine;
    for (const char* const* p = argv; *p; ++p) {
        if (!commandLine.empty()) commandLine += L' ';
        commandLine += QuoteArgument(p == argv ? application : Widen(*p));
    }
    return StartCommandLine(application, commandLine, SW_HIDE);
}

// The whole cache goes ("arp -d" without an address), as the Windows tool always did.
std::vector<std::string> ArpFlushCommand(const std::string&) {
    return {Narrow(SystemFilePath(L"arp.exe")), "-d"};
}

void SystemProcess::OpenDocument(const std::string& path) {
    // When no program is registered for the document's type (a .doc on a PC without an office
    // suite or WordPad), the same document as HTML beside it, when there is one.
    std::wstring document = Widen(path);
    const size_t dot = path.rfind('.');
    if (dot != std::string::npos && PathExists(path.substr(0, dot) + ".html")) {
        wchar_t program[MAX_PATH] = {};
        if (reinterpret_cast<INT_PTR>(FindExecutableW(document.c_str(), nullptr, program)) <= 32)
            document = Widen(path.substr(0, dot) + ".html");
    }
    ShellExecuteW(nullptr, L"Open", document.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void SystemProcess::StartProgram(const std::string& path) {
    ShellExecuteW(nullptr, L"open", Widen(path).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace plat
