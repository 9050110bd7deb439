#include "vexa/core/ExceptionStack.h"
#include "vexa/core/TimerBase.h"

#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

using TestSupport::eventually;

class CountingTimer : public Vexa::TimerBase
{
public:
    CountingTimer(unsigned period, unsigned type, std::function<void()> action = {})
        : TimerBase(period, type), action_(std::move(action))
    {
    }
    ~CountingTimer() override { stop(); }
    std::atomic<int> ticks{0};

protected:
    void onTimeExecution() override
    {
        ++ticks;
        if (action_)
            action_();
    }

private:
    std::function<void()> action_;
};

constexpr std::chrono::milliseconds period = 10ms;
// 200 periods: see TestSupport::tickRateFault.
constexpr auto window = 2s;

TEST(TimerBase, PeriodicAndOneShotTicksKeepTheirPeriod)
{
    CountingTimer timer(unsigned(period.count()), CountingTimer::periodic);
    EXPECT_FALSE(timer.isRunning());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(timer.start());
    EXPECT_FALSE(timer.start()) << "started twice";
    EXPECT_TRUE(timer.isRunning());
    // A one-shot timer over the same window, started again each time it has fired.
    CountingTimer once(unsigned(period.count()), CountingTimer::oneShot);
    int starts = 0;
    while (std::chrono::steady_clock::now() - started < window) {
        EXPECT_TRUE(once.start()) << "a fired one-shot timer can be started again";
        ++starts;
        ASSERT_TRUE(eventually([&] { return !once.isRunning(); }, 60s)) << "the one-shot timer never fired";
        EXPECT_EQ(once.ticks, starts);
    }
    const int counted = timer.ticks;
    const auto elapsed = std::chrono::steady_clock::now() - started;
    timer.stop();
    EXPECT_EQ(TestSupport::tickRateFault(counted, elapsed, period), "") << "periodic";
    EXPECT_EQ(TestSupport::tickRateFault(starts, elapsed, period), "") << "one-shot";
    EXPECT_FALSE(timer.isRunning());
    const int stopped = timer.ticks;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(timer.ticks, stopped) << "ticked after stop";
    EXPECT_EQ(once.ticks, starts) << "a one-shot timer fired twice";

    EXPECT_THROW(CountingTimer(0, CountingTimer::periodic), std::runtime_error);
    EXPECT_THROW(CountingTimer(10, 2), std::runtime_error);
}

// Waiting for a running tick (from outside) is in the restart test below.
TEST(TimerBase, StopWorksFromInsideTheTick)
{
    CountingTimer* self = nullptr;
    std::atomic<bool> stopped{false};
    CountingTimer selfStopping(5, CountingTimer::periodic, [&] {
        self->stop();
        stopped = true;
    });
    self = &selfStopping;
    selfStopping.start();
    ASSERT_TRUE(eventually([&] { return stopped.load(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(selfStopping.ticks, 1);
    EXPECT_FALSE(selfStopping.isRunning());
    EXPECT_TRUE(selfStopping.start()) << "can be started again";
    EXPECT_TRUE(eventually([&] { return stopped && selfStopping.ticks == 2; }));
}

// A tick that stops and restarts its timer: the restarted timer's ticks wait for it, and a stop
// from outside returns only once no tick of any start runs (the timer is destroyed right after).
TEST(TimerBase, RestartsInsideTicksNeverOverlapTicksAndStopWaitsForThemAll)
{
    constexpr int restarts = 1000;
    std::atomic<int> running{0}, cycles{0}, faults{0};
    CountingTimer* self = nullptr;
    auto timer = std::make_unique<CountingTimer>(1, CountingTimer::periodic, [&] {
        if (running.fetch_add(1) != 0)
            ++faults; // two ticks at once
        if (cycles < restarts) {
            self->stop();
            if (!self->start())
                ++faults;
            ++cycles;
        }
        // The restarted timer's first tick falls due meanwhile; the last one outlasts the stop below.
        std::this_thread::sleep_for(cycles == restarts ? 20ms : 200us);
        --running;
    });
    self = timer.get();
    timer->start();
    ASSERT_TRUE(eventually([&] { return cycles == restarts; }, 120s));
    timer->stop();
    EXPECT_EQ(running, 0) << "stop returned while a tick ran";
    timer.reset();
    EXPECT_EQ(faults, 0);
}

TEST(TimerBase, ExceptionInATickIsRecordedAndDoesNotEndTheProcessOrTheTimer)
{
    auto trail = Vexa::ExceptionStack::getInstance();
    trail->clear();
    CountingTimer failing(5, CountingTimer::periodic, [] { throw std::runtime_error("tick failed"); });
    failing.start();
    EXPECT_TRUE(eventually([&] { return failing.ticks >= 3; })) << "the timer stopped ticking";
    failing.stop();
    EXPECT_GE(trail->size(), 3u);
    trail->clear();
}

}
