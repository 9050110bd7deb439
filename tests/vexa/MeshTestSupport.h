#pragma once
// Checks on meshes shared by the mesh tests.
#include "vexa/math/Contour.h"
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

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

inline Vexa::Vector3D corner(const Vexa::IndexedTriangleMesh& mesh, std::size_t triangle, int k)
{
    return mesh.getVertex(mesh.getTriangles()[3 * triangle + k]);
}

// Signed volume enclosed by a closed mesh (positive when the triangles face outwards).
inline double signedVolume(const Vexa::IndexedTriangleMesh& mesh)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < mesh.getTriangleCount(); ++i)
        sum += corner(mesh, i, 0).dot(corner(mesh, i, 1).cross(corner(mesh, i, 2)));
    return sum / 6.0;
}

// Empty when every edge has exactly two triangles that run along it in opposite
// directions (closed, consistently oriented) and the triangles around every vertex form one
// fan (2-manifold); otherwise the first fault found.
inline std::string topologyFault(const Vexa::IndexedTriangleMesh& mesh)
{
    const auto& t = mesh.getTriangles();
    std::map<std::pair<unsigned, unsigned>, int> directed;
    for (std::size_t k = 0; k < t.size(); k += 3)
        for (int e = 0; e < 3; ++e)
        {
            const unsigned a = t[k + e], b = t[k + (e + 1) % 3];
            if (a == b)
                return "degenerate triangle " + std::to_string(k / 3);
            if (++directed[{a, b}] > 1)
                return "edge used twice in one direction: " + std::to_string(a) + "-" + std::to_string(b);
        }
    for (const auto& [edge, count] : directed)
        if (!directed.count({edge.second, edge.first}))
            return "open edge " + std::to_string(edge.first) + "-" + std::to_string(edge.second);
    // One fan per vertex: follow next-corner links around it.
    std::vector<std::vector<std::pair<unsigned, unsigned>>> around(mesh.getVertexCount());
    for (std::size_t k = 0; k < t.size(); k += 3)
        for (int e = 0; e < 3; ++e)
            around[t[k + e]].emplace_back(t[k + (e + 1) % 3], t[k + (e + 2) % 3]);
    for (std::size_t v = 0; v < around.size(); ++v)
    {
        const auto& links = around[v];
        if (links.empty())
            continue;
        std::size_t steps = 0;
        unsigned at = links[0].first;
        do
        {
            auto it = std::find_if(links.begin(), links.end(), [at](const auto& l) { return l.second == at; });
            if (it == links.end())
                return "broken fan at vertex " + std::to_string(v);
            at = it->first;
        } while (++steps <= links.size() && at != links[0].first);
        if (steps != links.size())
            return "several fans at vertex " + std::to_string(v);
    }
    return {};
}

inline double surfaceArea(const Vexa::IndexedTriangleMesh& mesh)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < mesh.getTriangleCount(); ++i)
        sum += 0.5 * (corner(mesh, i, 1) - corner(mesh, i, 0)).cross(corner(mesh, i, 2) - corner(mesh, i, 0)).length();
    return sum;
}

inline int eulerCharacteristic(const Vexa::IndexedTriangleMesh& mesh)
{
    std::vector<char> used(mesh.getVertexCount(), 0);
    for (unsigned v : mesh.getTriangles())
        used[v] = 1;
    const long vertices = long(std::count(used.begin(), used.end(), 1));
    const long faces = long(mesh.getTriangleCount());
    return int(vertices - faces * 3 / 2 + faces);
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
