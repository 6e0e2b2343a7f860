#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/process.h"

namespace {

TEST(Process, LoopbackAddressesAreRecognised) {
    for (const char* a : {"127.0.0.1", "127.255.1.2", "localhost", "::1"}) EXPECT_TRUE(plat::IsLoopbackAddress(a)) << a;
    for (const char* a : {"192.168.0.1", "2.2.2.2", "128.0.0.1", "", "127.0.0.1 "})
        EXPECT_FALSE(plat::IsLoopbackAddress(a)) << a;
}

// The flush starts the system's own program with no shell in between (cmd.exe would first run the
// user's AutoRun command, with the tool's administrator rights).
TEST(Process, ArpFlushCommandLine) {
    const std::vector<std::string> command = plat::ArpFlushCommand("192.168.0.1");
#ifdef _WIN32
    wchar_t system[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_GT(n, 0u);
    const std::wstring arp = std::wstring(system, n) + L"\\arp.exe";
    std::string expected(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, arp.c_str(), -1, nullptr, 0, nullptr, nullptr)) - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, arp.c_str(), -1, expected.data(), static_cast<int>(expected.size()) + 1, nullptr, nullptr);
    EXPECT_EQ(command, (std::vector<std::string>{expected, "-d"}));
#else
    EXPECT_EQ(command, (std::vector<std::string>{"ip", "neigh", "flush", "to", "192.168.0.1"}));
#endif
}

TEST(Process, DetachedProgramRunsAndLeavesNoChildBehind) {
    namespace fs = std::filesystem;
    const fs::path dirPath = fs::temp_directory_path() / ("rk-spawn-" + std::to_string(std::random_device{}()));
    fs::create_directories(dirPath);
    const std::string dir = dirPath.generic_string();
    const std::string file = dir + "/ran";
#ifdef _WIN32
    // A "cmd.exe" planted in the working folder is not what starts: the system's own writes the file.
    std::ofstream(dirPath / "cmd.exe") << "not a program";
    const fs::path previous = fs::current_path();
    fs::current_path(dirPath);
    const std::string nativeFile = (dirPath / "ran").string();
    const std::string redirect = "ran>" + nativeFile;
    const char* argv[] = {"cmd.exe", "/c", "echo", redirect.c_str(), nullptr};
    const bool bStarted = plat::SpawnDetached(argv);
    fs::current_path(previous);
    ASSERT_TRUE(bStarted);
#else
    // A bare name is found in PATH, and the arguments reach the program as they are, shell
    // characters and all (no shell in between).
    const std::string script = "echo \"$1\" > '" + file + "'";
    const char* argv[] = {"sh", "-c", script.c_str(), "sh", "ran", nullptr};
    ASSERT_TRUE(plat::SpawnDetached(argv));
    // The child in between was reaped; the program belongs to init, not to us.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    const char* missing[] = {"rk880t-no-such-program", nullptr};
    EXPECT_FALSE(plat::SpawnDetached(missing));
#endif
    const auto written = [&file] {
        for (int i = 0; i < 200 && std::ifstream(file).peek() == EOF; ++i) plat::SleepRaw(25);
        std::string text;
        std::getline(std::ifstream(file) >> std::ws, text);
        return text;
    };
    EXPECT_EQ(written(), "ran");
#ifndef _WIN32
    std::filesystem::remove(file);
    const char* literal[] = {"/bin/sh", "-c", script.c_str(), "sh", "a;b $(x) `y`", nullptr};
    ASSERT_TRUE(plat::SpawnDetached(literal));
    EXPECT_EQ(written(), "a;b $(x) `y`");

    // The guide: the .doc through the desktop's default application, the HTML beside it when the
    // desktop has none for the .doc's type (stand-ins for xdg-mime and xdg-open in PATH).
    const std::string doc = dir + "/guide 说明.doc";
    std::ofstream(doc) << "{\\rtf1}";
    std::ofstream(dir + "/guide 说明.html") << "<html>";
    std::ofstream(dir + "/xdg-open") << "#!/bin/sh\necho \"$1\" > '" + file + "'\n";
    const std::string previousPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (dir + ":" + previousPath).c_str(), 1);
    for (const char* handler : {"", "libreoffice-writer.desktop"}) {
        std::ofstream(dir + "/xdg-mime") << std::string("#!/bin/sh\n[ \"$2\" = filetype ] && echo text/rtf || echo ") + handler
                                                + "\n";
        fs::permissions(dir + "/xdg-mime", fs::perms::owner_all);
        fs::permissions(dir + "/xdg-open", fs::perms::owner_all);
        fs::remove(file);
        plat::SystemProcess(false).OpenDocument(doc);
        EXPECT_EQ(written(), *handler ? doc : dir + "/guide 说明.html") << handler;
    }
    ::setenv("PATH", previousPath.c_str(), 1);
#endif
    std::error_code ec;
    fs::remove_all(dirPath, ec);
}

}  // namespace
