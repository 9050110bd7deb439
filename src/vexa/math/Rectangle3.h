#pragma once
// A quadrilateral in space given by its four corners in order.
#include "vexa/math/Vector3.h"

namespace Vexa {

template<class T>
class Rectangle3
{
public:
    constexpr Rectangle3() = default;
    constexpr Rectangle3(const Vector3<T>& c0, const Vector3<T>& c1, const Vector3<T>& c2, const Vector3<T>& c3)
        : corners_{c0, c1, c2, c3}
    {
    }

    // Corner 0..3.
    constexpr Vector3<T>& operator[](int i) { return corners_[i]; }
    constexpr const Vector3<T>& operator[](int i) const { return corners_[i]; }
    constexpr const Vector3<T>& getCorner(int i) const { return corners_[i]; }
    constexpr void setCorner(int i, const Vector3<T>& c) { corners_[i] = c; }

    // Mean of the four corners.
    constexpr Vector3<T> getCenter() const
    {
        return (corners_[0] + corners_[1] + corners_[2] + corners_[3]) * T(0.25);
    }

private:
    Vector3<T> corners_[4];
};

}
