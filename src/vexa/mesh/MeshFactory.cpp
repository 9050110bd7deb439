#include "vexa/mesh/MeshFactory.h"

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace Vexa {

namespace {

Vector3D unitOrZero(const Vector3D& v)
{
    const double length = v.length();
    return length > 0.0 && std::isfinite(length) ? v * (1.0 / length) : Vector3D();
}

// Adds a vertex given in frame coordinates.
unsigned addFrameVertex(IndexedTriangleMesh& mesh, const Matrix44<double>& frame, const Vector3D& local,
                        const Vector3D& localNormal)
{
    return mesh.addVertex(frame * local, unitOrZero(frame.rotate(localNormal)));
}

}

std::shared_ptr<IndexedTriangleMesh> createCylinderMesh(const Matrix44<double>& frame, double length,
                                                        double startDiameter, double endDiameter,
                                                        bool closedEnds, unsigned segments, unsigned rings)
{
    if (segments < 3 || rings < 1)
        throw std::runtime_error("a cylinder mesh needs at least 3 segments and 1 ring");
    auto mesh = std::make_shared<IndexedTriangleMesh>();
    const double r0 = startDiameter / 2.0, r1 = endDiameter / 2.0;
    // The side normal leans against the slope of a cone.
    const double slope = length != 0.0 ? (r1 - r0) / length : 0.0;
    for (unsigned k = 0; k <= rings; ++k) {
        const double f = double(k) / rings;
        const double x = length * f, r = r0 + (r1 - r0) * f;
        for (unsigned j = 0; j < segments; ++j) {
            const double a = 2.0 * std::numbers::pi * j / segments;
            const double c = std::cos(a), s = std::sin(a);
            addFrameVertex(*mesh, frame, Vector3D(x, r * c, r * s), Vector3D(-slope, c, s));
        }
    }
    auto ringVertex = [segments](unsigned k, unsigned j) { return k * segments + j % segments; };
    for (unsigned k = 0; k < rings; ++k) {
        for (unsigned j = 0; j < segments; ++j) {
            const unsigned a = ringVertex(k, j), b = ringVertex(k, j + 1);
            const unsigned c = ringVertex(k + 1, j + 1), d = ringVertex(k + 1, j);
            mesh->addTriangle(a, b, c);
            mesh->addTriangle(a, c, d);
        }
    }
    if (closedEnds) {
        for (int end = 0; end < 2; ++end) {
            const unsigned ring = end == 0 ? 0 : rings;
            const Vector3D normal = unitOrZero(frame.rotate(Vector3D(end == 0 ? -1.0 : 1.0, 0.0, 0.0)));
            const unsigned centre =
                mesh->addVertex(frame * Vector3D(end == 0 ? 0.0 : length, 0.0, 0.0), normal);
            // The rim repeats the side's end ring exactly, with the cap's normal.
            for (unsigned j = 0; j < segments; ++j)
                mesh->addVertex(mesh->getVertex(ringVertex(ring, j)), normal);
            for (unsigned j = 0; j < segments; ++j) {
                const unsigned v0 = centre + 1 + j, v1 = centre + 1 + (j + 1) % segments;
                if (end == 0)
                    mesh->addTriangle(centre, v1, v0);
                else
                    mesh->addTriangle(centre, v0, v1);
            }
        }
    }
    return mesh;
}

std::shared_ptr<IndexedTriangleMesh> createEllipsoidMesh(const Matrix44<double>& frame, const Vector3<double>& diameters,
                                                         unsigned segments, unsigned rings)
{
    if (segments < 3 || rings < 2)
        throw std::runtime_error("an ellipsoid mesh needs at least 3 segments and 2 rings");
    auto mesh = std::make_shared<IndexedTriangleMesh>();
    const double a = diameters.x / 2.0, b = diameters.y / 2.0, c = diameters.z / 2.0;
    // The gradient of the implicit surface, scaled by a*b*c so that no axis divides by zero.
    auto point = [&](double polar, double azimuth, Vector3D& normal) {
        const double sp = std::sin(polar), cp = std::cos(polar);
        const double ca = std::cos(azimuth), sa = std::sin(azimuth);
        normal = Vector3D(b * c * sp * ca, a * c * sp * sa, a * b * cp);
        if (normal.length() == 0.0)
            normal = Vector3D(sp * ca, sp * sa, cp);
        return Vector3D(a * sp * ca, b * sp * sa, c * cp);
    };
    Vector3D normal;
    const unsigned north = addFrameVertex(*mesh, frame, point(0.0, 0.0, normal), normal);
    for (unsigned k = 1; k < rings; ++k) {
        const double polar = std::numbers::pi * k / rings;
        for (unsigned j = 0; j < segments; ++j) {
            const Vector3D p = point(polar, 2.0 * std::numbers::pi * j / segments, normal);
            addFrameVertex(*mesh, frame, p, normal);
        }
    }
    const unsigned south = addFrameVertex(*mesh, frame, point(std::numbers::pi, 0.0, normal), normal);
    auto ringVertex = [segments](unsigned k, unsigned j) { return 1 + (k - 1) * segments + j % segments; };
    for (unsigned j = 0; j < segments; ++j)
        mesh->addTriangle(north, ringVertex(1, j), ringVertex(1, j + 1));
    for (unsigned k = 1; k + 1 < rings; ++k) {
        for (unsigned j = 0; j < segments; ++j) {
            const unsigned upper0 = ringVertex(k, j), lower0 = ringVertex(k + 1, j);
            const unsigned lower1 = ringVertex(k + 1, j + 1), upper1 = ringVertex(k, j + 1);
            mesh->addTriangle(upper0, lower0, lower1);
            mesh->addTriangle(upper0, lower1, upper1);
        }
    }
    for (unsigned j = 0; j < segments; ++j)
        mesh->addTriangle(south, ringVertex(rings - 1, j + 1), ringVertex(rings - 1, j));
    return mesh;
}

std::shared_ptr<IndexedTriangleMesh> createBoxMesh(const Matrix44<double>& transform, const Vector3<double>& size)
{
    auto mesh = std::make_shared<IndexedTriangleMesh>();
    const double sx = size.x, sy = size.y, sz = size.z;
    const Vector3D corners[8] = {{0, 0, 0},   {sx, 0, 0},   {sx, sy, 0},  {0, sy, 0},
                                 {0, 0, sz},  {sx, 0, sz},  {sx, sy, sz}, {0, sy, sz}};
    const Vector3D centre(sx / 2.0, sy / 2.0, sz / 2.0);
    for (const Vector3D& corner : corners)
        addFrameVertex(*mesh, transform, corner, corner - centre);
    static const unsigned faces[12][3] = {
        {0, 2, 1}, {0, 3, 2}, // z = 0
        {4, 5, 6}, {4, 6, 7}, // z = sz
        {0, 1, 5}, {0, 5, 4}, // y = 0
        {3, 7, 6}, {3, 6, 2}, // y = sy
        {0, 4, 7}, {0, 7, 3}, // x = 0
        {1, 2, 6}, {1, 6, 5}, // x = sx
    };
    for (const auto& f : faces)
        mesh->addTriangle(f[0], f[1], f[2]);
    return mesh;
}

}
