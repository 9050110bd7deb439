#include "vexa/core/TimerBase.h"

#include "platform/DebugOutput.h"
#include "platform/MultimediaTimer.h"
#include "vexa/core/ExceptionStack.h"

#include <exception>
#include <stdexcept>
#include <string>

namespace Vexa {

TimerBase::TimerBase(unsigned periodMs, unsigned eventType)
try : periodMs_(periodMs), eventType_(eventType) {
    if (periodMs == 0)
        throw std::runtime_error("TimerBase: the period must be at least 1 ms");
    if (eventType != oneShot && eventType != periodic)
        throw std::runtime_error("TimerBase: unknown event type " + std::to_string(eventType));
}
VEXA_RETHROW

TimerBase::~TimerBase()
{
    stop();
}

bool TimerBase::start()
try {
    unsigned finished = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (timerId_ != 0 && !fired_)
            return false;
        finished = timerId_;
        timerId_ = 0;
    }
    if (finished != 0)
        Platform::timeKillEvent(finished); // a one-shot that has fired: release its thread
    std::lock_guard<std::mutex> lock(mutex_);
    if (timerId_ != 0)
        return false; // started meanwhile by another thread
    fired_ = false;
    const unsigned long long run = ++run_;
    timerId_ = Platform::timeSetEvent(periodMs_, 1, [this, run] { tick(run); },
                                      eventType_ == periodic ? Platform::TIME_PERIODIC : Platform::TIME_ONESHOT);
    if (timerId_ == 0)
        throw std::runtime_error("TimerBase::start: the timer could not be started");
    return true;
}
VEXA_RETHROW

void TimerBase::stop()
{
    unsigned id = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        id = timerId_;
        timerId_ = 0;
        ++run_; // a tick waiting for its turn now returns at once
    }
    tickEnded_.notify_all();
    if (id != 0)
        Platform::timeKillEvent(id);
    // timeKillEvent has waited for the tick of its own timer thread, unless it was called from
    // that tick; a tick of an earlier start that stopped and restarted the timer from inside may
    // still run in its thread, so wait for it from any other thread before the object may go away.
    std::unique_lock<std::mutex> lock(mutex_);
    if (tickThread_ != std::this_thread::get_id())
        tickEnded_.wait(lock, [this] { return !inTick_; });
}

bool TimerBase::isRunning() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return timerId_ != 0 && !fired_;
}

void TimerBase::tick(unsigned long long run) noexcept
{
    {
        std::unique_lock<std::mutex> lock(mutex_);
        // A tick of the previous start may still run (it restarted the timer): wait for it.
        tickEnded_.wait(lock, [&] { return !inTick_ || run != run_; });
        if (run != run_)
            return;
        inTick_ = true;
        tickThread_ = std::this_thread::get_id();
    }
    try {
        onTimeExecution();
    } catch (const std::exception& e) {
        ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
        try {
            Platform::outputDebugString(std::string("TimerBase: exception in timer tick: ") + e.what() + "\n");
        } catch (...) {
        }
    } catch (...) {
        ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
        Platform::outputDebugString("TimerBase: unknown exception in timer tick\n");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (eventType_ == oneShot && run == run_)
        fired_ = true;
    inTick_ = false;
    tickThread_ = std::thread::id();
    tickEnded_.notify_all();
}

}
