#include "vexa/mesh/RayMeshIntersections.h"

#include "vexa/math/Geometry.h"
#include "vexa/math/Triangle3.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace Vexa {

void getRayMeshIntersections(const Ray3<double>& ray, std::shared_ptr<IndexedTriangleMesh> mesh,
                             std::vector<Vector3D>& points)
{
    if (!mesh)
        return;
    std::vector<std::pair<double, Vector3D>> hits;
    const auto& triangles = mesh->getTriangles();
    for (std::size_t t = 0; t < triangles.size(); t += 3) {
        const Triangle3<double> triangle(mesh->getVertex(triangles[t]), mesh->getVertex(triangles[t + 1]),
                                         mesh->getVertex(triangles[t + 2]));
        double parameter = 0.0;
        Vector3D point;
        if (intersects(ray, triangle, parameter, point) && parameter > 0.0)
            hits.emplace_back(parameter, point);
    }
    std::sort(hits.begin(), hits.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    // Two triangles meeting at an edge report one crossing with parameters that may differ
    // in the last bits.
    const double tolerance = 1e-9;
    double last = 0.0;
    bool any = false;
    for (const auto& [parameter, point] : hits) {
        if (any && parameter - last <= tolerance * std::max(1.0, std::abs(parameter)))
            continue;
        points.push_back(point);
        last = parameter;
        any = true;
    }
}

}
