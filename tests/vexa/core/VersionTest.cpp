#include "vexa/core/Version.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using Vexa::Version;

TEST(Version, ReadsNumbersFromAnyTextAndWritesThemWithASeparator)
{
    const Version dummy("P7.8.9");
    EXPECT_EQ(std::make_tuple(dummy.getMajor(), dummy.getMinor(), dummy.getPatch()), std::make_tuple(7u, 8u, 9u));
    EXPECT_EQ(Version("2.0").toString("."), "2.0.0");
    EXPECT_EQ(Version("").toString("."), "0.0.0");
    EXPECT_EQ(Version("v1-9_5 beta 7").toString("."), "1.9.5");
    EXPECT_EQ(Version("Version 2.0.3").toString(", "), "2, 0, 3");
    EXPECT_EQ(Version("99999999999999999999.1").toString("."), "4294967295.1.0");

    EXPECT_EQ(Vexa::getProgramVersion().toString("."), "2.0.3");
    EXPECT_EQ(Vexa::getImageDataGroupVersion().toString("."), "1.9.0");
}

TEST(Version, ComparisonsIgnoreThePatchNumber)
{
    EXPECT_FALSE(Version("2.0.9") > Version("2.0.3"));
    EXPECT_TRUE(Version("2.1.0") > Version("2.0.3"));
    EXPECT_TRUE(Version("3.0.0") > Version("2.9.9"));
    EXPECT_FALSE(Version("1.10.0") > Version("2.0.0"));
    EXPECT_TRUE(Version("1.9.5") >= Version("1.9.0"));
    EXPECT_TRUE(Version("1.9.0") >= Version("1.9.5"));
    EXPECT_FALSE(Version("1.8.9") >= Vexa::getImageDataGroupVersion());
    EXPECT_TRUE(Version("2.0.0") >= Vexa::getImageDataGroupVersion());
    // The study dummy planning counts as newer than the program.
    EXPECT_TRUE(Version("P100.0.0") > Vexa::getProgramVersion());
}

}
