// The line log: stamped lines per line, appended across runs, only into a folder that exists.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/line_log.h"
#include "platform/trace.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(LineLog, AppendsStampedLinesPerLine) {
    const std::string root = test_support::MakeTempFolder("rk-linelog-");
    const std::string logs = root + "/Logs";
    {
        plat::LineLog log(logs);
        // The folder is the start-up's to make: without it nothing is written.
        EXPECT_FALSE(log.Write(0, "lost"));
        ASSERT_TRUE(std::filesystem::create_directory(logs));
        std::vector<std::thread> ts;
        for (int t = 0; t < 4; ++t)
            ts.emplace_back([&log, t] {
                for (int i = 0; i < 50; ++i) log.Write(0, plat::Format("entry %d %d", t, i));
            });
        for (auto& t : ts) t.join();
        EXPECT_TRUE(log.Write(0, "error: open /x file\n"));
        EXPECT_TRUE(log.Write(2, "two\nlines"));
        EXPECT_EQ(log.PathFor(0), logs + "/Line1.log");
    }
    plat::LineLog again(logs);
    again.Write(0, "End DownloadLinux");

    std::ifstream f(logs + "/Line1.log");
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(f, line)) lines.push_back(line);
    ASSERT_EQ(lines.size(), 202u);
    const std::regex stamped(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} .+)");
    for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l, stamped)) << l;
    EXPECT_EQ(lines[200].substr(20), "error: open /x file");
    EXPECT_EQ(lines[201].substr(20), "End DownloadLinux");
    std::ifstream f3(logs + "/Line3.log");
    std::getline(f3, line);
    EXPECT_EQ(line.substr(20), "two\\nlines");
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

}  // namespace
