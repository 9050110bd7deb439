#include "platform/MultimediaTimer.h"

#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

using TestSupport::eventually;

constexpr std::chrono::milliseconds period = 10ms;
// 200 periods: see TestSupport::tickRateFault.
constexpr auto window = 2s;

TEST(MultimediaTimer, PeriodicAndOneShotTimersTickAtTheirPeriodAndRejectBadArguments)
{
    EXPECT_EQ(Platform::timeSetEvent(0, 1, [] {}, Platform::TIME_PERIODIC), 0u);
    EXPECT_EQ(Platform::timeSetEvent(10, 1, nullptr, Platform::TIME_PERIODIC), 0u);
    EXPECT_EQ(Platform::timeSetEvent(10, 1, [] {}, 7), 0u);
    EXPECT_FALSE(Platform::timeKillEvent(0));

    std::atomic<int> periodicTicks{0};
    std::atomic<int> oneShotTicks{0};
    const auto started = std::chrono::steady_clock::now();
    const unsigned periodic = Platform::timeSetEvent(unsigned(period.count()), 1, [&] { ++periodicTicks; }, Platform::TIME_PERIODIC);
    ASSERT_NE(periodic, 0u);
    // One-shot timers one after the other over the same window, each killed once it has fired.
    int oneShots = 0;
    while (std::chrono::steady_clock::now() - started < window) {
        const unsigned oneShot = Platform::timeSetEvent(unsigned(period.count()), 1, [&] { ++oneShotTicks; }, Platform::TIME_ONESHOT);
        ASSERT_NE(oneShot, 0u);
        EXPECT_NE(oneShot, periodic);
        ++oneShots;
        ASSERT_TRUE(eventually([&] { return oneShotTicks.load() == oneShots; }, 60s)) << "the one-shot timer never fired";
        EXPECT_TRUE(Platform::timeKillEvent(oneShot));
        EXPECT_FALSE(Platform::timeKillEvent(oneShot));
    }
    const int counted = periodicTicks.load();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(Platform::timeKillEvent(periodic));
    EXPECT_EQ(TestSupport::tickRateFault(counted, elapsed, period), "") << "periodic";
    EXPECT_EQ(TestSupport::tickRateFault(oneShots, elapsed, period), "") << "one-shot";
    EXPECT_EQ(oneShotTicks.load(), oneShots) << "a one-shot timer fired twice";

    const int killed = periodicTicks.load();
    std::this_thread::sleep_for(120ms);
    EXPECT_EQ(periodicTicks.load(), killed) << "ticks after the kill";
}

TEST(MultimediaTimer, KillWaitsForARunningTickAndMayComeFromTheTickItself)
{
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    const unsigned slow = Platform::timeSetEvent(5, 1, [&] {
        if (entered.exchange(true))
            return;
        std::this_thread::sleep_for(200ms);
        finished = true;
    }, Platform::TIME_PERIODIC);
    ASSERT_NE(slow, 0u);
    ASSERT_TRUE(eventually([&] { return entered.load(); }));
    EXPECT_TRUE(Platform::timeKillEvent(slow));
    EXPECT_TRUE(finished.load()) << "kill returned while the tick was still running";

    std::atomic<int> ticks{0};
    std::atomic<unsigned> self{0};
    std::atomic<bool> killed{false};
    const unsigned id = Platform::timeSetEvent(5, 1, [&] {
        ++ticks;
        while (self.load() == 0)
            std::this_thread::yield();
        killed = Platform::timeKillEvent(self.load());
    }, Platform::TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    self = id;
    ASSERT_TRUE(eventually([&] { return killed.load(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(ticks.load(), 1);
    EXPECT_FALSE(Platform::timeKillEvent(id));
}

TEST(MultimediaTimer, ExceptionInATickIsSwallowedAndTheTimerGoesOn)
{
    const std::size_t failedBefore = Platform::failedTimerTicks();
    std::atomic<int> ticks{0};
    const unsigned id = Platform::timeSetEvent(5, 1, [&] {
        ++ticks;
        throw std::runtime_error("tick failed");
    }, Platform::TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(eventually([&] { return ticks.load() >= 3; }));
    EXPECT_TRUE(Platform::timeKillEvent(id));
    EXPECT_EQ(Platform::failedTimerTicks() - failedBefore, static_cast<std::size_t>(ticks.load()));
}

TEST(MultimediaTimer, TimeGetTimeCountsMillisecondsForward)
{
    const std::uint32_t first = Platform::timeGetTime();
    std::this_thread::sleep_for(30ms);
    const std::uint32_t second = Platform::timeGetTime();
    // Unsigned difference, as callers take it (right across a wrap as well).
    const std::uint32_t elapsed = second - first;
    EXPECT_GE(elapsed, 29u);
    EXPECT_LT(elapsed, 60000u);
}

}
