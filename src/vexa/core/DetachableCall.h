#pragma once
// A call that may never return, such as a file call on a file server that stopped answering (an
// NFS hard mount or an SMB share simply holds the caller). It runs in a thread of its own and is
// waited for with a bound; one its owner lets go of while it is still out is detached and left
// to the process's end, which then must not wait for it (out()). The work must own what it
// touches: it may run on long after its owner is gone.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace Vexa {

class DetachableCall
{
public:
    using Clock = std::chrono::steady_clock;

    explicit DetachableCall(std::function<void()> work);
    ~DetachableCall();
    DetachableCall(const DetachableCall&) = delete;
    DetachableCall& operator=(const DetachableCall&) = delete;

    // True once the call has returned (or thrown); waits no longer than until deadline.
    bool waitUntil(Clock::time_point deadline);
    bool waitFor(Clock::duration bound) { return waitUntil(Clock::now() + bound); }
    bool returned() const;
    // Rethrows what the call threw, once it has returned.
    void rethrow() const;
    Clock::time_point begun() const { return begun_; }
    std::time_t begunAt() const { return begunAt_; }

    // Calls let go of while out that have not returned yet.
    static int out() { return out_.load(); }

private:
    struct Shared
    {
        std::mutex mutex;
        std::condition_variable done;
        bool returned = false;
        bool left = false;
        std::exception_ptr failure;
    };
    std::shared_ptr<Shared> shared_;
    Clock::time_point begun_;
    std::time_t begunAt_;
    static inline std::atomic<int> out_{0};
};

}
