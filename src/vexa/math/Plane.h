#pragma once
// A plane: unit normal, distance term d = -(normal . point) and a point on it.
#include "vexa/math/Line3.h"
#include "vexa/math/LineSegment3.h"
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"

#include <utility>

namespace Vexa {

template<class T>
class Plane
{
public:
    // Normal (1, 0, 0), d 0, point (0, 0, 0).
    constexpr Plane() : normal_(1, 0, 0), distance_(0), point_() {}

    // The normal is stored normalised. A zero normal stays zero (no NaN), so such a plane
    // contains no crossing and projects nothing.
    Plane(const Vector3<T>& point, const Vector3<T>& normal) : normal_(unit(normal)), distance_(0), point_(point)
    {
        distance_ = -point_.dot(normal_);
    }

    constexpr const Vector3<T>& getNormal() const { return normal_; }
    constexpr T getDistance() const { return distance_; }
    constexpr const Vector3<T>& getPoint() const { return point_; }

    constexpr T getSignedDistance(const Vector3<T>& p) const { return normal_.dot(p) + distance_; }

    // With d0, d1 the signed distances of the end points: {3, p0 t + p1 (1 - t)}, t = d1 / (d1 - d0),
    // when exactly one of them is negative (a distance of 0 counts as the non-negative side);
    // otherwise {0, zero vector}.
    std::pair<int, Vector3<T>> getIntersection(const LineSegment3<T>& segment) const
    {
        const Vector3<T>& p0 = segment.getStart();
        const Vector3<T>& p1 = segment.getEnd();
        const T d0 = getSignedDistance(p0);
        const T d1 = getSignedDistance(p1);
        if ((d0 < T(0)) == (d1 < T(0)))
            return {0, Vector3<T>()};
        const T t = d1 / (d1 - d0);
        return {3, p0 * t + p1 * (T(1) - t)};
    }

    // The line's crossing with the plane: {3, origin + t direction} with
    // t = -(n . origin + d) / (n . direction) when |n . direction| >= 0.001; else {1, origin} when
    // the origin lies on the plane within 0.001, else {2, zero vector}.
    std::pair<int, Vector3<T>> getIntersection(const Line3<T>& line) const
    {
        const Vector3<T>& origin = line.getPoint();
        const T along = normal_.dot(line.getDirection());
        if (along >= T(0.001) || along <= T(-0.001))
            return {3, origin + line.getDirection() * (-(normal_.dot(origin) + distance_) / along)};
        if (isPointOnPlane(origin, T(0.001)))
            return {1, origin};
        return {2, Vector3<T>()};
    }

    // In place: the point by the full matrix, the normal by the linear part (kept unit), d anew.
    void transform(const Matrix44<T>& m)
    {
        point_ = m * point_;
        normal_ = unit(m.rotate(normal_));
        distance_ = -point_.dot(normal_);
    }

    bool isPointOnPlane(const Vector3<T>& p, T tolerance) const
    {
        const T d = normal_.dot(p - point_);
        return -tolerance <= d && d <= tolerance;
    }

private:
    static Vector3<T> unit(const Vector3<T>& v)
    {
        const T length = v.length();
        return length > T(0) ? v / length : Vector3<T>();
    }

    Vector3<T> normal_;
    T distance_;
    Vector3<T> point_;
};

}
