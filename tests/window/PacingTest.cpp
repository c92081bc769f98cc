// Delay and the millisecond counter on the real event loop.

#include "platform/EventLoopPacing.h"

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

TEST(EventLoopPacing, WindowEventsAreHandledDuringADelay) {
    platform::EventLoopPacing pacing;
    bool handled = false;
    QTimer::singleShot(0, [&] { handled = true; });
    pacing.Delay(5);
    EXPECT_TRUE(handled);
}

TEST(EventLoopPacing, AWaitAcrossTheCounterWrapEndsAfterItsLength) {
    platform::EventLoopPacing pacing(0xFFFFFFF8u); // 8 ms before the counter wraps round
    const std::uint32_t before = pacing.timeGetTime();
    pacing.Delay(20);
    const std::uint32_t after = pacing.timeGetTime();
    EXPECT_LT(after, before) << "the counter wrapped round";
    EXPECT_GE(after - before, 20u) << "measured across the wrap by the counter itself";
}

} // namespace
