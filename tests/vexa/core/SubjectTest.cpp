#include "vexa/core/Subject.h"

#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Counts its calls and runs an optional action in its update.
struct Callback : Vexa::IObserver
{
    explicit Callback(std::function<void()> action = {}) : action(std::move(action)) {}
    void update() override
    {
        ++calls;
        if (action)
            action();
    }
    std::function<void()> action;
    std::atomic<int> calls{0};
};

TEST(Subject, AttachDetachAndWeakObserversFirst)
{
    Vexa::Subject subject;
    std::vector<std::string> log;
    const auto logs = [&](const char* name) { return [&log, name] { log.push_back(name); }; };
    Callback plain[2] = {Callback(logs("plain")), Callback(logs("plain"))};
    auto weak = std::make_shared<Callback>(logs("weak"));
    auto expiring = std::make_shared<Callback>(logs("expired"));

    EXPECT_TRUE(subject.attach(&plain[0]));
    EXPECT_FALSE(subject.attach(&plain[0]));
    EXPECT_TRUE(subject.attach(&plain[1]));
    EXPECT_TRUE(subject.attach(std::weak_ptr<Vexa::IObserver>(weak)));
    EXPECT_FALSE(subject.attach(std::weak_ptr<Vexa::IObserver>(weak)));
    EXPECT_TRUE(subject.attach(std::weak_ptr<Vexa::IObserver>(expiring)));
    EXPECT_FALSE(subject.attach(static_cast<Vexa::IObserver*>(nullptr)));
    expiring.reset();

    subject.notify();
    EXPECT_EQ(log, std::vector<std::string>({"weak", "plain", "plain"}));
    EXPECT_EQ(plain[0].calls, 1);
    EXPECT_EQ(plain[1].calls, 1);

    EXPECT_TRUE(subject.detach(&plain[0]));
    EXPECT_FALSE(subject.detach(&plain[0]));
    EXPECT_TRUE(subject.detach(std::weak_ptr<Vexa::IObserver>(weak)));
    log.clear();
    subject.notify();
    EXPECT_EQ(log, std::vector<std::string>({"plain"}));
    EXPECT_EQ(plain[1].calls, 2);
}

TEST(Subject, ObserversDetachingThemselvesOrOthersFromUpdate)
{
    Vexa::Subject subject;
    // Ordered by address: the first one's update runs before the second's.
    Callback observers[2];
    observers[0].action = [&] {
        EXPECT_TRUE(subject.detach(&observers[0])); // itself: must not wait for itself
        EXPECT_TRUE(subject.detach(&observers[1])); // one that comes later in this notify
    };
    subject.attach(&observers[0]);
    subject.attach(&observers[1]);
    subject.notify();
    EXPECT_EQ(observers[0].calls, 1);
    EXPECT_EQ(observers[1].calls, 0) << "called after it was detached";
    subject.notify();
    EXPECT_EQ(observers[0].calls, 1);

    // An update may attach another observer and notify again.
    Callback inner;
    Callback outer;
    outer.action = [&] {
        if (outer.calls == 1) {
            subject.attach(&inner);
            subject.notify();
        }
    };
    subject.attach(&outer);
    subject.notify();
    EXPECT_EQ(outer.calls, 2);
    EXPECT_GE(inner.calls, 1);
}

TEST(Subject, DetachFromAnotherThreadWhileNotifyRuns)
{
    Vexa::Subject subject;
    Callback observers[2];
    std::promise<void> entered;
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<bool> firstFinished{false};
    observers[0].action = [&] {
        entered.set_value();
        released.wait();
        std::this_thread::sleep_for(100ms);
        firstFinished = true;
    };
    subject.attach(&observers[0]);
    subject.attach(&observers[1]);

    std::thread notifier([&] { subject.notify(); });
    entered.get_future().wait();
    // The second observer is not being called yet: detach returns at once, and the running
    // notify must skip it.
    EXPECT_TRUE(subject.detach(&observers[1]));
    release.set_value();
    // The first observer is inside its update: detach waits until that call has ended.
    EXPECT_TRUE(subject.detach(&observers[0]));
    EXPECT_TRUE(firstFinished.load()) << "detach returned while the observer was still being called";
    notifier.join();
    EXPECT_EQ(observers[0].calls, 1);
    EXPECT_EQ(observers[1].calls, 0) << "called after detach had returned";
}

TEST(Subject, ManyThreadsNotifyWhileObserversComeAndGo)
{
    Vexa::Subject subject;
    Callback stable;
    subject.attach(&stable);
    std::atomic<bool> done{false};
    std::vector<std::thread> notifiers;
    for (int i = 0; i < 3; ++i)
        notifiers.emplace_back([&] {
            while (!done)
                subject.notify();
        });
    for (int i = 0; i < 200; ++i) {
        // A short-lived observer detaches in its destructor, as views do; no call may reach
        // it after that.
        struct Scoped : Vexa::IObserver
        {
            explicit Scoped(Vexa::Subject& s) : subject(s) { subject.attach(this); }
            ~Scoped() override
            {
                subject.detach(this);
                alive = false;
            }
            void update() override { EXPECT_TRUE(alive.load()); }
            Vexa::Subject& subject;
            std::atomic<bool> alive{true};
        };
        auto scoped = std::make_unique<Scoped>(subject);
        std::this_thread::yield();
    }
    // On a loaded machine the notifiers may not have run yet; the loop above is the real test.
    EXPECT_TRUE(TestSupport::eventually([&] { return stable.calls.load() > 0; }));
    done = true;
    for (auto& t : notifiers)
        t.join();
}

}
