#include "vexa/core/Subject.h"

#include "vexa/core/ExceptionStack.h"

#include <algorithm>

namespace Vexa {

bool Subject::attach(IObserver* observer)
try {
    if (!observer)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return observers_.insert(observer).second;
}
VEXA_RETHROW

bool Subject::attach(const std::weak_ptr<IObserver>& observer)
try {
    if (observer.expired())
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return weakObservers_.insert(observer).second;
}
VEXA_RETHROW

bool Subject::detach(IObserver* observer)
try {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool erased = observers_.erase(observer) > 0;
    waitForCallsOf(lock, observer);
    return erased;
}
VEXA_RETHROW

bool Subject::detach(const std::weak_ptr<IObserver>& observer)
try {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool erased = weakObservers_.erase(observer) > 0;
    if (const auto alive = observer.lock())
        waitForCallsOf(lock, alive.get());
    return erased;
}
VEXA_RETHROW

void Subject::waitForCallsOf(std::unique_lock<std::mutex>& lock, const IObserver* observer)
{
    const auto me = std::this_thread::get_id();
    const auto inOwnUpdate = [&] {
        return std::any_of(calls_.begin(), calls_.end(),
                           [&](const auto& c) { return c.first == observer && c.second == me; });
    };
    if (inOwnUpdate())
        return;
    callEnded_.wait(lock, [&] {
        return std::none_of(calls_.begin(), calls_.end(), [&](const auto& c) { return c.first == observer; });
    });
}

void Subject::notify()
try {
    std::unique_lock<std::mutex> lock(mutex_);
    // Work on copies: observers may attach and detach while the loop runs; each one is
    // checked again just before its call.
    const std::vector<std::weak_ptr<IObserver>> weak(weakObservers_.begin(), weakObservers_.end());
    const std::vector<IObserver*> plain(observers_.begin(), observers_.end());

    for (const auto& w : weak) {
        if (!weakObservers_.count(w))
            continue;
        const auto observer = w.lock();
        if (!observer) {
            weakObservers_.erase(w);
            continue;
        }
        call(lock, observer.get());
    }
    for (IObserver* observer : plain) {
        if (observers_.count(observer))
            call(lock, observer);
    }
}
VEXA_RETHROW

void Subject::call(std::unique_lock<std::mutex>& lock, IObserver* observer)
{
    const auto entry = std::make_pair(static_cast<const IObserver*>(observer), std::this_thread::get_id());
    calls_.push_back(entry);
    lock.unlock();
    struct CallEnd
    {
        Subject& subject;
        std::unique_lock<std::mutex>& lock;
        std::pair<const IObserver*, std::thread::id> entry;
        ~CallEnd()
        {
            lock.lock();
            auto& calls = subject.calls_;
            calls.erase(std::find(calls.begin(), calls.end(), entry));
            subject.callEnded_.notify_all();
        }
    } end{*this, lock, entry};
    observer->update();
}

}
