#include "planning/objects/OrthoSlicePositioner.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/slice/Slice.h"
#include "vexa/volume/VolumeData.h"

#include <QCoreApplication>
#include <cmath>
#include <stdexcept>

using Vexa::Vector3D;

OrthoSlicePositioner::~OrthoSlicePositioner() = default;

void OrthoSlicePositioner::init(Orientation orientation, std::shared_ptr<Vexa::VolumeData<unsigned short>> volume) try
{
    if (!volume)
        throw std::runtime_error("OrthoSlicePositioner::init(): no volume");
    const unsigned n[3] = {volume->getDimX(), volume->getDimY(), volume->getDimZ()};
    const double s[3] = {volume->getSpacingX(), volume->getSpacingY(), volume->getSpacingZ()};
    for (int axis = 0; axis < 3; ++axis)
        if (n[axis] == 0 || !std::isfinite(s[axis]) || !(s[axis] > 0.0))
            throw std::runtime_error("OrthoSlicePositioner::init(): the volume has no voxels or no valid spacing");

    orientation_ = orientation;
    if (orientation < 0 || orientation > 2)
    {
        position_ = maximum_ / 2.0;
        return;
    }
    // The two in-plane axes of each orientation: (width axis, height axis).
    static const int inPlane[3][2] = {{1, 2}, {0, 2}, {0, 1}};
    const int axis = orientation;
    maximum_ = n[axis] * s[axis] - 0.001;
    step_ = s[axis];
    widthInVoxels_ = n[inPlane[axis][0]];
    heightInVoxels_ = n[inPlane[axis][1]];
    widthMM_ = widthInVoxels_ * s[inPlane[axis][0]];
    heightMM_ = heightInVoxels_ * s[inPlane[axis][1]];
    position_ = maximum_ / 2.0 + (n[axis] % 2 == 0 ? step_ / 2.0 : 0.0);
}
VEXA_RETHROW

void OrthoSlicePositioner::reset()
{
    orientation_ = 2;
    position_ = -1.0;
    maximum_ = -1.0;
    step_ = -1.0;
}

double OrthoSlicePositioner::wholeSteps(double value) const
{
    return step_ != 0.0 ? std::trunc(value / step_) * step_ : value;
}

double OrthoSlicePositioner::getSlicePosition(bool exact) const
{
    const double position = orientation_ == 1 ? maximum_ - position_ : position_;
    return exact ? position : wholeSteps(position);
}

void OrthoSlicePositioner::setSlicePosition(double position) try
{
    if (!std::isfinite(position))
        return;
    if (position <= 0.0)
        position_ = 0.0;
    else if (position >= maximum_)
        position_ = maximum_;
    else
        position_ = position;
}
VEXA_RETHROW

void OrthoSlicePositioner::stepSliceUp() try
{
    if (maximum_ - step_ <= position_)
        position_ = maximum_;
    else
        position_ += step_;
}
VEXA_RETHROW

void OrthoSlicePositioner::stepSliceDown() try
{
    if (position_ <= step_)
        position_ = 0.0;
    else
        position_ -= step_;
}
VEXA_RETHROW

unsigned OrthoSlicePositioner::getNumberOfSlices() const
{
    if (!(step_ > 0.0) || !(maximum_ >= 0.0))
        return 0;
    return static_cast<unsigned>(maximum_ / step_ + 1.0);
}

Vexa::Matrix44<double> OrthoSlicePositioner::getSliceTransform(bool exact) const try
{
    const double p = getSlicePosition(exact);
    switch (orientation_)
    {
    case 0:
        return Vexa::Matrix44<double>(Vector3D(0, -1, 0), Vector3D(0, 0, 1), Vector3D(-1, 0, 0),
                                      Vector3D(p, widthMM_ - 0.001, 0));
    case 1:
        return Vexa::Matrix44<double>(Vector3D(1, 0, 0), Vector3D(0, 0, 1), Vector3D(0, -1, 0),
                                      Vector3D(0, exact ? position_ : wholeSteps(position_), 0));
    case 2:
        return Vexa::Matrix44<double>(Vector3D(1, 0, 0), Vector3D(0, -1, 0), Vector3D(0, 0, -1),
                                      Vector3D(0, heightMM_ - 0.001, p));
    default:
        throw std::runtime_error("OrthoSlicePositioner::getSliceTransform(): point should have never been reached!");
    }
}
VEXA_RETHROW

std::shared_ptr<Vexa::Slice> OrthoSlicePositioner::getSlice(bool exact) const try
{
    return Vexa::Slice::create(getSliceTransform(exact), getSliceMMSize());
}
VEXA_RETHROW

const QString OrthoSlicePositioner::getSliceDirectionDescription() const try
{
    const char* text = orientation_ == 0 ? "X" : orientation_ == 2 ? "Z" : "Y";
    return QCoreApplication::translate("OrthoSlicePositioner", text);
}
VEXA_RETHROW

const QString OrthoSlicePositioner::getLeftDescription() const try
{
    return QCoreApplication::translate("OrthoSlicePositioner", orientation_ == 0 ? "B" : "R");
}
VEXA_RETHROW

const QString OrthoSlicePositioner::getRightDescription() const try
{
    return QCoreApplication::translate("OrthoSlicePositioner", orientation_ == 0 ? "F" : "L");
}
VEXA_RETHROW
