#include "MeshTestSupport.h"
#include "vexa/math/Geometry.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFactory.h"
#include "vexa/mesh/RayMeshIntersections.h"

#include <array>
#include <cmath>
#include <gtest/gtest.h>
#include <map>
#include <stdexcept>

using namespace Vexa;
using MeshTestSupport::isClosed;

TEST(IndexedTriangleMesh, KeepsBoundingBoxAndArraysConsistentThroughEveryChange)
{
    IndexedTriangleMesh mesh;
    EXPECT_EQ(mesh.getBoundingBox(), (std::array<double, 6>{0, 0, 0, 0, 0, 0}));

    // A box far from the origin: the empty box's zeros must not stick to the first vertex.
    mesh.addVertex(Vector3D(5, 6, 7), Vector3D(0, 0, 1));
    EXPECT_EQ(mesh.getBoundingBox(), (std::array<double, 6>{5, 6, 7, 5, 6, 7}));
    mesh.addVertex(Vector3D(8, 4, 9), Vector3D(0, 0, 1));
    mesh.addVertex(Vector3D(6, 10, 7), Vector3D(0, 0, 1));
    mesh.addTriangle(0, 1, 2);
    EXPECT_EQ(mesh.getBoundingBox(), (std::array<double, 6>{5, 4, 7, 8, 10, 9}));
    EXPECT_THROW(mesh.addTriangle(0, 1, 3), std::runtime_error);
    EXPECT_EQ(mesh.getTriangleCount(), 1u);

    auto other = createBoxMesh(Matrix44<double>(Vector3D(-1, -2, -3)), Vector3D(1, 1, 1));
    mesh.addUnoptimized(other);
    EXPECT_EQ(mesh.getVertexCount(), 11u);
    EXPECT_EQ(mesh.getTriangleCount(), 13u);
    EXPECT_EQ(mesh.getBoundingBox(), (std::array<double, 6>{-1, -2, -3, 8, 10, 9}));
    for (std::size_t i = 0; i < other->getTriangles().size(); ++i)
        EXPECT_EQ(mesh.getTriangles()[3 + i], other->getTriangles()[i] + 3);
    mesh.addUnoptimized(nullptr);
    EXPECT_EQ(mesh.getTriangleCount(), 13u);

    // Inconsistent arrays are refused and leave the mesh as it was.
    EXPECT_THROW(mesh.setData({0, 0, 0}, {0, 0, 1}, {0, 0, 1}), std::runtime_error);
    EXPECT_THROW(mesh.setData({0, 0, 0, 1}, {0, 0, 1, 0}, {}), std::runtime_error);
    EXPECT_EQ(mesh.getVertexCount(), 11u);

    // Area-weighted normals of a closed box are unit and point outward; corners 0 and 6 meet
    // two triangles of each of their faces and so lie on the diagonal.
    auto box = createBoxMesh(Matrix44<double>(), Vector3D(2, 2, 2));
    box->setUseFloatArrays(true);
    box->setData(box->getVertices(), std::vector<double>(24, 0.0), box->getTriangles());
    box->recomputeNormals();
    for (unsigned i = 0; i < 8; ++i) {
        const Vector3D diagonal = (box->getVertex(i) - Vector3D(1, 1, 1)).getNormalized();
        EXPECT_NEAR(box->getNormal(i).length(), 1.0, 1e-12);
        EXPECT_GT(box->getNormal(i).dot(diagonal), 0.5) << i;
        if (i == 0 || i == 6) {
            EXPECT_TRUE(isEqual(box->getNormal(i), diagonal, 1e-12)) << i;
        }
    }
    // A flat fan keeps the plane's normal whatever the triangles' sizes.
    IndexedTriangleMesh fan;
    for (const Vector3D& p : {Vector3D(0, 0, 1), Vector3D(5, 0, 1), Vector3D(0, 1, 1), Vector3D(-3, -7, 1)})
        fan.addVertex(p, Vector3D());
    fan.addTriangle(0, 1, 2);
    fan.addTriangle(0, 2, 3);
    fan.recomputeNormals();
    EXPECT_EQ(fan.getNormal(0), Vector3D(0, 0, 1));
    EXPECT_THROW(box->getVertex(8), std::runtime_error);

    mesh.setData({}, {}, {});
    EXPECT_EQ(mesh.getBoundingBox(), (std::array<double, 6>{0, 0, 0, 0, 0, 0}));
}

TEST(IndexedTriangleMesh, PlaneThroughClosedMeshGivesClosedContour)
{
    // A unit cube cut half way up: eight segments around a unit square.
    auto cube = createBoxMesh(Matrix44<double>(), Vector3D(1, 1, 1));
    const Contour square = cube->intersects(Plane<double>(Vector3D(0, 0, 0.5), Vector3D(0, 0, 2)));
    EXPECT_EQ(square.size(), 8u);
    EXPECT_TRUE(isClosed(square));
    double perimeter = 0.0;
    for (const auto& [a, b] : square) {
        EXPECT_DOUBLE_EQ(a.z, 0.5);
        EXPECT_DOUBLE_EQ(b.z, 0.5);
        perimeter += (b - a).length();
    }
    EXPECT_NEAR(perimeter, 4.0, 1e-12);

    // An oblique plane through an ellipsoid: the crossings of shared edges must coincide.
    auto ellipsoid = createEllipsoidMesh(Matrix44<double>(Vector3D(1, 2, 3)), Vector3D(10, 6, 8), 17, 13);
    const Plane<double> oblique(Vector3D(1.3, 2.1, 2.2), Vector3D(0.3, -0.7, 1.1));
    const Contour loop = ellipsoid->intersects(oblique);
    EXPECT_GT(loop.size(), 10u);
    EXPECT_TRUE(isClosed(loop));
    for (const auto& [a, b] : loop)
        EXPECT_NEAR(oblique.getSignedDistance(a), 0.0, 1e-12);

    // Corners lying exactly on the plane (the cylinder's seam and the cap centres on z = 0).
    auto cylinder = createCylinderMesh(Matrix44<double>(), 10.0, 4.0, 4.0, true, 8, 3);
    const Contour section = cylinder->intersects(Plane<double>(Vector3D(5, 0, 0), Vector3D(0, 0, 1)));
    EXPECT_TRUE(isClosed(section));
    for (const auto& [a, b] : section)
        EXPECT_NE(a, b);

    // A plane missing the mesh, and one touching a face, cut nothing.
    EXPECT_TRUE(cube->intersects(Plane<double>(Vector3D(0, 0, 2), Vector3D(0, 0, 1))).empty());
    EXPECT_TRUE(cube->intersects(Plane<double>(Vector3D(0, 0, 0), Vector3D(0, 0, 1))).empty());
}

TEST(RayMeshIntersections, CountsEachCrossingOnceForInsideTests)
{
    auto box = createBoxMesh(Matrix44<double>(), Vector3D(10, 10, 10));
    std::vector<Vector3D> points;
    // Through the diagonals that the two triangles of the entry and exit faces share.
    getRayMeshIntersections(Ray3<double>(Vector3D(-5, 3, 3), Vector3D(1, 0, 0)), box, points);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_TRUE(isEqual(points[0], Vector3D(0, 3, 3), 1e-12));
    EXPECT_TRUE(isEqual(points[1], Vector3D(10, 3, 3), 1e-12));

    // Appends, nearest first; only hits in front of the ray's point count.
    getRayMeshIntersections(Ray3<double>(Vector3D(5, 3, 4), Vector3D(1, 0, 0)), box, points);
    ASSERT_EQ(points.size(), 3u);
    EXPECT_TRUE(isEqual(points[2], Vector3D(10, 3, 4), 1e-12));
    points.clear();
    getRayMeshIntersections(Ray3<double>(Vector3D(15, 3, 4), Vector3D(1, 0, 0)), box, points);
    EXPECT_TRUE(points.empty());

    // Parity against a closed cylinder, rays along its axis direction and across it.
    auto cylinder = createCylinderMesh(Matrix44<double>(), 10.0, 4.0, 4.0, true, 12, 2);
    getRayMeshIntersections(Ray3<double>(Vector3D(5, 0, 0), Vector3D(1, 0, 0)), cylinder, points);
    EXPECT_EQ(points.size(), 1u);
    points.clear();
    getRayMeshIntersections(Ray3<double>(Vector3D(-3, 0.5, 0.2), Vector3D(1, 0, 0)), cylinder, points);
    EXPECT_EQ(points.size(), 2u);

    getRayMeshIntersections(Ray3<double>(Vector3D(), Vector3D(1, 0, 0)), nullptr, points);
    EXPECT_EQ(points.size(), 2u);
}
