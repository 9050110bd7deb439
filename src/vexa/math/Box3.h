#pragma once
// An axis-aligned box (in its own coordinates) carrying a transform; centre, corners and
// faces are reported transformed.
//
// Corner i in box coordinates: bit pattern of i over (x, y) = 0 (min,min), 1 (max,min),
// 2 (max,max), 3 (min,max); corners 0..3 lie at min z, 4..7 at max z.
// Faces: 0 -z, 1 +z, 2 -y, 3 +y, 4 -x, 5 +x; each face's corners are ordered so that
// (c1 - c2) x (c3 - c2) is its outward normal, which the picking code relies on to test
// only the faces a ray enters through.
#include "vexa/math/Matrix44.h"
#include "vexa/math/Rectangle3.h"
#include "vexa/math/Vector3.h"

#include <array>
#include <stdexcept>
#include <utility>

namespace Vexa {

template<class T>
class Box3
{
public:
    constexpr Box3() = default;

    // The box between the two corners (minimum, maximum); identity transform.
    explicit Box3(const std::pair<Vector3<T>, Vector3<T>>& minMax) : min_(minMax.first), max_(minMax.second) {}

    constexpr const Vector3<T>& getMin() const { return min_; }
    constexpr const Vector3<T>& getMax() const { return max_; }
    constexpr const Matrix44<T>& getTransform() const { return transform_; }

    Vector3<T> getCenter() const { return transform_ * ((min_ + max_) * T(0.5)); }

    Vector3<T> getCorner(int i) const
    {
        const Vector3<T> local((i & 3) == 1 || (i & 3) == 2 ? max_.x : min_.x,
                               (i & 3) >= 2 ? max_.y : min_.y,
                               i >= 4 ? max_.z : min_.z);
        return transform_ * local;
    }

    std::array<Vector3<T>, 8> getCorners() const
    {
        std::array<Vector3<T>, 8> corners;
        for (int i = 0; i < 8; ++i)
            corners[i] = getCorner(i);
        return corners;
    }

    void getFace(Rectangle3<T>& out, unsigned face) const
    {
        static constexpr int order[6][4] = {
            {0, 1, 2, 3}, {4, 7, 6, 5}, {0, 4, 5, 1}, {3, 2, 6, 7}, {0, 3, 7, 4}, {1, 5, 6, 2}};
        if (face > 5)
            throw std::runtime_error("Box3::getFace: face must be 0 to 5");
        out = Rectangle3<T>(getCorner(order[face][0]), getCorner(order[face][1]), getCorner(order[face][2]),
                            getCorner(order[face][3]));
    }

    // Scales the box about its centre, per axis of the box's own coordinates.
    void scale(const Vector3<T>& factors)
    {
        const Vector3<T> center = (min_ + max_) * T(0.5);
        const Vector3<T> half = (max_ - min_) * T(0.5);
        const Vector3<T> scaled(half.x * factors.x, half.y * factors.y, half.z * factors.z);
        min_ = center - scaled;
        max_ = center + scaled;
    }

    // transform := m x transform.
    void transform(const Matrix44<T>& m) { transform_ = m * transform_; }

private:
    Vector3<T> min_;
    Vector3<T> max_;
    Matrix44<T> transform_;
};

}
