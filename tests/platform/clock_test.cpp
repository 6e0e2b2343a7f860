#include <gtest/gtest.h>

#include "platform/clock.h"

namespace {

struct ScaleGuard {
    explicit ScaleGuard(double f) { plat::SetTimeScale(f); }
    ~ScaleGuard() { plat::SetTimeScale(1.0); }
};

TEST(TimeScale, ScalesLongPausesOnlyAndNeverBelow100ms) {
    ScaleGuard g(0.05);
    EXPECT_EQ(plat::Scaled(500), 500);    // short pauses keep their length
    EXPECT_EQ(plat::Scaled(999), 999);
    EXPECT_EQ(plat::Scaled(1000), 100);   // 50 -> floor of 100
    EXPECT_EQ(plat::Scaled(20000), 1000);
    EXPECT_EQ(plat::Scaled(480000), 24000);
}

TEST(TimeScale, RejectsFactorsOutsideRange) {
    ScaleGuard g(0.5);
    plat::SetTimeScale(0.0);
    plat::SetTimeScale(1.5);
    EXPECT_DOUBLE_EQ(plat::TimeScale(), 0.5);
}

TEST(WorkerThread, StopWakesALongSleep) {
    plat::WorkerThread t;
    bool woke = false;
    const int64_t start = plat::TickMs();
    t.Start([&] { woke = !plat::Sleep(600000); });
    plat::SleepRaw(20);
    t.Join();
    EXPECT_TRUE(woke);
    EXPECT_LT(plat::TickMs() - start, 60000);
}

}  // namespace
