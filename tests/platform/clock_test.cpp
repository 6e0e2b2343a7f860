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

// Virtual time: the driving thread's pauses and I/O waits move the clock by their full length at
// once (and run the settle step); another thread's pause ends when the clock has passed its end.
TEST(VirtualTime, DriverMovesTheClockOthersFollowIt) {
    int settles = 0;
    int64_t otherWoke = -1;
    {
        const int64_t realStart = plat::RealTickMs();
        const plat::VirtualTime time([&settles] { ++settles; });
        const int64_t start = plat::TickMs();
        plat::WorkerThread other;
        other.Start([&] {
            plat::SleepRaw(5000);
            otherWoke = plat::TickMs() - start;
        });
        EXPECT_TRUE(plat::SleepRaw(3000));
        EXPECT_EQ(plat::TickMs() - start, 3000);
        EXPECT_EQ(otherWoke, -1);
        int polls = 0;
        EXPECT_EQ(plat::WaitIo([&polls](int64_t ms) { ++polls; return ms == 0 ? 0 : 1; }, 2500), 0);
        EXPECT_EQ(polls, 2);  // without waiting, before and after the settle step
        EXPECT_EQ(plat::TickMs() - start, 5500);
        EXPECT_EQ(settles, 2);
        other.Join();
        EXPECT_GE(otherWoke, 5000);
        EXPECT_LT(plat::RealTickMs() - realStart, 4000);
    }
    // Back on real time the tick count goes on from the virtual one, never back.
    const int64_t after = plat::TickMs();
    plat::SleepRaw(1);
    EXPECT_GE(plat::TickMs(), after);
}

}  // namespace
