#pragma once
// Windows only: paths and texts are UTF-8 inside the program and UTF-16 at the system's wide
// calls.
#include <windows.h>

#include <string>

namespace plat {

inline std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// One argument quoted as CommandLineToArgvW reads it back.
inline std::wstring QuoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

inline std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// A path from the system with forward slashes, as the program's own paths are written.
inline std::string NarrowPath(const std::wstring& path) {
    std::string out = Narrow(path);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

// A file of the system's own program folder (System32 of this process) by its full path: what
// an elevated program starts or loads never comes from its own or the working folder.
inline std::wstring SystemFilePath(const std::wstring& name) {
    wchar_t buf[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryW(buf, MAX_PATH);
    const std::wstring folder = n == 0 || n >= MAX_PATH ? std::wstring(L"C:\\Windows\\System32") : std::wstring(buf, n);
    return folder + L"\\" + name;
}

}  // namespace plat
