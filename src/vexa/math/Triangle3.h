#pragma once
// A triangle given by its three corners.
#include "vexa/math/Vector3.h"

namespace Vexa {

template<class T>
class Triangle3
{
public:
    constexpr Triangle3() = default;
    constexpr Triangle3(const Vector3<T>& a, const Vector3<T>& b, const Vector3<T>& c) : corners_{a, b, c} {}

    // Corner 0, 1 or 2.
    constexpr Vector3<T>& operator[](int i) { return corners_[i]; }
    constexpr const Vector3<T>& operator[](int i) const { return corners_[i]; }
    constexpr const Vector3<T>& getCorner(int i) const { return corners_[i]; }

private:
    Vector3<T> corners_[3];
};

}
