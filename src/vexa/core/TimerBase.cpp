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
    timerId_ = Platform::timeSetEvent(periodMs_, 1, [this] { tick(); },
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
    }
    if (id != 0)
        Platform::timeKillEvent(id);
    // timeKillEvent has waited for the tick unless it was called from the tick itself; a
    // tick that stopped its own timer may still be running, so wait for it from any other
    // thread before the object may go away.
    std::unique_lock<std::mutex> lock(mutex_);
    if (tickThread_ != std::this_thread::get_id())
        tickEnded_.wait(lock, [this] { return !inTick_; });
}

bool TimerBase::isRunning() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return timerId_ != 0 && !fired_;
}

void TimerBase::tick() noexcept
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
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
    if (eventType_ == oneShot)
        fired_ = true;
    inTick_ = false;
    tickThread_ = std::thread::id();
    tickEnded_.notify_all();
}

}
