#pragma once
// Portable test helpers: a new folder in the system's temporary folder (forward slashes on every
// system), the read-only mark, environment variables.
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace test_support {

inline std::string MakeTempFolder(const std::string& prefix) {
    namespace fs = std::filesystem;
    std::random_device rd;
    for (;;) {
        const fs::path p = fs::temp_directory_path() / (prefix + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(p, ec)) return p.generic_string();
    }
}

// No write permission bit; the read-only attribute on Windows.
inline void MakeReadOnly(const std::string& path) {
    namespace fs = std::filesystem;
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

// Sets an environment variable; nullptr removes it.
inline void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");  // an empty value removes the variable there
#else
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
#endif
}

}  // namespace test_support
