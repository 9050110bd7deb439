#pragma once
// 3x3 rotation of nine doubles in column order: the rotation part of a Matrix44<double>
// (its elements 0..2, 4..6, 8..10).
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"

#include <algorithm>
#include <cmath>

namespace Vexa {

class Matrix33
{
public:
    // Identity.
    constexpr Matrix33() : e_{1, 0, 0, 0, 1, 0, 0, 0, 1} {}

    constexpr Matrix33(const Vector3D& column0, const Vector3D& column1, const Vector3D& column2)
        : e_{column0.x, column0.y, column0.z, column1.x, column1.y, column1.z, column2.x, column2.y, column2.z}
    {
    }

    // The rotation part of m.
    constexpr explicit Matrix33(const Matrix44<double>& m)
        : e_{m[0], m[1], m[2], m[4], m[5], m[6], m[8], m[9], m[10]}
    {
    }

    // Element i (column i / 3, row i % 3).
    constexpr double& operator[](int i) { return e_[i]; }
    constexpr const double& operator[](int i) const { return e_[i]; }

    constexpr Vector3D getColumn(int c) const { return Vector3D(e_[3 * c], e_[3 * c + 1], e_[3 * c + 2]); }

    // The angles (a, b, c) in radians that the Matrix44 angle constructor turns back into this
    // rotation: a = atan2(e7, e8), b = asin(-e6), c = atan2(e3, e0). The asin argument is
    // clamped to [-1, 1] so that rounding in a proper rotation cannot give NaN.
    Vector3D getEulerAngles() const
    {
        return Vector3D(std::atan2(e_[7], e_[8]), std::asin(std::clamp(-e_[6], -1.0, 1.0)),
                        std::atan2(e_[3], e_[0]));
    }

private:
    double e_[9];
};

}
