// A library planted in the program's folder under the name of one the program uses: loaded from
// there, it leaves "planted-dll-loaded.txt" beside itself (and exports nothing the program needs,
// so a program that imported it ordinarily would not even start).
#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    std::wstring marker(path, n);
    marker = marker.substr(0, marker.find_last_of(L"\\/") + 1) + L"planted-dll-loaded.txt";
    const HANDLE h = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return TRUE;
}
