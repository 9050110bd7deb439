#include "vexa/core/DebugOutputStream.h"

#include <gtest/gtest.h>

#include <iomanip>

namespace {

TEST(DebugOutputStream, HandsOnWholeLinesAndTheRestOnFlushOrDestruction)
{
    testing::internal::CaptureStderr();
    {
        Vexa::DebugOutputStream out(1);
        out << "value " << 42 << ' ' << std::fixed << std::setprecision(2) << 1.5;
        out << "\nsecond line\nunfinished";
        out.flush();
        out << " rest";
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "value 42 1.50\nsecond line\nunfinished rest");
}

}
