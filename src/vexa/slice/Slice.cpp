#include "vexa/slice/Slice.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Geometry.h"

namespace Vexa {

Slice::Slice(const Matrix44<double>& transform, const Size2<double>& size)
    : transform_(transform)
    , size_(size)
{
}

Slice::~Slice() = default;

std::shared_ptr<Slice> Slice::create(const Matrix44<double>& transform, const Size2<double>& size)
try {
    return std::shared_ptr<Slice>(new Slice(transform, size));
}
VEXA_RETHROW

Plane<double> Slice::getPlane() const
try {
    return Plane<double>(transform_.getTranslation(), transform_.getColumn(2).getNormalized());
}
VEXA_RETHROW

Rectangle3<double> Slice::getRectangle() const
try {
    const Vector3D corner = transform_.getTranslation();
    const Vector3D w = transform_.getColumn(0) * size_.width;
    const Vector3D h = transform_.getColumn(1) * size_.height;
    return Rectangle3<double>(corner, corner + w, corner + w + h, corner + h);
}
VEXA_RETHROW

bool operator==(const Slice& a, const Slice& b)
{
    return isEqual(a.getTransform(), b.getTransform(), 0.001) && a.getWidth() == b.getWidth() &&
           a.getHeight() == b.getHeight();
}

}
