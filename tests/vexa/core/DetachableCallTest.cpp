#include "vexa/core/DetachableCall.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <thread>

using Vexa::DetachableCall;
using namespace std::chrono_literals;

TEST(DetachableCall, AHeldCallIsLeftOutAndCountedUntilItReturns)
{
    std::promise<void> answer;
    std::shared_future<void> server = answer.get_future().share();
    const int before = DetachableCall::out();
    {
        DetachableCall call([server] { server.wait(); });
        EXPECT_FALSE(call.waitFor(20ms));
        EXPECT_FALSE(call.returned());
    }
    EXPECT_EQ(DetachableCall::out(), before + 1);
    answer.set_value();
    // The left call is waited for as an event: its count drops when it returns.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (DetachableCall::out() != before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(DetachableCall::out(), before);
}

TEST(DetachableCall, AReturnedCallGivesItsFailureAndIsNotCounted)
{
    const int before = DetachableCall::out();
    {
        DetachableCall fine([] {});
        ASSERT_TRUE(fine.waitFor(60s));
        EXPECT_NO_THROW(fine.rethrow());
        DetachableCall failing([] { throw std::runtime_error("Input/output error"); });
        ASSERT_TRUE(failing.waitFor(60s));
        EXPECT_THROW(failing.rethrow(), std::runtime_error);
    }
    EXPECT_EQ(DetachableCall::out(), before);
}
