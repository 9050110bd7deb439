#pragma once
// Checks on meshes shared by the mesh tests.
#include "vexa/math/Contour.h"
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <array>
#include <cmath>
#include <map>
#include <string>
#include <tuple>

namespace MeshTestSupport {

using Key = std::tuple<double, double, double>;

inline Key key(const Vexa::Vector3D& p)
{
    return {p.x, p.y, p.z};
}

// Empty when every edge (by corner position) belongs to exactly two triangles that run
// through it in opposite directions; otherwise a description of the first fault.
inline std::string watertightFault(const Vexa::IndexedTriangleMesh& mesh)
{
    std::map<std::pair<Key, Key>, int> directed;
    const auto& t = mesh.getTriangles();
    for (std::size_t i = 0; i < t.size(); i += 3)
        for (int k = 0; k < 3; ++k)
            ++directed[{key(mesh.getVertex(t[i + k])), key(mesh.getVertex(t[i + (k + 1) % 3]))}];
    for (const auto& [edge, count] : directed) {
        if (count != 1)
            return "directed edge used " + std::to_string(count) + " times";
        if (!directed.count({edge.second, edge.first}))
            return "edge without opposite neighbour";
    }
    return {};
}

// Six times the enclosed volume's sign and size: positive for outward winding.
inline double signedVolume(const Vexa::IndexedTriangleMesh& mesh)
{
    double sum = 0.0;
    const auto& t = mesh.getTriangles();
    for (std::size_t i = 0; i < t.size(); i += 3) {
        const auto a = mesh.getVertex(t[i]), b = mesh.getVertex(t[i + 1]), c = mesh.getVertex(t[i + 2]);
        sum += a.dot(b.cross(c));
    }
    return sum / 6.0;
}

// True when the segments join end to end into closed loops: every end point is shared by
// exactly two segment ends.
inline bool isClosed(const Vexa::Contour& contour)
{
    std::map<Key, int> ends;
    for (const auto& [a, b] : contour) {
        ++ends[key(a)];
        ++ends[key(b)];
    }
    for (const auto& [point, count] : ends)
        if (count != 2)
            return false;
    return !contour.empty();
}

}
