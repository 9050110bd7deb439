#include "navigation/TrackerData.h"
#include <gtest/gtest.h>
TEST(TrackerData, DefaultIsInvisible) { EXPECT_FALSE(Vexa::TrackerData().isVisible()); }
