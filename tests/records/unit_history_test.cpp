#include <gtest/gtest.h>

#include "records/unit_history.h"
#include "records_test_util.h"

using rectest::ReadFile;
using rectest::WriteFile;

namespace {

const std::string kHead = std::string("\xEF\xBB\xBF") + unit_history::HEADER + "\r\n";

unit_history::Row Sample(const std::string& result) {
    unit_history::Row row;
    row.start = "2026-12-09T19:30:01";
    row.durationS = 65;
    row.line = 1;
    row.task = "upgrade";
    row.modemVersion = "PD_WA_RK880T_V1.0.0";
    row.cpeVersion = "RK19T_V1.0.0";
    row.result = result;
    row.outcome = "failed";
    row.log = "20261209-193001-line1-upgrade.log";
    return row;
}

// A new file gets the mark and the header; fields with commas or quotes are quoted; a row a crash
// cut short is closed off, so the next row starts on a line of its own.
TEST(UnitHistory, AppendsWholeRowsAfterTheHeaderAndClosesARowCutShort) {
    rectest::TempRoot root;
    const std::string path = root.Path() + "/history.csv";
    ASSERT_TRUE(unit_history::Append(path, Sample("管理成功。")));
    const std::string first =
        "2026-12-09T19:30:01,65,1,upgrade,,PD_WA_RK880T_V1.0.0,RK19T_V1.0.0,管理成功。,failed,"
        "20261209-193001-line1-upgrade.log\r\n";
    EXPECT_EQ(ReadFile(path), kHead + first);

    // A crash in the middle of the next row's write.
    const std::string cut = "2026-12-09T19:40:00,3,1,nv-bac";
    WriteFile(path, kHead + first + cut);
    ASSERT_TRUE(unit_history::Append(path, Sample("a \"quoted\", text")));
    const std::string second =
        "2026-12-09T19:30:01,65,1,upgrade,,PD_WA_RK880T_V1.0.0,RK19T_V1.0.0,\"a \"\"quoted\"\", text\",failed,"
        "20261209-193001-line1-upgrade.log\r\n";
    EXPECT_EQ(ReadFile(path), kHead + first + cut + "\r\n" + second);

    // An empty file (made, never written) is a new history.
    WriteFile(path, "");
    ASSERT_TRUE(unit_history::Append(path, Sample("管理成功。")));
    EXPECT_EQ(ReadFile(path), kHead + first);
}

}  // namespace
