#include "planning/objects/OrthoSlicePositioner.h"
#include "vexa/slice/Slice.h"
#include "vexa/volume/VolumeData.h"

#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

using Vexa::Vector3D;
using Volume = Vexa::VolumeData<unsigned short>;

TEST(OrthoSlicePositioner, RangeStepsAndClamps)
{
    OrthoSlicePositioner positioner;
    positioner.init(2, std::make_shared<Volume>(4, 6, 100, 0.3, 0.4, 0.5));
    EXPECT_DOUBLE_EQ(49.999, positioner.getMaxSlicePosition());
    EXPECT_EQ(100u, positioner.getNumberOfSlices());
    EXPECT_DOUBLE_EQ(24.9995 + 0.25, positioner.getSlicePosition(true));
    EXPECT_EQ(4u, positioner.getSliceWidthInVoxels());
    EXPECT_DOUBLE_EQ(1.2, positioner.getSliceMMSize().width);
    EXPECT_DOUBLE_EQ(2.4, positioner.getSliceMMSize().height);

    positioner.init(2, std::make_shared<Volume>(4, 6, 101, 0.3, 0.4, 0.5));
    EXPECT_DOUBLE_EQ(50.499, positioner.getMaxSlicePosition());
    EXPECT_DOUBLE_EQ(25.2495, positioner.getSlicePosition(true));

    positioner.init(2, std::make_shared<Volume>(4, 6, 100, 0.3, 0.4, 0.5));
    for (double value : {-3.0, 0.0})
    {
        positioner.setSlicePosition(value);
        EXPECT_EQ(0.0, positioner.getSlicePosition(true));
    }
    positioner.setSlicePosition(1000.0);
    EXPECT_DOUBLE_EQ(49.999, positioner.getSlicePosition(true));
    positioner.setSlicePosition(std::nan(""));
    EXPECT_DOUBLE_EQ(49.999, positioner.getSlicePosition(true));

    const std::pair<double, double> up[] = {{49.6, 49.999}, {40.0, 40.5}};
    for (const auto& [from, to] : up)
    {
        positioner.setSlicePosition(from);
        positioner.stepSliceUp();
        EXPECT_DOUBLE_EQ(to, positioner.getSlicePosition(true));
    }
    const std::pair<double, double> down[] = {{0.5, 0.0}, {0.75, 0.25}};
    for (const auto& [from, to] : down)
    {
        positioner.setSlicePosition(from);
        positioner.stepSliceDown();
        EXPECT_DOUBLE_EQ(to, positioner.getSlicePosition(true));
    }
    positioner.setSlicePosition(1.74);
    EXPECT_DOUBLE_EQ(1.5, positioner.getSlicePosition(false));
    EXPECT_DOUBLE_EQ(1.74, positioner.getSlicePosition(true));
    EXPECT_DOUBLE_EQ(1.5, positioner.getSliceTransform(false)[14]);

    // Volumes without voxels or spacing are refused.
    EXPECT_THROW(positioner.init(2, std::make_shared<Volume>(4, 6, 100, 0.3, 0.0, 0.5)), std::runtime_error);
    EXPECT_THROW(positioner.init(2, std::make_shared<Volume>(4, 6, 100, 0.3, std::nan(""), 0.5)), std::runtime_error);
    EXPECT_THROW(positioner.init(2, std::make_shared<Volume>(0, 6, 100, 0.3, 0.4, 0.5)), std::runtime_error);
}

TEST(OrthoSlicePositioner, FramesCaptionsAndTheCoronalMirror)
{
    auto volume = std::make_shared<Volume>(80, 100, 60, 0.25, 0.5, 0.4);
    OrthoSlicePositioner coronal;
    coronal.init(1, volume);
    coronal.setSlicePosition(10.0);
    EXPECT_DOUBLE_EQ(49.999, coronal.getMaxSlicePosition());
    EXPECT_DOUBLE_EQ(39.999, coronal.getSlicePosition(true));
    const auto frame = coronal.getSliceTransform(true);
    EXPECT_EQ(Vector3D(0, 10.0, 0), frame.getTranslation());
    const auto slice = coronal.getSlice(true);
    EXPECT_DOUBLE_EQ(20.0, slice->getWidth());
    EXPECT_DOUBLE_EQ(24.0, slice->getHeight());

    OrthoSlicePositioner sagittal;
    sagittal.init(0, volume);
    sagittal.setSlicePosition(3.0);
    EXPECT_EQ(Vector3D(3.0, 50.0 - 0.001, 0), sagittal.getSliceTransform(true).getTranslation());
    OrthoSlicePositioner transversal;
    transversal.init(2, volume);
    transversal.setSlicePosition(7.0);
    EXPECT_EQ(Vector3D(0, 50.0 - 0.001, 7.0), transversal.getSliceTransform(true).getTranslation());

    // Every frame is right-handed: x cross y is the normal.
    for (const OrthoSlicePositioner* p : {&sagittal, &coronal, &transversal})
    {
        const auto m = p->getSliceTransform(true);
        EXPECT_EQ(m.getColumn(2), m.getColumn(0).cross(m.getColumn(1)));
    }

    EXPECT_EQ("X", sagittal.getSliceDirectionDescription());
    EXPECT_EQ("B", sagittal.getLeftDescription());
    EXPECT_EQ("F", sagittal.getRightDescription());
    EXPECT_EQ("Y", coronal.getSliceDirectionDescription());
    EXPECT_EQ("R", coronal.getLeftDescription());
    EXPECT_EQ("L", coronal.getRightDescription());
    coronal.reset();
    sagittal.reset();
    for (const OrthoSlicePositioner* p : {&sagittal, &coronal})
    {
        EXPECT_EQ(2, p->getOrientation());
        EXPECT_EQ("Z", p->getSliceDirectionDescription());
        EXPECT_EQ("R", p->getLeftDescription());
        EXPECT_EQ("L", p->getRightDescription());
        EXPECT_EQ(-1.0, p->getMaxSlicePosition());
    }

    OrthoSlicePositioner odd;
    odd.init(5, volume);
    EXPECT_EQ("OrthoSlicePositioner::getSliceTransform(): point should have never been reached!",
              TestSupport::errorText([&] { odd.getSliceTransform(true); }));
}
