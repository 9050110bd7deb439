#pragma once
// A segment between two end points.
#include "vexa/math/Vector3.h"

#include <utility>

namespace Vexa {

template<class T>
class LineSegment3
{
public:
    Vector3<T> start;
    Vector3<T> end;

    constexpr LineSegment3() = default;
    constexpr LineSegment3(const Vector3<T>& start_, const Vector3<T>& end_) : start(start_), end(end_) {}

    constexpr const Vector3<T>& getStart() const { return start; }
    constexpr const Vector3<T>& getEnd() const { return end; }
    T getLength() const { return (end - start).length(); }

    // The foot of the perpendicular from p: (true, foot) when it lies on the segment (ends
    // included), else (false, zero vector). A segment of length 0 has no direction and
    // gives (false, zero vector).
    std::pair<bool, Vector3<T>> getPerpendicularPoint(const Vector3<T>& p) const
    {
        const T length = getLength();
        if (!(length > T(0)))
            return {false, Vector3<T>()};
        const Vector3<T> u = (end - start) / length;
        const T t = u.dot(p - start);
        if (t >= T(0) && t <= length)
            return {true, start + u * t};
        return {false, Vector3<T>()};
    }

    // Squared distance from p to the segment: to the foot when it lies on the segment, else
    // to the nearer end point.
    T getSquaredDistance(const Vector3<T>& p) const
    {
        const auto foot = getPerpendicularPoint(p);
        if (foot.first)
            return (p - foot.second).squaredLength();
        const T toStart = (p - start).squaredLength();
        const T toEnd = (p - end).squaredLength();
        return toStart < toEnd ? toStart : toEnd;
    }
};

}
