#pragma once
// Where one axis-aligned slice lies in the patient volume: its axis, its position along the
// axis in mm, the range and step of that position, and the slice's size.
#include "vexa/math/Matrix44.h"
#include "vexa/math/Size2.h"

#include <QString>
#include <memory>

namespace Vexa {
class Slice;
template<class T> class VolumeData;
}

class OrthoSlicePositioner
{
public:
    // The axis the slice is perpendicular to: 0 x (sagittal), 1 y (coronal), 2 z (transversal).
    using Orientation = int;

    OrthoSlicePositioner() = default;
    virtual ~OrthoSlicePositioner();

    // Throws for a volume without voxels or with a spacing that is not a positive finite number.
    void init(Orientation orientation, std::shared_ptr<Vexa::VolumeData<unsigned short>> volume);
    void reset();
    Orientation getOrientation() const { return orientation_; }

    // As the user sees it: mirrored for the coronal slice, whole steps unless exact.
    double getSlicePosition(bool exact) const;
    double getMaxSlicePosition() const { return maximum_; }
    // The stored (never mirrored) position, clamped to [0, maximum]; non-finite values are ignored.
    void setSlicePosition(double position);
    void stepSliceUp();
    void stepSliceDown();
    unsigned getNumberOfSlices() const;
    unsigned getSliceWidthInVoxels() const { return widthInVoxels_; }
    Vexa::Size2<double> getSliceMMSize() const { return Vexa::Size2<double>(widthMM_, heightMM_); }

    Vexa::Matrix44<double> getSliceTransform(bool exact) const;
    std::shared_ptr<Vexa::Slice> getSlice(bool exact) const;

    const QString getSliceDirectionDescription() const;
    const QString getLeftDescription() const;
    const QString getRightDescription() const;

private:
    double wholeSteps(double value) const;

    Orientation orientation_ = 2;
    double position_ = -1.0;
    double maximum_ = -1.0;
    double step_ = -1.0;
    unsigned widthInVoxels_ = 0;
    unsigned heightInVoxels_ = 0;
    double widthMM_ = 0.0;
    double heightMM_ = 0.0;
};
