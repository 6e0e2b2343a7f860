#include <gtest/gtest.h>

#include <set>
#include <string>

#include "form/startup_dialog.h"

namespace {

using startup_dialog::LimitCheck;
using startup_dialog::ValidateLimitText;

TEST(StartupDialog, AcceptedLimitTexts) {
    struct Case {
        const char* text;
        int value;
    };
    const Case cases[] = {{"32", 32}, {"1", 1},   {" 7 ", 7},   {"\t12\t", 12},
                          {"+5", 5},  {"007", 7}, {"  +032", 32}};
    for (const auto& c : cases) {
        int v = -1;
        EXPECT_EQ(ValidateLimitText(c.text, &v), LimitCheck::Ok) << '"' << c.text << '"';
        EXPECT_EQ(v, c.value) << c.text;
    }
}

TEST(StartupDialog, NotAnInteger) {
    // A text that reads as 0 is an integer only when it begins with '0' (after blanks and tabs):
    // "-0" and "+0" are not; nor are empty texts, letters, trailing characters, hex.
    for (const char* text : {"", " ", "-0", "+0", "abc", "5abc", "5 x", "0x10", "-", "3.5", "１"}) {
        EXPECT_EQ(ValidateLimitText(text), LimitCheck::NotAnInteger) << '"' << text << '"';
    }
}

TEST(StartupDialog, OutOfRange) {
    for (const char* text : {"0", " 0", "00", "0 ", "33", "-1", "-32", "4294967297",
                             "99999999999999999999", "-99999999999999999999"}) {
        EXPECT_EQ(ValidateLimitText(text), LimitCheck::OutOfRange) << '"' << text << '"';
    }
}

TEST(StartupDialog, OkReturnsTheFixedAddressAndTheTextAsTyped) {
    auto r = startup_dialog::PressOk(startup_dialog::DEFAULT_LIMIT_TEXT);
    EXPECT_EQ(r.check, LimitCheck::Ok);
    EXPECT_EQ(r.address, "192.168.0.1");
    EXPECT_EQ(r.limitText, "32");
    r = startup_dialog::PressOk(" 08\t");
    EXPECT_EQ(r.limitText, " 08\t");
    EXPECT_TRUE(r.message.empty());
}

TEST(StartupDialog, FailedChecksGiveTheFrameworkPrompts) {
    auto r = startup_dialog::PressOk("33");
    EXPECT_EQ(r.check, LimitCheck::OutOfRange);
    EXPECT_EQ(r.message, "“请填入一个在1和32之间的整数。”");
    EXPECT_TRUE(r.address.empty());
    EXPECT_TRUE(r.limitText.empty());
    r = startup_dialog::PressOk("x");
    EXPECT_EQ(r.message, "请键入一个整数。");
}

TEST(StartupDialog, OpeningTextsInOrder) {
    const int order[] = {1190, 1191, 1192, 1193, 1197, 1200, 1198, 1, 2, 1194, 1196};
    ASSERT_EQ(startup_dialog::OPENING_TEXTS.size(), std::size(order));
    for (size_t i = 0; i < std::size(order); ++i)
        EXPECT_EQ(startup_dialog::OPENING_TEXTS[i].id, order[i]);
    EXPECT_STREQ(startup_dialog::OPENING_TEXTS[10].text, "WIFI最大连接：");
    EXPECT_STREQ(startup_dialog::OPENING_TEXTS[7].text, "确定");
    EXPECT_STREQ(startup_dialog::OPENING_TEXTS[8].text, "取消");
    EXPECT_STREQ(startup_dialog::CAPTION, "MG_RK880T_PDWA_CN_VEV1.00.00");
}

}  // namespace
