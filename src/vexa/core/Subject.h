#pragma once
// The observed side: observers are attached by plain pointer (or weakly) and told of changes
// by `notify`.
//
// Threads: `notify` may run in several threads at once (the GUI and the timer thread) while
// others attach and detach. No lock is held while an observer's `update` runs, so an
// observer may attach, detach or notify from inside `update`. Once `detach` has returned, the
// observer's `update` is not called again and no call of it is still running, unless
// `detach` is called from inside that observer's own `update` (it then does not wait for
// itself). An observer must therefore not block in `update` on a thread that may be
// detaching it.
#include "vexa/core/IObserver.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace Vexa {

class Subject
{
public:
    Subject() = default;
    virtual ~Subject() = default;

    Subject(const Subject&) = delete;
    Subject& operator=(const Subject&) = delete;

    // Adds a plain, non-owning observer; true if it was not attached yet.
    bool attach(IObserver* observer);
    // Adds an observer held by weak reference (skipped and dropped once it has expired);
    // true if it was not attached yet.
    bool attach(const std::weak_ptr<IObserver>& observer);
    // Removes a plain observer; true if one was removed. See the note on threads above.
    bool detach(IObserver* observer);
    // Removes a weakly held observer; true if one was removed.
    bool detach(const std::weak_ptr<IObserver>& observer);

    // Calls `update` on every weakly held observer that is still alive, then on every plain
    // one, each set in its own order.
    virtual void notify();

private:
    using WeakSet = std::set<std::weak_ptr<IObserver>, std::owner_less<std::weak_ptr<IObserver>>>;

    void waitForCallsOf(std::unique_lock<std::mutex>& lock, const IObserver* observer);
    void call(std::unique_lock<std::mutex>& lock, IObserver* observer);

    std::mutex mutex_;
    std::condition_variable callEnded_;
    WeakSet weakObservers_;
    std::set<IObserver*> observers_;
    // Observers whose `update` is running, with the thread running it.
    std::vector<std::pair<const IObserver*, std::thread::id>> calls_;
};

}
