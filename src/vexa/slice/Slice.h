#pragma once
// A planar rectangle in space on which volume data is shown: its frame's column 0 is the
// width direction, column 1 the height direction, column 2 the normal, and its translation
// the rectangle's corner; the size is in millimetres.
#include "vexa/math/Matrix44.h"
#include "vexa/math/Plane.h"
#include "vexa/math/Rectangle3.h"
#include "vexa/math/Size2.h"

#include <memory>

namespace Vexa {

class Slice
{
public:
    static std::shared_ptr<Slice> create(const Matrix44<double>& transform, const Size2<double>& size);
    virtual ~Slice();

    Matrix44<double> getTransform() const { return transform_; }
    Size2<double> getSize() const { return size_; }
    double getWidth() const { return size_.width; }
    double getHeight() const { return size_.height; }
    // Through the corner, with the normalised column 2 of the frame as normal.
    Plane<double> getPlane() const;
    // Corner, corner + w x, corner + w x + h y, corner + h y.
    Rectangle3<double> getRectangle() const;

protected:
    Slice(const Matrix44<double>& transform, const Size2<double>& size);
    void setTransform(const Matrix44<double>& transform) { transform_ = transform; }
    void setSize(const Size2<double>& size) { size_ = size; }

private:
    Matrix44<double> transform_;
    Size2<double> size_;
};

// Every frame element of one within 0.001 (exclusive) of the other's, sizes exactly equal.
bool operator==(const Slice& a, const Slice& b);

}
