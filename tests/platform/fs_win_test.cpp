// The file replacement on Windows while another program (a virus scanner, the indexer) holds the
// target open for a moment without FILE_SHARE_DELETE.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/fs.h"
#include "platform/wide.h"
#include "tests/support/temp_folder.h"

namespace {

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// Opens `path` as a scanner does (read and write sharing, no delete sharing), keeps it `holdMs`,
// then sets `released` and closes it.
std::thread HoldOpen(const std::string& path, int holdMs, std::atomic<bool>& opened, std::atomic<bool>& released) {
    return std::thread([path, holdMs, &opened, &released] {
        const HANDLE h = CreateFileW(plat::Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        opened = h != INVALID_HANDLE_VALUE;
        Sleep(static_cast<DWORD>(holdMs));
        released = true;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    });
}

TEST(RenameOver, WaitsForATargetHeldOpenBrieflyAndGivesUpOnOneHeldLonger) {
    const std::string dir = test_support::MakeTempFolder("rk-rename-");
    const std::string target = dir + "/record.dll";
    const std::string source = dir + "/record.dll.tmp";

    // Held for 300 ms: the replacement goes through once the holder lets go.
    Write(target, "old");
    Write(source, "new");
    std::atomic<bool> opened{false}, released{false};
    std::thread holder = HoldOpen(target, 300, opened, released);
    while (!opened && !released) Sleep(1);
    ASSERT_TRUE(opened);
    EXPECT_TRUE(plat::RenameOver(source, target));
    EXPECT_TRUE(released);  // it could not have been replaced while held
    holder.join();
    EXPECT_EQ(Read(target), "new");
    EXPECT_FALSE(plat::NameExists(source));

    // Held for 3 s: the replacement fails after its tries, both files as they were.
    Write(source, "newer");
    opened = released = false;
    holder = HoldOpen(target, 3000, opened, released);
    while (!opened && !released) Sleep(1);
    EXPECT_FALSE(plat::RenameOver(source, target));
    EXPECT_FALSE(released);
    holder.join();
    EXPECT_EQ(Read(target), "new");
    EXPECT_EQ(Read(source), "newer");

    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
