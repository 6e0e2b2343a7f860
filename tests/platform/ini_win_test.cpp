// Windows only: the project's INI reader and writer against the system's profile functions on the
// same files.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/ini.h"
#include "platform/wide.h"

namespace {

namespace fs = std::filesystem;

class IniAgainstWindows : public ::testing::Test {
protected:
    IniAgainstWindows() {
        dir = fs::temp_directory_path() / ("rk_ini_" + std::to_string(std::random_device{}()));
        fs::create_directories(dir);
    }
    ~IniAgainstWindows() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string Path(const std::string& name) const { return (dir / name).string(); }
    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    // GetPrivateProfileStringW, after the system's cache of the file is dropped.
    static std::string SystemGet(const std::string& section, const std::string& key, const std::string& path) {
        WritePrivateProfileStringW(nullptr, nullptr, nullptr, plat::Widen(path).c_str());
        wchar_t buf[512] = {};
        GetPrivateProfileStringW(plat::Widen(section).c_str(), plat::Widen(key).c_str(), L"<default>", buf, 512,
                                 plat::Widen(path).c_str());
        return plat::Narrow(buf);
    }
    static bool SystemSet(const std::string& section, const std::string& key, const std::string& value,
                          const std::string& path) {
        const BOOL ok = WritePrivateProfileStringW(plat::Widen(section).c_str(), plat::Widen(key).c_str(),
                                                   plat::Widen(value).c_str(), plat::Widen(path).c_str());
        WritePrivateProfileStringW(nullptr, nullptr, nullptr, plat::Widen(path).c_str());
        return ok != 0;
    }
    fs::path dir;
};

const char* const kFiles[] = {
    "[countsinfo]\r\n  successcounts = 7 \r\nName=\"quoted text\"\r\n[OTHER]\r\nSuccessCounts=9\r\n",
    "[S]\nA=1\nB = two words \n\n[T]\nA=2\n",
    "; comment\r\n[ Spaced ]\r\nEmpty=\r\n  Key With Spaces  =  v  \r\nnovalue\r\n[S]\r\nA=x=y\r\n",
    "A=outside\r\n[S]\r\nA=first\r\n",
};
const char* const kQueries[][2] = {
    {"CountsInfo", "SuccessCounts"}, {"COUNTSINFO", "name"}, {"other", "successcounts"}, {"CountsInfo", "Missing"},
    {"NoSection", "A"},              {"S", "A"},             {"S", "b"},                 {"T", "A"},
    {"Spaced", "Empty"},             {"Spaced", "key with spaces"}, {"Spaced", "novalue"},
};

TEST_F(IniAgainstWindows, ReadsAsGetPrivateProfileString) {
    for (const char* file : kFiles) {
        const std::string path = Path("read.ini");
        Write(path, file);
        for (const auto& q : kQueries)
            EXPECT_EQ(plat::IniGetString(q[0], q[1], "<default>", path), SystemGet(q[0], q[1], path))
                << q[0] << "/" << q[1] << " in:\n" << file;
    }
}

TEST_F(IniAgainstWindows, WhatEitherWritesTheOtherReads) {
    const std::vector<std::vector<std::string>> writes = {
        {"CountsInfo", "SuccessCounts", "12"}, {"countsinfo", "TotalCounts", "40"}, {"New", "Key", "a value"},
        {"S", "A", "replaced"},               {"S", "Added", ""},
    };
    for (const char* file : kFiles) {
        const std::string ours = Path("ours.ini"), theirs = Path("theirs.ini");
        Write(ours, file);
        Write(theirs, file);
        for (const auto& w : writes) {
            ASSERT_TRUE(plat::IniWriteString(w[0], w[1], w[2], ours));
            ASSERT_TRUE(SystemSet(w[0], w[1], w[2], theirs));
        }
        for (const auto& w : writes) {
            EXPECT_EQ(SystemGet(w[0], w[1], ours), w[2]) << w[0] << "/" << w[1];
            EXPECT_EQ(plat::IniGetString(w[0], w[1], "<default>", theirs), w[2]) << w[0] << "/" << w[1];
        }
        for (const auto& q : kQueries) {
            EXPECT_EQ(plat::IniGetString(q[0], q[1], "<default>", ours), SystemGet(q[0], q[1], theirs))
                << q[0] << "/" << q[1] << " in:\n" << file;
        }
    }
}

}  // namespace
