#include "vexa/volume/SamplingRegion.h"
#include "vexa/volume/VolumeData.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <stdexcept>

using namespace Vexa;

namespace {

// Each voxel holds its own linear index.
VolumeData<unsigned short> numberedVolume(unsigned nx, unsigned ny, unsigned nz, double s)
{
    VolumeData<unsigned short> volume(nx, ny, nz, s, s, s);
    for (std::size_t i = 0; i < volume.getVoxelCount(); ++i)
        volume.getVoxels()[i] = static_cast<unsigned short>(i + 1);
    return volume;
}

}

TEST(VolumeData, LayoutExtentsAndOutsideTests)
{
    VolumeData<unsigned short> volume(4, 3, 2, 0.5, 0.25, 2.0);
    EXPECT_EQ(volume.getVoxelCount(), 24u);
    for (std::size_t i = 0; i < volume.getVoxelCount(); ++i)
        EXPECT_EQ(volume.getVoxels()[i], 0);
    volume.at(3, 2, 1) = 77;
    EXPECT_EQ(volume.getVoxels()[(1 * 3 + 2) * 4 + 3], 77);
    EXPECT_EQ(volume.getExtent(), Vector3D(2.0, 0.75, 4.0));
    EXPECT_TRUE(isEqual(volume.getTransform(), Matrix44<double>(), 1e-15));
    // A volume whose producer writes every voxel itself has the same layout.
    VolumeData<unsigned short> filled(4, 3, 2, 0.5, 0.25, 2.0, VolumeData<unsigned short>::Uninitialized());
    EXPECT_EQ(filled.getVoxelCount(), 24u);
    EXPECT_EQ(filled.getExtent(), volume.getExtent());
    filled.at(3, 2, 1) = 77;
    EXPECT_EQ(filled.getVoxels()[23], 77);

    // [0, n * s) on every axis: the lower bound inside, the upper one outside.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(volume.isOutside(Vector3D(0, 0, 0)));
    EXPECT_FALSE(volume.isOutside(Vector3D(1.999, 0.749, 3.999)));
    for (const Vector3D& p : {Vector3D(2.0, 0.1, 0.1), Vector3D(0.1, 0.75, 0.1), Vector3D(0.1, 0.1, 4.0),
                              Vector3D(-0.0001, 0.1, 0.1), Vector3D(0.1, -0.4, 0.1), Vector3D(0.1, 0.1, -1e-300),
                              Vector3D(nan, 0.1, 0.1), Vector3D(0.1, 0.1, nan)})
        EXPECT_TRUE(volume.isOutside(p)) << p.x << " " << p.y << " " << p.z;
    EXPECT_FALSE(volume.isOutside(3u, 2u, 1u));
    EXPECT_TRUE(volume.isOutside(4u, 0u, 0u));
    EXPECT_TRUE(volume.isOutside(0u, 3u, 0u));
    EXPECT_TRUE(volume.isOutside(0u, 0u, 2u));

    EXPECT_THROW(VolumeData<unsigned short>(0xffffffffu, 0xffffffffu, 0xffffffffu, 1, 1, 1), std::runtime_error);
}

TEST(VolumeData, PlanarRegionSamplesAsTheSliceTexturesNeedThem)
{
    // 100 mm over 0.4 mm voxels: 250 used texels a row; the region is made a hair smaller
    // than the slice so that exactly 250 samples fit, the last one at 99.6 mm.
    const double width = 100.0, height = 40.0;
    const unsigned used = 250, rows = 100;
    auto region = SamplingRegion::createPlanar(Matrix44<double>(), width - 0.001, height - 0.001, width / used,
                                               height / rows);
    EXPECT_EQ(region->getSamplesX(), used);
    EXPECT_EQ(region->getSamplesY(), rows);
    EXPECT_EQ(region->getSampleCount(), std::size_t(used) * rows);
    EXPECT_NEAR(region->getPosition(used - 1).x, 99.6, 1e-9);
    EXPECT_NEAR(region->getPosition(used).y, 0.4, 1e-12); // second row starts again at x = 0
    EXPECT_EQ(region->getPosition(used).x, 0.0);

    // Other texel counts of the same kind, down to 0.05 mm steps (the margin of 0.001 mm
    // is meant to be far below one step).
    for (unsigned n : {1u, 2u, 3u, 7u, 256u, 511u, 1024u})
        for (double w : {0.3, 1.0, 25.4, 51.2, 100.0, 187.3})
            if (w / n >= 0.05) {
                EXPECT_EQ(SamplingRegion::createPlanar(Matrix44<double>(), w - 0.001, 1.0, w / n, 1.0)->getSamplesX(), n)
                    << n << " texels over " << w << " mm";
            }

    // A slice narrower than the margin still has its one texel; bad spacings give one sample.
    EXPECT_EQ(SamplingRegion::createPlanar(Matrix44<double>(), 0.0005 - 0.001, 1, 0.0005, 1)->getSamplesX(), 1u);
    EXPECT_EQ(SamplingRegion::createPlanar(Matrix44<double>(), 5, 5, 0.0, std::nan(""))->getSampleCount(), 1u);
    EXPECT_THROW(SamplingRegion::createPlanar(Matrix44<double>(), 1e6, 1e6, 1e-3, 1e-3), std::runtime_error);
    EXPECT_THROW(SamplingRegion::createPlanar(Matrix44<double>(), std::numeric_limits<double>::infinity(), 1, 1, 1),
                 std::runtime_error);

    // The transform places the grid: rows along its y column, columns along its x column.
    const Matrix44<double> frame(Vector3D(0, 1, 0), Vector3D(0, 0, 1), Vector3D(1, 0, 0), Vector3D(5, 6, 7));
    auto placed = SamplingRegion::createPlanar(frame, 2.0, 1.0, 1.0, 0.5);
    ASSERT_EQ(placed->getSampleCount(), 9u);
    EXPECT_EQ(placed->getPosition(0), Vector3D(5, 6, 7));
    EXPECT_EQ(placed->getPosition(2), Vector3D(5, 8, 7));
    EXPECT_EQ(placed->getPosition(5), Vector3D(5, 8, 7.5));
}

TEST(VolumeData, IteratorReadsVoxelsInRegionOrderAndOutsideValueBeyondTheVolume)
{
    // 4 x 3 x 2 voxels of 0.5 mm; each voxel holds its linear index + 1.
    const auto volume = numberedVolume(4, 3, 2, 0.5);
    const unsigned short outside = 9999;

    // A plane at z = 0.6 mm (voxel layer 1), starting at x = y = -0.4 mm, in 0.5 mm steps.
    auto region = SamplingRegion::createPlanar(Matrix44<double>(Vector3D(-0.4, -0.4, 0.6)), 2.5, 2.0, 0.5, 0.5);
    ASSERT_EQ(region->getSamplesX(), 6u);
    ASSERT_EQ(region->getSamplesY(), 5u);
    auto it = volume.getIterator(region, true, &outside);
    EXPECT_EQ(it.getSampleCount(), 30u);
    for (unsigned j = 0; j < 5; ++j) {
        for (unsigned i = 0; i < 6; ++i, ++it) {
            ASSERT_FALSE(it.atEnd());
            const double x = -0.4 + 0.5 * i, y = -0.4 + 0.5 * j;
            EXPECT_NEAR(it.getPosition().x, x, 1e-12);
            // Below 0 mm is outside (not voxel 0 by truncation), as is n * s and beyond.
            const bool inside = x >= 0.0 && x < 2.0 && y >= 0.0 && y < 1.5;
            const unsigned short expected =
                inside ? static_cast<unsigned short>((1 * 3 + unsigned(y / 0.5)) * 4 + unsigned(x / 0.5) + 1) : outside;
            EXPECT_EQ(**it, expected) << "sample " << i << ", " << j;
        }
    }
    EXPECT_TRUE(it.atEnd());
    EXPECT_EQ(**it, outside); // past the end nothing outside the volume is read
    ++it;
    EXPECT_TRUE(it.atEnd());

    // Exactly on the upper faces, and just inside them.
    auto edge = SamplingRegion::createPlanar(Matrix44<double>(Vector3D(1.5, 1.0, 0.5)), 1.0, 0.0, 0.4999999, 1.0);
    auto e = volume.getIterator(edge, false, &outside);
    EXPECT_EQ(**e, volume.at(3, 2, 1));
    ++e;
    EXPECT_EQ(**e, volume.at(3, 2, 1)); // 1.9999999 mm: still the last voxel
    ++e;
    EXPECT_EQ(**e, outside); // 2.4999998 mm
    auto top = volume.getIterator(SamplingRegion::createPlanar(Matrix44<double>(Vector3D(0, 0, 1.0)), 0, 0, 1, 1),
                                  true, nullptr);
    EXPECT_EQ(**top, 0); // no outside value given: 0
    EXPECT_THROW(volume.getIterator(nullptr, true, &outside), std::runtime_error);
}
