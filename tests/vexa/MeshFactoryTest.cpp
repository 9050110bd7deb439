#include "MeshTestSupport.h"
#include "vexa/math/Geometry.h"
#include "vexa/math/Matrix44.h"
#include "vexa/mesh/MeshFactory.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <stdexcept>

using namespace Vexa;
using MeshTestSupport::signedVolume;
using MeshTestSupport::watertightFault;

namespace {

// A frame whose x axis runs from p to q, as the nerve builds its tube segments.
Matrix44<double> segmentFrame(const Vector3D& p, const Vector3D& q)
{
    const Vector3D x = (q - p).getNormalized();
    const Vector3D helper = std::abs(x.x) < 0.9 ? Vector3D(1, 0, 0) : Vector3D(0, 1, 0);
    const Vector3D y = x.cross(helper).getNormalized();
    return Matrix44<double>(x, y, x.cross(y), p);
}

}

TEST(MeshFactory, CylinderHasTheRingsSegmentsAndRadiiAsked)
{
    // Two nerve points 10 mm apart, 15 segments, one ring, open ends.
    const Vector3D p(1, 2, 3), q = p + Vector3D(6, 0, 8);
    const Matrix44<double> frame = segmentFrame(p, q);
    auto tube = createCylinderMesh(frame, 10.0, 3.0, 3.0, false, 15, 1);
    ASSERT_TRUE(tube);
    EXPECT_EQ(tube->getVertexCount(), 30u);
    EXPECT_EQ(tube->getTriangleCount(), 30u);
    const Line3<double> axis(p, (q - p).getNormalized());
    int atStart = 0, atEnd = 0;
    for (unsigned i = 0; i < tube->getVertexCount(); ++i) {
        const Vector3D v = tube->getVertex(i);
        EXPECT_NEAR(getDistance(axis, v), 1.5, 1e-12);
        const double along = (v - p).dot(axis.direction);
        atStart += std::abs(along) < 1e-12;
        atEnd += std::abs(along - 10.0) < 1e-12;
        // Side normals are unit and point away from the axis.
        const Vector3D n = tube->getNormal(i);
        EXPECT_NEAR(n.length(), 1.0, 1e-12);
        EXPECT_GT(n.dot(v - getNearestPoint(axis, v)), 0.0);
    }
    EXPECT_EQ(atStart, 15);
    EXPECT_EQ(atEnd, 15);
    // Vertex 0 starts on the frame's y axis.
    EXPECT_TRUE(isEqual(tube->getVertex(0), p + frame.getColumn(1) * 1.5, 1e-12));

    // A cone over three rings: radius linear from the start to the end diameter, normals
    // leaning against the slope.
    auto cone = createCylinderMesh(Matrix44<double>(), 6.0, 4.0, 1.0, false, 8, 3);
    EXPECT_EQ(cone->getVertexCount(), 32u);
    EXPECT_EQ(cone->getTriangleCount(), 48u);
    for (unsigned k = 0; k <= 3; ++k) {
        const Vector3D v = cone->getVertex(k * 8 + 3);
        EXPECT_NEAR(v.x, 2.0 * k, 1e-12);
        EXPECT_NEAR(std::hypot(v.y, v.z), 2.0 - 0.5 * k, 1e-12);
        EXPECT_GT(cone->getNormal(k * 8 + 3).x, 0.0);
    }

    EXPECT_THROW(createCylinderMesh(frame, 10.0, 3.0, 3.0, false, 2, 1), std::runtime_error);
    EXPECT_THROW(createCylinderMesh(frame, 10.0, 3.0, 3.0, false, 15, 0), std::runtime_error);
}

TEST(MeshFactory, ClosedMeshesAreWatertightAndWoundOutward)
{
    const Matrix44<double> frame = segmentFrame(Vector3D(-4, 7, 1), Vector3D(3, 1, 5));

    auto cylinder = createCylinderMesh(frame, 12.0, 5.0, 5.0, true, 15, 2);
    EXPECT_EQ(cylinder->getTriangleCount(), 2u * 15 * 2 + 2 * 15);
    EXPECT_EQ(watertightFault(*cylinder), "");
    // The prism over a regular 15-gon of radius 2.5.
    const double prism = 7.5 * 2.5 * 2.5 * std::sin(2 * std::numbers::pi / 15) * 12.0;
    EXPECT_NEAR(signedVolume(*cylinder), prism, 1e-9);

    auto cone = createCylinderMesh(frame, 8.0, 6.0, 2.0, true, 12, 4);
    EXPECT_EQ(watertightFault(*cone), "");
    EXPECT_GT(signedVolume(*cone), 0.0);

    const Vector3D centre(5, -2, 9);
    Matrix44<double> ellipsoidFrame = frame;
    ellipsoidFrame.setTranslation(centre);
    for (const auto& [diameters, segments, rings] :
         {std::tuple{Vector3D(4, 4, 4), 10u, 10u}, std::tuple{Vector3D(10, 4, 6), 7u, 5u},
          std::tuple{Vector3D(3, 3, 3), 3u, 2u}}) {
        auto ellipsoid = createEllipsoidMesh(ellipsoidFrame, diameters, segments, rings);
        EXPECT_EQ(ellipsoid->getVertexCount(), 2 + (rings - 1) * segments);
        EXPECT_EQ(ellipsoid->getTriangleCount(), 2 * segments * (rings - 1));
        EXPECT_EQ(watertightFault(*ellipsoid), "");
        const double full = std::numbers::pi / 6.0 * diameters.x * diameters.y * diameters.z;
        const double volume = signedVolume(*ellipsoid);
        EXPECT_GT(volume, 0.0);
        EXPECT_LT(volume, full);
        // Corners on the surface, normals outward.
        for (unsigned i = 0; i < ellipsoid->getVertexCount(); ++i) {
            Vector3D local = inverse(ellipsoidFrame) * ellipsoid->getVertex(i);
            const double f = std::pow(local.x / (diameters.x / 2), 2) + std::pow(local.y / (diameters.y / 2), 2) +
                             std::pow(local.z / (diameters.z / 2), 2);
            EXPECT_NEAR(f, 1.0, 1e-12);
            EXPECT_GT(ellipsoid->getNormal(i).dot(ellipsoid->getVertex(i) - centre), 0.0);
        }
    }
    EXPECT_NEAR(signedVolume(*createEllipsoidMesh(Matrix44<double>(), Vector3D(2, 2, 2), 64, 64)),
                4.0 / 3.0 * std::numbers::pi, 0.01);
    EXPECT_THROW(createEllipsoidMesh(frame, Vector3D(1, 1, 1), 10, 1), std::runtime_error);

    auto box = createBoxMesh(Matrix44<double>(Vector3D(100, 200, 300)), Vector3D(10, 20, 30));
    ASSERT_EQ(box->getVertexCount(), 8u);
    EXPECT_EQ(box->getTriangleCount(), 12u);
    const Vector3D corners[8] = {{0, 0, 0}, {10, 0, 0}, {10, 20, 0}, {0, 20, 0},
                                 {0, 0, 30}, {10, 0, 30}, {10, 20, 30}, {0, 20, 30}};
    for (unsigned i = 0; i < 8; ++i)
        EXPECT_EQ(box->getVertex(i), corners[i] + Vector3D(100, 200, 300)) << i;
    EXPECT_EQ(watertightFault(*box), "");
    EXPECT_DOUBLE_EQ(signedVolume(*box), 6000.0);
}
