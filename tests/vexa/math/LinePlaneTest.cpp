#include "vexa/math/Geometry.h"
#include "vexa/math/LineSegment3.h"
#include "vexa/math/Plane.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using Vexa::Line3;
using Vexa::LineSegment3;
using Vexa::Plane;
using Vexa::Vector3D;

TEST(Geometry, LineIntersectionResultCodes)
{
    // Crossing, directions not unit: (0,0,0)+s(2,0,0) and (3,-4,0)+t(0,0.5,0) meet at (3,0,0).
    Vector3D out(9, 9, 9);
    EXPECT_EQ(Vexa::getIntersection(Line3<double>(Vector3D(0, 0, 0), Vector3D(2, 0, 0)),
                                    Line3<double>(Vector3D(3, -4, 0), Vector3D(0, 0.5, 0)), out),
              1);
    EXPECT_NEAR((out - Vector3D(3, 0, 0)).length(), 0.0, 1e-12);

    // Skew: 2 mm apart in z; midpoint between the closest points.
    EXPECT_EQ(Vexa::getIntersection(Line3<double>(Vector3D(0, 0, 0), Vector3D(1, 0, 0)),
                                    Line3<double>(Vector3D(5, 7, 2), Vector3D(0, -3, 0)), out),
              0);
    EXPECT_NEAR((out - Vector3D(5, 0, 1)).length(), 0.0, 1e-12);

    // Parallel (and anti-parallel, and nearly parallel short directions): output untouched.
    const Vector3D marker(-1, -2, -3);
    for (const Vector3D& d2 : {Vector3D(2, 0, 0), Vector3D(-1, 0, 0), Vector3D(0.01, 0.01, 0)})
    {
        out = marker;
        EXPECT_EQ(Vexa::getIntersection(Line3<double>(Vector3D(0, 0, 0), Vector3D(1, 0, 0)),
                                        Line3<double>(Vector3D(0, 5, 0), d2), out),
                  2);
        EXPECT_EQ(out, marker);
    }
}

TEST(Geometry, NearestPointDistanceProjectionAndFrames)
{
    const Line3<double> line(Vector3D(1, 1, 0), Vector3D(0, 0, 1));
    EXPECT_EQ(line.getDirection(), Vector3D(0, 0, 1));
    EXPECT_EQ(Vexa::getNearestPoint(line, Vector3D(4, 5, 7)), Vector3D(1, 1, 7));
    EXPECT_DOUBLE_EQ(Vexa::getDistance(line, Vector3D(4, 5, 7)), 5.0);

    const Plane<double> plane(Vector3D(0, 0, 2), Vector3D(0, 0, 5));
    EXPECT_EQ(Vexa::projectOntoPlane(plane, Vector3D(3, 4, -6)), Vector3D(3, 4, 2));
    EXPECT_EQ(Vexa::projectOntoPlane(Plane<double>(Vector3D(1, 2, 3), Vector3D()), Vector3D(3, 4, -6)), Vector3D());

    EXPECT_FALSE(Vexa::isEqual(1.0, 1.5, 0.5)); // strict bound
    EXPECT_FALSE(Vexa::isEqual(Vector3D(1, 2, 3), Vector3D(1.0008, 2, 3.0008), 0.001)); // by distance

    // z = (planePoint - origin) x (xPoint - origin): planePoint on +y gives z = -z.
    const Vector3D origin(10, 20, 30);
    const Vexa::Matrix44<double> frame =
        Vexa::createCoordinateSystem(origin, origin + Vector3D(5, 0, 0), origin + Vector3D(1, 3, 0));
    EXPECT_NEAR((frame.getColumn(0) - Vector3D(1, 0, 0)).length(), 0.0, 1e-15);
    EXPECT_NEAR((frame.getColumn(1) - Vector3D(0, -1, 0)).length(), 0.0, 1e-15);
    EXPECT_NEAR((frame.getColumn(2) - Vector3D(0, 0, -1)).length(), 0.0, 1e-15);
    EXPECT_EQ(frame.getTranslation(), origin);
}

TEST(LineSegment3, PerpendicularFootAndDistance)
{
    const LineSegment3<double> segment(Vector3D(0, 0, 0), Vector3D(4, 0, 0));
    EXPECT_DOUBLE_EQ(segment.getLength(), 4.0);
    auto foot = segment.getPerpendicularPoint(Vector3D(-0.5, 2, 0));
    EXPECT_FALSE(foot.first);
    EXPECT_EQ(foot.second, Vector3D());
    foot = segment.getPerpendicularPoint(Vector3D(1.5, 2, 1));
    EXPECT_TRUE(foot.first);
    EXPECT_EQ(foot.second, Vector3D(1.5, 0, 0));
    EXPECT_TRUE(segment.getPerpendicularPoint(Vector3D(4, 3, 0)).first); // end included
    EXPECT_FALSE(segment.getPerpendicularPoint(Vector3D(4.5, 3, 0)).first);

    EXPECT_DOUBLE_EQ(segment.getSquaredDistance(Vector3D(1.5, 2, 1)), 5.0);
    EXPECT_DOUBLE_EQ(segment.getSquaredDistance(Vector3D(-1, 2, 0)), 5.0);
    EXPECT_DOUBLE_EQ(segment.getSquaredDistance(Vector3D(6, 0, 1)), 5.0);

    const LineSegment3<double> point(Vector3D(1, 1, 1), Vector3D(1, 1, 1));
    EXPECT_FALSE(point.getPerpendicularPoint(Vector3D(1, 1, 1)).first);
    EXPECT_DOUBLE_EQ(point.getSquaredDistance(Vector3D(1, 3, 1)), 4.0);
}

TEST(Plane, ConstructionCrossingTransform)
{
    EXPECT_EQ(Plane<double>().getNormal(), Vector3D(1, 0, 0));

    const Plane<double> plane(Vector3D(0, 0, 2), Vector3D(0, 0, 3));
    EXPECT_EQ(plane.getNormal(), Vector3D(0, 0, 1));
    EXPECT_EQ(plane.getDistance(), -2.0);
    EXPECT_EQ(plane.getSignedDistance(Vector3D(5, 5, 5)), 3.0);
    EXPECT_TRUE(plane.isPointOnPlane(Vector3D(9, -9, 2.01), 0.01));
    EXPECT_FALSE(plane.isPointOnPlane(Vector3D(9, -9, 1.98), 0.01));

    // Crossing from below and from above: the same point.
    const Vector3D below(1, 0, 0), above(3, 0, 8);
    for (const auto& segment : {LineSegment3<double>(below, above), LineSegment3<double>(above, below)})
    {
        const auto hit = plane.getIntersection(segment);
        EXPECT_EQ(hit.first, 3);
        EXPECT_NEAR((hit.second - Vector3D(1.5, 0, 2)).length(), 0.0, 1e-12);
    }
    // Both on one side: no crossing.
    EXPECT_EQ(plane.getIntersection(LineSegment3<double>(above, Vector3D(0, 0, 2.5))).first, 0);
    EXPECT_EQ(plane.getIntersection(LineSegment3<double>(below, Vector3D(0, 0, 1.5))).second, Vector3D());
    // An end exactly on the plane counts as the non-negative side.
    const Vector3D on(7, 7, 2);
    auto hit = plane.getIntersection(LineSegment3<double>(below, on));
    EXPECT_EQ(hit.first, 3);
    EXPECT_EQ(hit.second, on);
    hit = plane.getIntersection(LineSegment3<double>(on, below));
    EXPECT_EQ(hit.first, 3);
    EXPECT_EQ(hit.second, on);
    EXPECT_EQ(plane.getIntersection(LineSegment3<double>(on, above)).first, 0);
    EXPECT_EQ(plane.getIntersection(LineSegment3<double>(on, on)).first, 0);

    // Transform: rotate +90 degrees about x (z -> -y), then move.
    Vexa::Matrix44<double> m(Vector3D(10, 0, 0));
    m.setRotation(Vector3D(1, 0, 0), std::numbers::pi / 2);
    Plane<double> moved = plane;
    moved.transform(m);
    EXPECT_NEAR((moved.getNormal() - Vector3D(0, -1, 0)).length(), 0.0, 1e-15);
    EXPECT_NEAR((moved.getPoint() - Vector3D(10, -2, 0)).length(), 0.0, 1e-15);
    EXPECT_NEAR(moved.getDistance(), -2.0, 1e-15);
    EXPECT_NEAR(moved.getSignedDistance(m * Vector3D(4, 4, 5)), plane.getSignedDistance(Vector3D(4, 4, 5)), 1e-12);

    // A zero normal yields no NaN and no crossing.
    const Plane<double> degenerate(Vector3D(1, 2, 3), Vector3D());
    EXPECT_EQ(degenerate.getNormal(), Vector3D());
    EXPECT_EQ(degenerate.getIntersection(LineSegment3<double>(below, above)).first, 0);
}

TEST(Plane, LineCrossingKinds)
{
    // Plane z = 2; |n . d| = 0.001 still crosses, just below it the line counts as parallel.
    const Plane<double> plane(Vector3D(0, 0, 2), Vector3D(0, 0, 1));
    struct Case
    {
        Vector3D origin, direction;
        int kind;
        Vector3D point;
    } cases[] = {
        {{1, 1, 0}, {0, 0, 4}, 3, {1, 1, 2}},
        {{1, 0, 5}, {1, 0, -1}, 3, {4, 0, 2}},
        {{0, 0, 1}, {1, 0, 0.001}, 3, {1000, 0, 2}},
        {{3, 4, 2.0005}, {1, 0, 0.0009}, 1, {3, 4, 2.0005}},
        {{3, 4, 2.002}, {1, 0, 0}, 2, {0, 0, 0}},
        {{3, 4, 2}, {0, 0, 0}, 1, {3, 4, 2}},
    };
    for (const Case& c : cases)
    {
        const auto [kind, point] = plane.getIntersection(Line3<double>(c.origin, c.direction));
        EXPECT_EQ(kind, c.kind) << c.origin.z << " " << c.direction.z;
        EXPECT_NEAR((point - c.point).length(), 0.0, 1e-9) << c.origin.z << " " << c.direction.z;
    }
}
