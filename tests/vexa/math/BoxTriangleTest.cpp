#include "vexa/math/Box3.h"
#include "vexa/math/Geometry.h"
#include "vexa/math/Rectangle3.h"

#include <gtest/gtest.h>

#include <numbers>
#include <stdexcept>

using Vexa::Box3;
using Vexa::Ray3;
using Vexa::Rectangle3;
using Vexa::Triangle3;
using Vexa::Vector3D;

TEST(Geometry, RayTriangleHitMissEdge)
{
    const Triangle3<double> triangle(Vector3D(0, 0, 1), Vector3D(4, 0, 1), Vector3D(0, 4, 1));
    double t = -99;
    Vector3D p;
    EXPECT_TRUE(Vexa::intersects(Ray3<double>(Vector3D(1, 1, -1), Vector3D(0, 0, 2)), triangle, t, p));
    EXPECT_DOUBLE_EQ(t, 1.0);
    EXPECT_EQ(p, Vector3D(1, 1, 1));

    // The whole line counts: a hit behind the ray point gives a negative parameter.
    EXPECT_TRUE(Vexa::intersects(Ray3<double>(Vector3D(1, 1, 3), Vector3D(0, 0, 1)), triangle, t, p));
    EXPECT_DOUBLE_EQ(t, -2.0);

    // Oblique hit.
    EXPECT_TRUE(Vexa::intersects(Ray3<double>(Vector3D(0, 0, 0), Vector3D(1, 1, 1)), triangle, t, p));
    EXPECT_NEAR((p - Vector3D(1, 1, 1)).length(), 0.0, 1e-12);

    // Edges and corners count as hits (the hypotenuse, the corner, an axis edge).
    for (const Vector3D& target : {Vector3D(2, 2, 1), Vector3D(4, 0, 1), Vector3D(1.5, 0, 1)})
    {
        EXPECT_TRUE(Vexa::intersects(Ray3<double>(target - Vector3D(0, 0, 5), Vector3D(0, 0, 1)), triangle, t, p))
            << target.x << ' ' << target.y;
        EXPECT_NEAR((p - target).length(), 0.0, 1e-12);
    }

    // Misses leave the outputs alone: beside the hypotenuse, outside an edge, parallel, degenerate.
    t = 42;
    p = Vector3D(7, 7, 7);
    EXPECT_FALSE(Vexa::intersects(Ray3<double>(Vector3D(2.01, 2.01, 0), Vector3D(0, 0, 1)), triangle, t, p));
    EXPECT_FALSE(Vexa::intersects(Ray3<double>(Vector3D(-0.01, 1, 0), Vector3D(0, 0, 1)), triangle, t, p));
    EXPECT_FALSE(Vexa::intersects(Ray3<double>(Vector3D(1, 1, 1), Vector3D(1, 0, 0)), triangle, t, p));
    const Triangle3<double> flat(Vector3D(0, 0, 0), Vector3D(1, 1, 0), Vector3D(2, 2, 0));
    EXPECT_FALSE(Vexa::intersects(Ray3<double>(Vector3D(1, 1, -1), Vector3D(0, 0, 1)), flat, t, p));
    EXPECT_EQ(t, 42);
    EXPECT_EQ(p, Vector3D(7, 7, 7));

    // Tiny triangles are not taken for parallel.
    const Triangle3<double> tiny(Vector3D(0, 0, 0), Vector3D(1e-4, 0, 0), Vector3D(0, 1e-4, 0));
    EXPECT_TRUE(Vexa::intersects(Ray3<double>(Vector3D(2e-5, 2e-5, 1), Vector3D(0, 0, -1)), tiny, t, p));
}

TEST(Box3, CornersFacesScaleAndTransform)
{
    Box3<double> box({Vector3D(-1, -2, -3), Vector3D(3, 2, 5)});
    EXPECT_EQ(box.getCenter(), Vector3D(1, 0, 1));
    EXPECT_EQ(box.getCorner(0), Vector3D(-1, -2, -3));
    EXPECT_EQ(box.getCorner(2), Vector3D(3, 2, -3));
    EXPECT_EQ(box.getCorner(7), Vector3D(-1, 2, 5));

    const Vector3D outward[6] = {Vector3D(0, 0, -1), Vector3D(0, 0, 1), Vector3D(0, -1, 0),
                                 Vector3D(0, 1, 0),  Vector3D(-1, 0, 0), Vector3D(1, 0, 0)};
    auto checkFaces = [](const Box3<double>& b, const Vexa::Matrix44<double>& rotation, const Vector3D* directions) {
        for (unsigned f = 0; f < 6; ++f)
        {
            Rectangle3<double> face;
            b.getFace(face, f);
            const Vector3D normal = (face[1] - face[2]).cross(face[3] - face[2]);
            EXPECT_NEAR((normal.getNormalized() - rotation.rotate(directions[f])).length(), 0.0, 1e-12) << f;
            EXPECT_NEAR((face.getCenter() - b.getCenter()).getNormalized().dot(normal.getNormalized()), 1.0, 1e-12);
            // A proper quadrilateral: opposite corners are diagonal, corners 0 and 2 differ on both face axes.
            EXPECT_NEAR((face[0] + face[2] - face[1] - face[3]).length(), 0.0, 1e-12) << f;
        }
    };
    checkFaces(box, Vexa::Matrix44<double>(), outward);

    // Scale about the centre in the box's axes, then move it (m x transform).
    box.scale(Vector3D(1.5, 1.5, 0.5));
    EXPECT_EQ(box.getCenter(), Vector3D(1, 0, 1));
    EXPECT_EQ(box.getCorner(0), Vector3D(-2, -3, -1));
    EXPECT_EQ(box.getCorner(6), Vector3D(4, 3, 3));
    box.transform(Vexa::Matrix44<double>(Vector3D(0, 0, -2)));
    EXPECT_EQ(box.getCenter(), Vector3D(1, 0, -1));

    Vexa::Matrix44<double> rotation;
    rotation.setRotation(Vector3D(0, 0, 1), std::numbers::pi / 2);
    box.transform(rotation);
    // Rotation applied after the earlier move: centre (1, 0, -1) turns to (0, 1, -1).
    EXPECT_NEAR((box.getCenter() - Vector3D(0, 1, -1)).length(), 0.0, 1e-12);
    EXPECT_NEAR((box.getCorners()[0] - Vector3D(3, -2, -3)).length(), 0.0, 1e-12);
    checkFaces(box, rotation, outward);
    // Scaling after a transform still works in the box's own axes.
    box.scale(Vector3D(2, 1, 1));
    EXPECT_NEAR((box.getCorner(1) - box.getCorner(0)).length(), 12.0, 1e-12);
    EXPECT_NEAR((box.getCorner(1) - box.getCorner(0)).getNormalized().y, 1.0, 1e-12);

    Rectangle3<double> face;
    EXPECT_THROW(box.getFace(face, 6), std::runtime_error);
    EXPECT_EQ(Rectangle3<double>(Vector3D(0, 0, 0), Vector3D(2, 0, 0), Vector3D(2, 4, 0), Vector3D(0, 4, 2)).getCenter(),
              Vector3D(1, 2, 0.5));
}
