#include <gtest/gtest.h>

#include <filesystem>

#include "platform/ini.h"
#include "tests/records/records_test_util.h"

using rectest::ReadFile;
using rectest::WriteFile;

namespace {

class Ini : public ::testing::Test {
protected:
    rectest::TempRoot root;
    std::string path = root.Path() + "/test.ini";
};

TEST_F(Ini, SectionsAndKeysAreCaseInsensitive) {
    WriteFile(path, "[countsinfo]\r\n  successcounts = 7 \r\nName=\"quoted text\"\r\n[OTHER]\r\nSuccessCounts=9\r\n");
    EXPECT_EQ(plat::IniGetInt("CountsInfo", "SuccessCounts", 0, path), 7u);
    EXPECT_EQ(plat::IniGetInt("COUNTSINFO", "SUCCESSCOUNTS", 0, path), 7u);
    EXPECT_EQ(plat::IniGetInt("other", "successCounts", 0, path), 9u);
    EXPECT_EQ(plat::IniGetString("CountsInfo", "name", "", path), "quoted text");
}

TEST_F(Ini, MissingFileSectionOrKeyReadsAsDefault) {
    EXPECT_EQ(plat::IniGetInt("CountsInfo", "TotalCounts", 5, path), 5u);
    EXPECT_EQ(plat::IniGetString("CountsInfo", "TotalCounts", "none", path), "none");
    WriteFile(path, "[CountsInfo]\nTotalCounts=3\n; SuccessCounts=4\n[Other]\nSuccessCounts=8\n");
    EXPECT_EQ(plat::IniGetInt("Missing", "TotalCounts", 11, path), 11u);
    EXPECT_EQ(plat::IniGetInt("CountsInfo", "SuccessCounts", 12, path), 12u);  // commented out, other section
    EXPECT_EQ(plat::IniGetInt("CountsInfo", "TotalCounts", 0, path), 3u);
}

TEST_F(Ini, MalformedNumbersReadAsWindowsReadsThem) {
    EXPECT_EQ(plat::IniParseInt("abc", 17), 17u);
    EXPECT_EQ(plat::IniParseInt("", 17), 17u);
    EXPECT_EQ(plat::IniParseInt("-", 17), 17u);
    EXPECT_EQ(plat::IniParseInt("- 5", 17), 17u);
    EXPECT_EQ(plat::IniParseInt("x12", 17), 17u);
    EXPECT_EQ(plat::IniParseInt(" \t42xyz", 17), 42u);
    EXPECT_EQ(plat::IniParseInt("+5", 17), 5u);
    EXPECT_EQ(plat::IniParseInt("-1", 17), 4294967295u);
    EXPECT_EQ(plat::IniParseInt("4294967295", 0), 4294967295u);
    EXPECT_EQ(plat::IniParseInt("0x10", 17), 0u);  // decimal only: the digits before the x
    WriteFile(path, "[S]\r\nA=junk\r\nB=\r\nC=  12 apples\r\n");
    EXPECT_EQ(plat::IniGetInt("S", "A", 3, path), 3u);
    EXPECT_EQ(plat::IniGetInt("S", "B", 4, path), 4u);
    EXPECT_EQ(plat::IniGetInt("S", "C", 0, path), 12u);
}

TEST_F(Ini, WriteCreatesMissingFileWithWindowsLineBreaks) {
    ASSERT_TRUE(plat::IniWriteString("CountsInfo", "SuccessCounts", "0", path));
    ASSERT_TRUE(plat::IniWriteString("CountsInfo", "TotalCounts", "2", path));
    EXPECT_EQ(ReadFile(path), "[CountsInfo]\r\nSuccessCounts=0\r\nTotalCounts=2\r\n");
}

TEST_F(Ini, WriteKeepsOtherSectionsKeysAndComments) {
    WriteFile(path,
              "; counters of the tool\r\n"
              "[Other]\r\n"
              "TotalCounts=99\r\n"
              "\r\n"
              "[countsinfo]\r\n"
              "; kept comment\r\n"
              "totalcounts = 5\r\n"
              "Extra=keep me\r\n"
              "\r\n"
              "[Last]\r\n"
              "Key=1\r\n");
    ASSERT_TRUE(plat::IniWriteString("CountsInfo", "TotalCounts", "6", path));
    ASSERT_TRUE(plat::IniWriteString("CountsInfo", "NewKey", "7", path));
    ASSERT_TRUE(plat::IniWriteString("Added", "K", "v", path));
    EXPECT_EQ(ReadFile(path),
              "; counters of the tool\r\n"
              "[Other]\r\n"
              "TotalCounts=99\r\n"
              "\r\n"
              "[countsinfo]\r\n"
              "; kept comment\r\n"
              "totalcounts=6\r\n"
              "Extra=keep me\r\n"
              "NewKey=7\r\n"
              "\r\n"
              "[Last]\r\n"
              "Key=1\r\n"
              "[Added]\r\n"
              "K=v\r\n");
    EXPECT_EQ(plat::IniGetInt("Other", "TotalCounts", 0, path), 99u);
}

TEST_F(Ini, WriteKeepsUnixLineBreaksOfAnExistingFile) {
    WriteFile(path, "[S]\nA=1");
    ASSERT_TRUE(plat::IniWriteString("s", "B", "2", path));
    EXPECT_EQ(ReadFile(path), "[S]\nA=1\nB=2\n");
}

TEST_F(Ini, WriteReplacesTheFileThroughARename) {
    WriteFile(path, "[S]\r\nA=1\r\n");
    // A second name of the old file keeps the old bytes: the file was replaced, not rewritten.
    const std::string link = root.Path() + "/old.ini";
    std::filesystem::create_hard_link(path, link);
    ASSERT_TRUE(plat::IniWriteString("S", "A", "2", path));
    EXPECT_EQ(ReadFile(path), "[S]\r\nA=2\r\n");
    EXPECT_EQ(ReadFile(link), "[S]\r\nA=1\r\n");
    EXPECT_EQ(rectest::ListFolder(root.Path()), (std::vector<std::string>{"C", "old.ini", "program", "test.ini"}));
}

TEST_F(Ini, WriteRefusesTextsThatWouldBreakTheFile) {
    WriteFile(path, "[S]\r\nA=1\r\n");
    EXPECT_FALSE(plat::IniWriteString("S", "A", "1\r\n[Injected]", path));
    EXPECT_FALSE(plat::IniWriteString("S", "A=B", "1", path));
    EXPECT_FALSE(plat::IniWriteString("S]", "A", "1", path));
    EXPECT_FALSE(plat::IniWriteString("S", "", "1", path));
    EXPECT_EQ(ReadFile(path), "[S]\r\nA=1\r\n");
}

TEST_F(Ini, AnUnreadableTargetReadsAsDefaultAndIsNotWritten) {
    const std::string dir = root.Path() + "/adir";
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    EXPECT_EQ(plat::IniGetInt("S", "A", 8, dir), 8u);
    EXPECT_FALSE(plat::IniWriteString("S", "A", "1", dir));
    EXPECT_FALSE(plat::IniWriteString("S", "A", "1", root.Path() + "/missing/x.ini"));
    // A read-only file is read but never replaced.
    const std::string locked = root.Path() + "/locked.ini";
    ASSERT_TRUE(plat::IniWriteString("S", "A", "2", locked));
    rectest::MakeReadOnly(locked);
    EXPECT_FALSE(plat::IniWriteString("S", "A", "1", locked));
    EXPECT_EQ(plat::IniGetInt("S", "A", 8, locked), 2u);
}

}  // namespace
