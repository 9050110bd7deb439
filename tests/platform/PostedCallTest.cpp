#include "platform/PostedCall.h"

#include <QCoreApplication>
#include <QObject>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>

// A worker hands calls holding its own heap data to the GUI thread and stays alive: nothing but
// the post orders the two threads (the flags are relaxed), as when a tracking tick asks for a
// sound while the GUI thread paints. A call runs in the GUI thread with what it held and is
// destroyed there; one whose receiver goes first is dropped with its data. Under
// ThreadSanitizer neither hand-over may read as a race.
TEST(PostedCall, RunsInTheReceiversThreadWithWhatItHeldOrIsDroppedWithIt)
{
    auto receiver = std::make_unique<QObject>();
    QObject* const goes = receiver.get();
    std::atomic<bool> posted{false}, ran{false}, seen{false};
    std::string text;
    std::thread::id where;
    bool droppedRan = false;
    std::weak_ptr<std::string> dropped;
    std::thread worker([&] {
        const std::string held(200, 'x'); // on the heap, copied into the call here
        Platform::postToThreadOf(QCoreApplication::instance(), [held, &text, &where, &ran] {
            text = held;
            where = std::this_thread::get_id();
            ran.store(true, std::memory_order_relaxed);
        });
        auto other = std::make_shared<std::string>(200, 'y');
        dropped = other;
        Platform::postToThreadOf(goes, [other, &droppedRan] { droppedRan = !other->empty(); });
        other.reset();
        posted.store(true, std::memory_order_relaxed);
        while (!seen.load(std::memory_order_relaxed))
            std::this_thread::yield();
    });
    while (!posted.load(std::memory_order_relaxed))
        std::this_thread::yield();
    receiver.reset();
    while (!ran.load(std::memory_order_relaxed))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    seen.store(true, std::memory_order_relaxed);
    worker.join();
    EXPECT_EQ(std::string(200, 'x'), text);
    EXPECT_EQ(std::this_thread::get_id(), where);
    EXPECT_FALSE(droppedRan);
    EXPECT_TRUE(dropped.expired());
}
