#include <gtest/gtest.h>

#include <ctime>
#include <thread>

#include "platform/ini.h"
#include "records/counts_info.h"
#include "records_test_util.h"

using rectest::ReadFile;
using rectest::WriteFile;

namespace {

class Counts : public ::testing::Test {
protected:
    void SetUp() override {
        env.Set("TZ", "UTC");
        ::tzset();
    }
    void TearDown() override { ::tzset(); }

    std::string IniPath() const { return root.System("DerorEZ_LTE_RK19S2V1.00.00.ini"); }

    rectest::EnvGuard env;  // restored after the root is gone
    rectest::TempRoot root;
    rectest::FakeUi ui;
};

const char kStored[] =
    "[CountsInfo]\r\n"
    "SuccessCounts=40\r\n"
    "TotalCounts=50\r\n"
    "NowSuccessCounts=4\r\n"
    "NowTotalCounts=5\r\n"
    "ClearTime=1394154301\r\n";

TEST_F(Counts, FirstRunShowsZeroAndNeverCleared) {
    CCountsInfo counts;
    std::string now, all;
    counts.FormatCounts(now, all);
    EXPECT_EQ(now, "0/0");
    EXPECT_EQ(all, "0/0");
    EXPECT_EQ(counts.GetClearTimeText(), "0/0/0 00:00");
    EXPECT_EQ(counts.IniPath(), IniPath());
    EXPECT_FALSE(plat::PathExists(IniPath()));  // reading never creates the file
}

TEST_F(Counts, ReadsTheStoredValuesAndShowsTheClearTimeInLocalTime) {
    WriteFile(IniPath(), kStored);
    CCountsInfo counts;
    const CountsTexts t = counts.GetDisplayTexts();
    EXPECT_EQ(t.strNow, "4/5");
    EXPECT_EQ(t.strAll, "40/50");
    EXPECT_EQ(t.strClearTime, "03/07/2014 01:05");
    EXPECT_EQ(counts.GetClearTimeText(), "03/07/2014 01:05");
}

TEST_F(Counts, ClearTimeZeroInAnExistingFileShowsNeverCleared) {
    WriteFile(IniPath(), "[countsinfo]\nsuccesscounts=1\ntotalcounts=2\nClearTime=0\n");
    CCountsInfo counts;
    EXPECT_EQ(counts.GetClearTimeText(), "0/0/0 00:00");
    EXPECT_EQ(counts.GetDisplayTexts().strAll, "1/2");
    EXPECT_EQ(counts.GetDisplayTexts().strNow, "0/0");
}

TEST_F(Counts, MalformedValuesReadAsZero) {
    WriteFile(IniPath(), "[CountsInfo]\r\nSuccessCounts=many\r\nTotalCounts=\r\nClearTime=soon\r\n");
    CCountsInfo counts;
    EXPECT_EQ(counts.GetDisplayTexts().strAll, "0/0");
    EXPECT_EQ(counts.GetClearTimeText(), "0/0/0 00:00");
}

TEST_F(Counts, ClearAsksInChineseThenZeroesTheCurrentPairOnly) {
    WriteFile(IniPath(), kStored);
    CCountsInfo counts;
    const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
    ASSERT_TRUE(counts.Clear(ui, false));
    const uint32_t after = static_cast<uint32_t>(std::time(nullptr));

    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "确定清零当前计数？");
    EXPECT_EQ(ui.messages[0].caption, "提示");
    EXPECT_EQ(ui.messages[0].buttons, plat::MsgButtons::YesNo);

    const CountsValues v = counts.GetValues();
    EXPECT_EQ(v.nNowSuccessCounts, 0u);
    EXPECT_EQ(v.nNowTotalCounts, 0u);
    EXPECT_EQ(v.nSuccessCounts, 40u);
    EXPECT_EQ(v.nTotalCounts, 50u);
    EXPECT_GE(v.tClearTime, before);
    EXPECT_LE(v.tClearTime, after);
    const CountsTexts t = counts.GetDisplayTexts();
    EXPECT_EQ(t.strNow, "0/0");
    EXPECT_EQ(t.strAll, "40/50");
    EXPECT_EQ(t.strClearTime, CCountsInfo::FormatClearTime(v.tClearTime));
    EXPECT_NE(t.strClearTime, "0/0/0 00:00");

    // The file holds all five keys in their order, the all pair written back as read.
    EXPECT_EQ(ReadFile(IniPath()), "[CountsInfo]\r\nSuccessCounts=40\r\nTotalCounts=50\r\nNowSuccessCounts=0\r\n"
                                   "NowTotalCounts=0\r\nClearTime=" + std::to_string(v.tClearTime) + "\r\n");
    // A new store reads what was saved.
    CCountsInfo again;
    EXPECT_EQ(again.GetDisplayTexts().strClearTime, t.strClearTime);
    EXPECT_EQ(again.GetDisplayTexts().strNow, "0/0");
}

TEST_F(Counts, ClearAsksInEnglishWithTheEnglishFlag) {
    CCountsInfo counts;
    ASSERT_TRUE(counts.Clear(ui, true));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Are you sure to clear?");
    EXPECT_EQ(ui.messages[0].caption, "Notes");
    EXPECT_EQ(plat::IniGetInt("CountsInfo", "NowTotalCounts", 9, IniPath()), 0u);
}

TEST_F(Counts, DecliningLeavesMemoryDisplayAndFileUntouched) {
    WriteFile(IniPath(), std::string("; mine\r\n") + kStored);
    CCountsInfo counts;
    const CountsTexts before = counts.GetDisplayTexts();
    ui.answer = plat::MsgResult::No;
    EXPECT_FALSE(counts.Clear(ui, false));
    ui.answer = plat::MsgResult::Ok;  // anything but Yes
    EXPECT_FALSE(counts.Clear(ui, true));
    const CountsTexts after = counts.GetDisplayTexts();
    EXPECT_EQ(after.strNow, before.strNow);
    EXPECT_EQ(after.strAll, before.strAll);
    EXPECT_EQ(after.strClearTime, before.strClearTime);
    EXPECT_EQ(counts.GetValues().tClearTime, 1394154301u);
    EXPECT_EQ(ReadFile(IniPath()), std::string("; mine\r\n") + kStored);
}

TEST_F(Counts, AttemptAndSuccessAddOneToBothPairsAndSaveAtOnce) {
    WriteFile(IniPath(), kStored);
    CCountsInfo counts;
    counts.AddAttempt();
    EXPECT_EQ(plat::IniGetInt("CountsInfo", "TotalCounts", 0, IniPath()), 51u);
    EXPECT_EQ(plat::IniGetInt("CountsInfo", "NowTotalCounts", 0, IniPath()), 6u);
    EXPECT_EQ(plat::IniGetInt("CountsInfo", "SuccessCounts", 0, IniPath()), 40u);
    counts.AddSuccess();
    const CountsTexts t = counts.GetDisplayTexts();
    EXPECT_EQ(t.strNow, "5/6");
    EXPECT_EQ(t.strAll, "41/51");
    EXPECT_EQ(t.strClearTime, "03/07/2014 01:05");
    EXPECT_EQ(ReadFile(IniPath()), "[CountsInfo]\r\nSuccessCounts=41\r\nTotalCounts=51\r\nNowSuccessCounts=5\r\n"
                                   "NowTotalCounts=6\r\nClearTime=1394154301\r\n");
}

TEST_F(Counts, SaveKeepsOtherSectionsAndKeys) {
    WriteFile(IniPath(), "[Other]\r\nA=1\r\n[CountsInfo]\r\n; note\r\nTotalCounts=2\r\nOwner=lab 3\r\n");
    CCountsInfo counts;
    counts.AddAttempt();
    EXPECT_EQ(ReadFile(IniPath()),
              "[Other]\r\nA=1\r\n[CountsInfo]\r\n; note\r\nTotalCounts=3\r\nOwner=lab 3\r\nSuccessCounts=0\r\n"
              "NowSuccessCounts=0\r\nNowTotalCounts=1\r\nClearTime=0\r\n");
}

TEST_F(Counts, CountsFromSeveralThreadsAreNotLost) {
    CCountsInfo counts;
    std::thread a([&] {
        for (int i = 0; i < 40; ++i) counts.AddAttempt();
    });
    std::thread b([&] {
        for (int i = 0; i < 40; ++i) counts.AddSuccess();
    });
    a.join();
    b.join();
    EXPECT_EQ(counts.GetDisplayTexts().strAll, "40/40");
    EXPECT_EQ(plat::IniGetInt("CountsInfo", "TotalCounts", 0, IniPath()), 40u);
    EXPECT_EQ(plat::IniGetInt("CountsInfo", "NowSuccessCounts", 0, IniPath()), 40u);
}

}  // namespace
