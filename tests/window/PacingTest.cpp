// Delay and the millisecond counter on the real event loop.

#include "platform/EventLoopPacing.h"
#include "tests/support/VirtualClock.h"

#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

TEST(EventLoopPacing, DelayZeroReturnsAtOnceWithoutHandlingEvents) {
    platform::EventLoopPacing pacing;
    bool handled = false;
    QTimer::singleShot(0, [&] { handled = true; });
    pacing.Delay(0);
    EXPECT_FALSE(handled);
    pacing.DoEvents();
    EXPECT_TRUE(handled);
}

TEST(EventLoopPacing, DelayHandlesEventsAndLastsAtLeastItsLength) {
    platform::EventLoopPacing pacing;
    bool handled = false;
    QTimer::singleShot(0, [&] { handled = true; });
    QElapsedTimer t;
    t.start();
    pacing.Delay(20);
    EXPECT_TRUE(handled);
    EXPECT_GE(t.elapsed(), 20);
}

TEST(EventLoopPacing, AWaitAcrossTheCounterWrapEnds) {
    platform::EventLoopPacing pacing(0xFFFFFFF8u); // 8 ms before the counter wraps round
    const std::uint32_t before = pacing.timeGetTime();
    QElapsedTimer t;
    t.start();
    pacing.Delay(20);
    EXPECT_GE(t.elapsed(), 20);
    EXPECT_LT(pacing.timeGetTime(), before) << "the counter wrapped round";
}

TEST(VirtualClock, RecordsWaitsInsteadOfSleeping) {
    testing_support::VirtualClock clock;
    const std::uint32_t start = clock.timeGetTime();
    QElapsedTimer t;
    t.start();
    clock.Delay(1000);
    clock.Delay(0);
    clock.Delay(200);
    EXPECT_EQ(clock.waits(), (std::vector<int>{1000, 0, 200}));
    EXPECT_EQ(clock.timeGetTime() - start, 1200u);
    EXPECT_LT(t.elapsed(), 1000) << "nothing was slept";
}

} // namespace
