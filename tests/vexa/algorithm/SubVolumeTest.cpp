#include "vexa/algorithm/SubVolume.h"

#include <gtest/gtest.h>

#include <stdexcept>

using Vexa::SubVolume;
using Vexa::Vector3D;
using Volume = Vexa::VolumeData<unsigned short>;

TEST(SubVolume, CopiesTheBoxWithItsOffsetAndClipsToTheVolume)
{
    Volume source(10, 8, 6, 0.5, 0.25, 2.0);
    for (unsigned z = 0; z < 6; ++z)
        for (unsigned y = 0; y < 8; ++y)
            for (unsigned x = 0; x < 10; ++x)
                source.at(x, y, z) = static_cast<unsigned short>(100 * z + 10 * y + x);
    Vexa::Matrix44<double> shifted;
    shifted.setTranslation(Vector3D(1000, 2000, 3000));
    source.setTransform(shifted);

    const SubVolume sub = SubVolume::extract(source, 2, 3, 1, 4, 20, 2); // y clipped to 5 rows
    const auto& v = *sub.getVolume();
    ASSERT_EQ(v.getDimX(), 4u);
    ASSERT_EQ(v.getDimY(), 5u);
    ASSERT_EQ(v.getDimZ(), 2u);
    EXPECT_EQ(v.getSpacingY(), 0.25);
    EXPECT_TRUE(Vexa::isEqual(v.getTransform(), Vexa::Matrix44<double>(), 1e-12));
    for (unsigned z = 0; z < 2; ++z)
        for (unsigned y = 0; y < 5; ++y)
            for (unsigned x = 0; x < 4; ++x)
                ASSERT_EQ(v.at(x, y, z), source.at(x + 2, y + 3, z + 1));
    EXPECT_EQ(sub.getOffset(), Vector3D(1001.0, 2000.75, 3002.0));
    EXPECT_EQ(sub.getFirstY(), 3u);

    // Millimetre box: every voxel it overlaps; a box ending on a voxel border stops there.
    const SubVolume mm = SubVolume::extract(source, Vector3D(0.7, -5.0, 2.0), Vector3D(2.0, 0.6, 100.0));
    EXPECT_EQ(mm.getFirstX(), 1u);
    EXPECT_EQ(mm.getVolume()->getDimX(), 3u); // voxels 1, 2, 3 ([0.5, 2.0))
    EXPECT_EQ(mm.getFirstY(), 0u);
    EXPECT_EQ(mm.getVolume()->getDimY(), 3u); // up to 0.6 mm: voxels 0, 1, 2
    EXPECT_EQ(mm.getFirstZ(), 1u);
    EXPECT_EQ(mm.getVolume()->getDimZ(), 5u);

    EXPECT_THROW(SubVolume::extract(source, 10, 0, 0, 1, 1, 1), std::runtime_error);
    EXPECT_THROW(SubVolume::extract(source, 0, 0, 0, 0, 1, 1), std::runtime_error);
    EXPECT_THROW(SubVolume::extract(source, Vector3D(-9, -9, -9), Vector3D(-1, 5, 5)), std::runtime_error);
}
