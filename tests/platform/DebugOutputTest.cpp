#include "platform/DebugOutput.h"

#include <gtest/gtest.h>

TEST(DebugOutput, WritesToStandardError)
{
    testing::internal::CaptureStderr();
    Platform::outputDebugString("hello debug\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "hello debug\n");
}
