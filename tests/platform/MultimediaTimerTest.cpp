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

TEST(MultimediaTimer, PeriodicAndOneShotTimersTickAsAskedAndRejectBadArguments)
{
    EXPECT_EQ(Platform::timeSetEvent(0, 1, [] {}, Platform::TIME_PERIODIC), 0u);
    EXPECT_EQ(Platform::timeSetEvent(10, 1, nullptr, Platform::TIME_PERIODIC), 0u);
    EXPECT_EQ(Platform::timeSetEvent(10, 1, [] {}, 7), 0u);
    EXPECT_FALSE(Platform::timeKillEvent(0));

    std::atomic<int> periodicTicks{0};
    std::atomic<int> oneShotTicks{0};
    const auto started = std::chrono::steady_clock::now();
    const unsigned periodic = Platform::timeSetEvent(50, 1, [&] { ++periodicTicks; }, Platform::TIME_PERIODIC);
    const unsigned oneShot = Platform::timeSetEvent(20, 1, [&] { ++oneShotTicks; }, Platform::TIME_ONESHOT);
    ASSERT_NE(periodic, 0u);
    ASSERT_NE(oneShot, 0u);
    EXPECT_NE(periodic, oneShot);
    ASSERT_TRUE(eventually([&] { return periodicTicks.load() >= 4 && oneShotTicks.load() >= 1; }, 60s))
        << "the periodic timer does not repeat";
    EXPECT_TRUE(Platform::timeKillEvent(periodic));
    const int counted = periodicTicks.load();
    // Four ticks 50 ms apart take 150 ms at least, however loaded the machine: a timer that runs
    // too fast gets there sooner.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 150ms);
    EXPECT_EQ(oneShotTicks.load(), 1);
    EXPECT_TRUE(Platform::timeKillEvent(oneShot));
    EXPECT_FALSE(Platform::timeKillEvent(oneShot));

    std::this_thread::sleep_for(120ms);
    EXPECT_EQ(periodicTicks.load(), counted) << "ticks after the kill";
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
