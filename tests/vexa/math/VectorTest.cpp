#include "vexa/math/Scalar.h"
#include "vexa/math/Vector3.h"

#include "vexa/math/Vector4.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using Vexa::Vector3D;

TEST(Vector3, RotationIsRightHandedAndLeavesAxisVectorsAlone)
{
    const double a = 0.3;
    const Vector3D v(1.5, -2.0, 0.7);
    const Vector3D r = v.getRotated(Vector3D(0, 0, 1), a);
    EXPECT_NEAR(r.x, 1.5 * std::cos(a) + 2.0 * std::sin(a), 1e-12);
    EXPECT_NEAR(r.y, 1.5 * std::sin(a) - 2.0 * std::cos(a), 1e-12);
    EXPECT_NEAR(r.z, 0.7, 1e-12);

    // A non-unit axis turns the same way as its unit vector; length is kept.
    const Vector3D axis(1, 2, -2);
    const Vector3D r1 = v.getRotated(axis * 5.0, 1.1);
    const Vector3D r2 = v.getRotated(axis.getNormalized(), 1.1);
    EXPECT_NEAR((r1 - r2).length(), 0.0, 1e-12);
    EXPECT_NEAR(r1.length(), v.length(), 1e-12);
    EXPECT_NEAR(r1.dot(axis), v.dot(axis), 1e-12);

    // Right-handed: x about z by 90 degrees is y; y about x is z.
    const Vector3D xy = Vector3D(1, 0, 0).getRotated(Vector3D(0, 0, 1), std::numbers::pi / 2);
    EXPECT_NEAR((xy - Vector3D(0, 1, 0)).length(), 0.0, 1e-12);
    const Vector3D yz = Vector3D(0, 1, 0).getRotated(Vector3D(1, 0, 0), std::numbers::pi / 2);
    EXPECT_NEAR((yz - Vector3D(0, 0, 1)).length(), 0.0, 1e-12);

    // Almost along the axis (off-axis part below 0.001) and a zero axis: unchanged, bit for bit.
    const Vector3D nearAxis(0.0005, 0.0, 3.0);
    EXPECT_EQ(nearAxis.getRotated(Vector3D(0, 0, 1), 1.0), nearAxis);
    EXPECT_EQ(v.getRotated(Vector3D(), 1.0), v);
}

TEST(Vector3, CrossDivisionAndIndexing)
{
    Vector3D v(1, 2, 3);
    const Vector3D w(-4, 5, 0.5);
    EXPECT_EQ(v.cross(w), Vector3D(2 * 0.5 - 3 * 5, 3 * -4 - 1 * 0.5, 1 * 5 - 2 * -4));
    // Division multiplies by the reciprocal.
    const Vector3D d = Vector3D(1, 10, 7) / 3.0;
    EXPECT_EQ(d, Vector3D(1 * (1.0 / 3.0), 10 * (1.0 / 3.0), 7 * (1.0 / 3.0)));
    v[0] = 9;
    v[2] += 1;
    EXPECT_EQ(v, Vector3D(9, 2, 4));
    EXPECT_FALSE(std::isfinite(Vector3D().getNormalized().x));
}

TEST(Scalar, Helpers)
{
    EXPECT_DOUBLE_EQ(Vexa::log2(1024.0), 10.0);
    EXPECT_EQ(Vexa::log2(0.5), 0.0);
    EXPECT_EQ(Vexa::log2(-8.0), 0.0);
    EXPECT_EQ(Vexa::round(2.5), 3.0);
    EXPECT_EQ(Vexa::round(-2.5), -3.0);
    EXPECT_EQ(Vexa::round(-2.4), -2.0);
    EXPECT_DOUBLE_EQ(Vexa::radToDeg(std::numbers::pi), 180.0);
    EXPECT_EQ(Vexa::degToRad(10.0), 10.0 * 0.017453292519943295);
}

TEST(Vector4, IsEqualIsStrictPerComponent)
{
    const Vexa::Vector4<float> green(0, 1, 0, 1);
    EXPECT_TRUE(Vexa::isEqual(green, green, 0.0f)) << "the same object";
    EXPECT_TRUE(Vexa::isEqual(green, Vexa::Vector4<float>(0.0009f, 0.9991f, -0.0009f, 1), 0.001f));
    for (int i = 0; i < 4; ++i)
    {
        Vexa::Vector4<float> off = green;
        off[i] += 0.0011f;
        EXPECT_FALSE(Vexa::isEqual(green, off, 0.001f)) << i;
    }
    EXPECT_FALSE(Vexa::isEqual(green, Vexa::Vector4<float>(0, 1, 0, 1), 0.0f)) << "strict: equal is not within 0";
}
