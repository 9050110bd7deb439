#include "platform/PostedCall.h"

#include <QCoreApplication>
#include <QObject>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>

// A worker hands a call holding its own heap data to the GUI thread and stays alive: nothing but
// the post orders the two threads (the flags are relaxed), as when a tracking tick asks for a
// sound while the GUI thread paints. The call runs in the GUI thread with what it held, and is
// destroyed there; under ThreadSanitizer that hand-over must not read as a race.
TEST(PostedCall, RunsInTheReceiversThreadWithWhatItHeldAndDiesThere)
{
    std::atomic<bool> ran{false}, seen{false};
    std::string text;
    std::thread::id where;
    std::thread worker([&] {
        const std::string held(200, 'x'); // on the heap, copied into the call here
        Platform::postToThreadOf(QCoreApplication::instance(), [held, &text, &where, &ran] {
            text = held;
            where = std::this_thread::get_id();
            ran.store(true, std::memory_order_relaxed);
        });
        while (!seen.load(std::memory_order_relaxed))
            std::this_thread::yield();
    });
    while (!ran.load(std::memory_order_relaxed))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    seen.store(true, std::memory_order_relaxed);
    worker.join();
    EXPECT_EQ(std::string(200, 'x'), text);
    EXPECT_EQ(std::this_thread::get_id(), where);

    // A receiver gone before its turn drops the call, and the call's data with it.
    auto receiver = std::make_unique<QObject>();
    bool called = false;
    auto held = std::make_shared<int>(1);
    const std::weak_ptr<int> watch = held;
    Platform::postToThreadOf(receiver.get(), [held, &called] { called = *held == 1; });
    held.reset();
    EXPECT_FALSE(watch.expired());
    receiver.reset();
    QCoreApplication::processEvents();
    EXPECT_FALSE(called);
    EXPECT_TRUE(watch.expired());
}
