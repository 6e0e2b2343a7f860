#include <gtest/gtest.h>

#include "session/task_time.h"

namespace {

// The time line's texts in both languages: elapsed seconds gone, the time left counted up, the
// total, the failure's note with its log.
TEST(TaskTime, TimeLineTexts) {
    struct Case {
        int64_t elapsedMs;
        WaitFor what;
        int64_t leftMs;
        bool bEnglish;
        const char* text;
    };
    const Case table[] = {
        {0, WaitFor::None, 0, false, "已用时 0秒"},
        {65999, WaitFor::None, 0, false, "已用时 1分05秒"},
        {3723000, WaitFor::None, 0, false, "已用时 1时02分03秒"},
        {12000, WaitFor::GatewayReply, 460001, false, "已用时 12秒　等待接入盒回应，最多还需 7分41秒"},
        {12000, WaitFor::GatewayReply, 1, false, "已用时 12秒　等待接入盒回应，最多还需 1秒"},
        {12000, WaitFor::GatewayReply, -5, false, "已用时 12秒　等待接入盒回应，最多还需 0秒"},
        {30000, WaitFor::GatewayRestart, 100000, false, "已用时 30秒　等待接入盒重启，最多还需 1分40秒"},
        {30000, WaitFor::GatewayClose, 248000, false, "已用时 30秒　等待接入盒断开连接，最多还需 4分08秒"},
        {5000, WaitFor::ModemReply, 19000, false, "已用时 5秒　等待模块回应，最多还需 19秒"},
        {65000, WaitFor::None, 0, true, "Elapsed 1m05s"},
        {65000, WaitFor::GatewayReply, 461000, true, "Elapsed 1m05s, waiting for the gateway's reply, at most 7m41s more"},
        {3723000, WaitFor::ModemReply, 9000, true, "Elapsed 1h02m03s, waiting for the modem's reply, at most 9s more"},
    };
    for (const Case& c : table)
        EXPECT_EQ(task_time::Line(c.elapsedMs, c.what, c.leftMs, c.bEnglish), c.text) << c.text;
    EXPECT_EQ(task_time::EndNote(65400, "", false), "（用时 1分05秒）");
    EXPECT_EQ(task_time::EndNote(65400, "/L/x.log", false), "（用时 1分05秒，日志：/L/x.log）");
    EXPECT_EQ(task_time::EndNote(65400, "/L/x.log", true), " (took 1m05s, log: /L/x.log)");

    // The clock: the wait's time left falls with the time, the end leaves the total.
    task_time::Clock clock;
    EXPECT_EQ(clock.Text(0, 0, false), "");
    clock.Start(0, 1000);
    clock.Wait(0, WaitFor::GatewayReply, 480000, 2000);
    EXPECT_EQ(clock.Text(0, 21000, false), "已用时 20秒　等待接入盒回应，最多还需 7分41秒");
    clock.Wait(0, WaitFor::None, 0, 22000);
    EXPECT_EQ(clock.Text(0, 66000, false), "已用时 1分05秒");
    clock.End(0, 67000);
    EXPECT_FALSE(clock.Running(0));
    EXPECT_EQ(clock.Text(0, 99000, false), "用时 1分06秒");
}

}  // namespace
