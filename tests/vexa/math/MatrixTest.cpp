#include "vexa/math/Matrix33.h"
#include "vexa/math/Matrix44.h"

#include "../CommaLocale.h"

#include <gtest/gtest.h>
#include <limits>

#include <cmath>
#include <locale>
#include <numbers>
#include <random>
#include <sstream>
#include <stdexcept>

using Vexa::Matrix33;
using Vexa::Vector3D;
using M = Vexa::Matrix44<double>;

namespace {

double determinant(const M& m)
{
    return m.getColumn(0).dot(m.getColumn(1).cross(m.getColumn(2)));
}

M randomRigid(std::mt19937& rng)
{
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    M m;
    m.setRotation(Vector3D(u(rng), u(rng), u(rng)), 3.0 * u(rng));
    m.setTranslation(Vector3D(100 * u(rng), 100 * u(rng), 100 * u(rng)));
    return m;
}

void expectNear(const M& a, const M& b, double tolerance)
{
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(a[i], b[i], tolerance) << "element " << i;
}

}

TEST(Matrix44, EulerAnglesRoundTripAndRigidInverse)
{
    // Element formula by index: e3 (element 4) = sin c cos b, e6 (element 8) = -sin b.
    const double a = 0.4, b = -0.3, c = 1.2;
    const M fromAngles(Vector3D(a, b, c), Vector3D(1, 2, 3));
    EXPECT_DOUBLE_EQ(fromAngles[4], std::sin(c) * std::cos(b));
    EXPECT_DOUBLE_EQ(fromAngles[1], std::cos(c) * std::sin(b) * std::sin(a) - std::sin(c) * std::cos(a));
    EXPECT_DOUBLE_EQ(fromAngles[8], -std::sin(b));
    EXPECT_EQ(fromAngles.getTranslation(), Vector3D(1, 2, 3));

    std::mt19937 rng(7);
    std::uniform_real_distribution<double> full(-3.1, 3.1);
    std::uniform_real_distribution<double> tilt(-1.39, 1.39); // |b| < 80 degrees
    for (int k = 0; k < 200; ++k)
    {
        const Vector3D angles(full(rng), tilt(rng), full(rng));
        const M m(angles, Vector3D(full(rng), full(rng), full(rng)));
        EXPECT_NEAR(determinant(m), 1.0, 1e-12);
        const Vector3D back = Matrix33(m).getEulerAngles();
        EXPECT_NEAR((back - angles).length(), 0.0, 1e-9) << k;

        // Matrix -> angles -> matrix gives the rotation back.
        const M random = randomRigid(rng);
        const M rebuilt(Matrix33(random).getEulerAngles(), random.getTranslation());
        expectNear(rebuilt, random, 1e-9);

        expectNear(random * Vexa::inverse(random), M(), 1e-12);
    }

    // invert leaves the bottom row as it is.
    double raw[16] = {1, 0, 0, 0.5, 0, 1, 0, 0.25, 0, 0, 1, 0.125, 3, 4, 5, 2};
    M odd(raw);
    odd.invert();
    for (const int i : {3, 7, 11, 15})
        EXPECT_EQ(odd[i], raw[i]) << i;
    EXPECT_EQ(odd.getTranslation(), Vector3D(-3, -4, -5));

    // Slightly outside [-1, 1] from rounding still gives finite angles.
    M over;
    over[8] = -1.0000000000000002;
    EXPECT_TRUE(std::isfinite(Matrix33(over).getEulerAngles().y));
}

TEST(Matrix44, ProductAppliesRightFactorFirst)
{
    M rotation;
    rotation.setRotation(Vector3D(0, 0, 1), std::numbers::pi / 2);
    const M translation(Vector3D(10, 0, 0));
    const Vector3D p(1, 0, 0);
    // Rotate first, then move: (0, 1, 0) + (10, 0, 0).
    EXPECT_NEAR(((translation * rotation) * p - Vector3D(10, 1, 0)).length(), 0.0, 1e-12);

    // operator*= against the element formula on general matrices.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-5, 5);
    double ea[16], eb[16];
    for (int i = 0; i < 16; ++i)
    {
        ea[i] = u(rng);
        eb[i] = u(rng);
    }
    M a(ea);
    const M b(eb);
    const M product = a * b;
    a *= b;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
        {
            double sum = 0;
            for (int k = 0; k < 4; ++k)
                sum += ea[r + 4 * k] * eb[k + 4 * c];
            EXPECT_DOUBLE_EQ(a[r + 4 * c], sum);
            EXPECT_EQ(product[r + 4 * c], a[r + 4 * c]);
        }
    // rotate ignores the translation.
    EXPECT_NEAR((translation * rotation).rotate(p).y, 1.0, 1e-12);
    EXPECT_NEAR((translation * rotation).rotate(p).x, 0.0, 1e-12);
}

TEST(Matrix44, SetRotationAndOrthonormalize)
{
    double raw[16];
    for (int i = 0; i < 16; ++i)
        raw[i] = 100 + i;
    M m(raw);
    m.setRotation(Vector3D(0, 0, 2), std::numbers::pi / 2);
    EXPECT_NEAR((m.getColumn(0) - Vector3D(0, 1, 0)).length(), 0.0, 1e-12);
    EXPECT_NEAR((m.getColumn(1) - Vector3D(-1, 0, 0)).length(), 0.0, 1e-12);
    EXPECT_NEAR((m.getColumn(2) - Vector3D(0, 0, 1)).length(), 0.0, 1e-12);
    for (int i : {3, 7, 11, 12, 13, 14, 15})
        EXPECT_EQ(m[i], 100 + i) << i;

    // Each kept axis keeps its direction, the rest becomes a right-handed rotation; an axis
    // parallel to the kept one, or zero, still gives one. Translation stays, bottom row (0 0 0 1).
    M skewed(Vector3D(2, 0.1, -0.2), Vector3D(0.3, 1.5, 0.1), Vector3D(-0.1, 0.2, 0.8), Vector3D(5, 6, 7));
    skewed[3] = 0.2;
    skewed[15] = 3;
    const Vector3D along(0.6, 0, 0.8);
    for (int axis : {1, 2, 3})
        for (const Vector3D& next : {skewed.getColumn(axis % 3), along * -3.0, Vector3D()})
        {
            M m = skewed;
            m.setColumn(axis - 1, along * 2.0);
            m.setColumn(axis % 3, next);
            m.orthonormalize(axis);
            EXPECT_NEAR((m.getColumn(axis - 1) - along).length(), 0.0, 1e-15) << axis;
            EXPECT_NEAR(determinant(m), 1.0, 1e-12) << axis;
            for (int i = 0; i < 3; ++i)
                EXPECT_NEAR(m.getColumn(i).dot(m.getColumn((i + 1) % 3)), 0.0, 1e-12) << axis;
            EXPECT_EQ(m.getTranslation(), Vector3D(5, 6, 7));
            EXPECT_EQ(m[3], 0);
            EXPECT_EQ(m[15], 1);
        }
    M kept = skewed;
    kept.orthonormalize(1);
    EXPECT_GT(kept.getColumn(1).dot(skewed.getColumn(1)), 0.0) << "y stays on the side it was on";
    EXPECT_THROW(kept.orthonormalize(0), std::runtime_error);
}

TEST(Matrix44, StreamFormats)
{
    double raw[16];
    for (int i = 0; i < 16; ++i)
        raw[i] = i + 0.5;
    const M m(raw);
    std::ostringstream out;
    out << m;
    EXPECT_EQ(out.str(), "0.5 4.5 8.5 12.5 1.5 5.5 9.5 13.5 2.5 6.5 10.5 14.5 3.5 7.5 11.5 15.5");

    // The stream's own number format: default precision 6 ...
    std::ostringstream six;
    six << M(Vector3D(1.23456789, 0, 0));
    EXPECT_EQ(six.str().substr(0, 20), "1 0 0 1.23457 0 1 0 ");
    // ... and its own locale: the global one does not matter.
    std::string comma;
    std::ostringstream classic;
    M readClassic;
    {
        CommaLocale::Global global;
        std::ostringstream commaOut; // takes the global locale
        commaOut << m;
        comma = commaOut.str();
        classic.imbue(std::locale::classic());
        classic << m;
        std::istringstream classicIn(classic.str());
        classicIn.imbue(std::locale::classic());
        classicIn >> readClassic;
        EXPECT_FALSE(classicIn.fail());
    }
    EXPECT_EQ(comma.substr(0, 8), "0,5 4,5 ");
    EXPECT_EQ(classic.str(), out.str());
    EXPECT_TRUE(Vexa::isEqual(readClassic, m, 1e-15));

    // Round trip at full precision, NaN and infinities included.
    std::stringstream full;
    full.precision(17);
    M rotated;
    rotated.setRotation(Vector3D(1, 2, 3), 0.7);
    rotated[3] = std::numeric_limits<double>::quiet_NaN();
    rotated[12] = -std::numeric_limits<double>::infinity();
    rotated[13] = std::numeric_limits<double>::infinity();
    full << rotated;
    M back(raw);
    full >> back;
    EXPECT_FALSE(full.fail()) << full.str();
    for (int i = 0; i < 16; ++i)
        EXPECT_TRUE(back[i] == rotated[i] || (std::isnan(back[i]) && std::isnan(rotated[i]))) << i;

    // A short stream fills what it has, row by row, and leaves the rest.
    std::istringstream shortIn("2 0 0 7\n0 3 0 8");
    M partial;
    shortIn >> partial;
    EXPECT_TRUE(shortIn.fail());
    for (const auto& [index, value] : {std::pair{0, 2}, {12, 7}, {5, 3}, {13, 8}, {10, 1}, {14, 0}, {15, 1}})
        EXPECT_EQ(partial[index], value) << index;
    std::istringstream garbage("1 2 x 4");
    M stopped;
    garbage >> stopped;
    EXPECT_EQ(stopped[4], 2);
    EXPECT_EQ(stopped[8], 0);
}

TEST(Matrix44, IsEqualIsStrict)
{
    M b;
    b[5] = 1.25; // exactly on the bound: not equal
    EXPECT_FALSE(Vexa::isEqual(M(), b, 0.25));
    EXPECT_TRUE(Vexa::isEqual(M(), b, 0.2500001));
    const M a;
    EXPECT_TRUE(Vexa::isEqual(a, a, 0.0)); // the same object
    EXPECT_FALSE(Vexa::isEqual(a, M(a), 0.0));
}
