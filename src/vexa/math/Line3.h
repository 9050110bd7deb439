#pragma once
// An infinite line: a point and a direction (stored as given, not normalised).
#include "vexa/math/Vector3.h"

namespace Vexa {

template<class T>
class Line3
{
public:
    Vector3<T> point;
    Vector3<T> direction;

    constexpr Line3() = default;
    constexpr Line3(const Vector3<T>& point_, const Vector3<T>& direction_) : point(point_), direction(direction_) {}

    constexpr const Vector3<T>& getPoint() const { return point; }
    constexpr const Vector3<T>& getDirection() const { return direction; }
};

}
