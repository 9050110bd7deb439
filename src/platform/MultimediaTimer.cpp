#include "platform/MultimediaTimer.h"

#include "platform/DebugOutput.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Platform {

namespace {

using Clock = std::chrono::steady_clock;

const Clock::time_point processStart = Clock::now();
std::atomic<std::size_t> failedTicks{0};

struct Timer
{
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

void runTick(const TimerCallback& callback) noexcept
{
    try {
        callback();
    } catch (const std::exception& e) {
        ++failedTicks;
        try {
            outputDebugString(std::string("timer tick ended with an exception: ") + e.what() + "\n");
        } catch (...) {
        }
    } catch (...) {
        ++failedTicks;
        outputDebugString("timer tick ended with an unknown exception\n");
    }
}

void run(const std::shared_ptr<Timer>& timer, TimerCallback callback, Clock::duration period, bool periodic)
{
    auto next = Clock::now() + period;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(timer->mutex);
            if (timer->wake.wait_until(lock, next, [&] { return timer->stopping; }))
                return;
        }
        runTick(callback);
        if (!periodic)
            return;
        next += period;
        const auto now = Clock::now();
        if (next <= now)
            next += ((now - next) / period + 1) * period;
    }
}

// Owns every timer that has not been killed; at process exit the remaining ones are stopped
// so that no timer thread outlives the objects its callback uses.
class Registry
{
public:
    ~Registry()
    {
        std::map<unsigned, std::shared_ptr<Timer>> left;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            left.swap(timers_);
        }
        for (auto& [id, timer] : left)
            finish(timer);
    }

    unsigned add(std::shared_ptr<Timer> timer)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        do {
            ++lastId_;
        } while (lastId_ == 0 || timers_.count(lastId_));
        timers_.emplace(lastId_, std::move(timer));
        return lastId_;
    }

    std::shared_ptr<Timer> take(unsigned id)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = timers_.find(id);
        if (it == timers_.end())
            return nullptr;
        auto timer = std::move(it->second);
        timers_.erase(it);
        return timer;
    }

    static void finish(const std::shared_ptr<Timer>& timer)
    {
        {
            std::lock_guard<std::mutex> lock(timer->mutex);
            timer->stopping = true;
        }
        timer->wake.notify_all();
        if (timer->thread.get_id() == std::this_thread::get_id())
            timer->thread.detach(); // the tick itself: its thread keeps the timer alive until it ends
        else if (timer->thread.joinable())
            timer->thread.join();
    }

private:
    std::mutex mutex_;
    unsigned lastId_ = 0;
    std::map<unsigned, std::shared_ptr<Timer>> timers_;
};

Registry& registry()
{
    static Registry instance;
    return instance;
}

}

unsigned timeSetEvent(unsigned delayMs, unsigned /*resolutionMs*/, TimerCallback callback, unsigned eventType)
{
    if (delayMs == 0 || !callback || (eventType != TIME_ONESHOT && eventType != TIME_PERIODIC))
        return 0;
    auto timer = std::make_shared<Timer>();
    auto& timers = registry();
    // The thread waits for the registry entry through the timer's mutex, so that an immediate
    // kill from the first tick finds it.
    std::unique_lock<std::mutex> lock(timer->mutex);
    timer->thread = std::thread(run, timer, std::move(callback), std::chrono::milliseconds(delayMs),
                                eventType == TIME_PERIODIC);
    const unsigned id = timers.add(timer);
    return id;
}

bool timeKillEvent(unsigned id)
{
    const auto timer = registry().take(id);
    if (!timer)
        return false;
    Registry::finish(timer);
    return true;
}

std::uint32_t timeGetTime()
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - processStart).count();
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms));
}

std::size_t failedTimerTicks()
{
    return failedTicks.load();
}

}
