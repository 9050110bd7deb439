#pragma once
// A periodic or one-shot timer that calls the virtual tick `onTimeExecution` in a timer thread.
#include <condition_variable>
#include <mutex>
#include <thread>

namespace Vexa {

class TimerBase
{
public:
    static constexpr unsigned oneShot = 0;
    static constexpr unsigned periodic = 1;

    // Not running. `eventType` 0 fires once after `periodMs`, 1 every `periodMs`.
    TimerBase(unsigned periodMs, unsigned eventType);
    // Stops the timer. A derived class must call `stop` in its own destructor: once it is
    // destroyed, a tick would reach a half-destroyed object.
    virtual ~TimerBase();

    TimerBase(const TimerBase&) = delete;
    TimerBase& operator=(const TimerBase&) = delete;

    // False when the timer is already running; otherwise starts it (1 ms resolution).
    // A one-shot timer that has fired may be started again. Ticks of one timer never overlap,
    // even when a tick stops and restarts its timer: the next tick waits for it.
    virtual bool start();
    // Stops the timer; no tick starts afterwards, and from any other thread than a tick's it
    // returns only when no tick of this timer runs any more. Safe from inside the tick (it then
    // does not wait for itself).
    virtual void stop();

    bool isRunning() const;

protected:
    // The tick, called in the timer thread. An exception that leaves it is recorded on the
    // exception trail and swallowed; the timer keeps running.
    virtual void onTimeExecution() = 0;

private:
    // run: the start that scheduled the tick; a tick of an earlier start does nothing.
    void tick(unsigned long long run) noexcept;

    const unsigned periodMs_;
    const unsigned eventType_;
    mutable std::mutex mutex_;
    std::condition_variable tickEnded_;
    unsigned timerId_ = 0;
    unsigned long long run_ = 0; // counts starts and stops
    bool fired_ = false;
    bool inTick_ = false;
    std::thread::id tickThread_;
};

}
