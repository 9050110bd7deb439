#include "vexa/algorithm/MarchingCubesTable.h"

#include <stdexcept>
#include <vector>

namespace Vexa {

namespace {

int edgeBetween(int a, int b)
{
    const auto& edges = MarchingCubesTable::edgeCorners();
    for (int e = 0; e < 12; ++e)
        if ((edges[e][0] == a && edges[e][1] == b) || (edges[e][0] == b && edges[e][1] == a))
            return e;
    throw std::logic_error("MarchingCubesTable: corners do not share an edge");
}

}

const MarchingCubesTable& MarchingCubesTable::get()
{
    static const MarchingCubesTable table;
    return table;
}

const std::array<std::array<int, 4>, 6>& MarchingCubesTable::faceCorners()
{
    // (c1 - c0) x (c3 - c0) points into the cell for each face.
    static const std::array<std::array<int, 4>, 6> faces = {{
        {0, 2, 6, 4}, // x = 0
        {1, 5, 7, 3}, // x = 1
        {0, 4, 5, 1}, // y = 0
        {2, 3, 7, 6}, // y = 1
        {0, 1, 3, 2}, // z = 0
        {4, 6, 7, 5}, // z = 1
    }};
    return faces;
}

const std::array<std::array<int, 2>, 12>& MarchingCubesTable::edgeCorners()
{
    static const std::array<std::array<int, 2>, 12> edges = {{
        {0, 1}, {2, 3}, {4, 5}, {6, 7},
        {0, 2}, {1, 3}, {4, 6}, {5, 7},
        {0, 4}, {1, 5}, {2, 6}, {3, 7},
    }};
    return edges;
}

MarchingCubesTable::MarchingCubesTable()
{
    for (unsigned pattern = 0; pattern < 256; ++pattern)
    {
        std::uint8_t mask = 0;
        for (int f = 0; f < 6; ++f)
        {
            const auto& c = faceCorners()[f];
            const bool i0 = pattern >> c[0] & 1, i1 = pattern >> c[1] & 1;
            const bool i2 = pattern >> c[2] & 1, i3 = pattern >> c[3] & 1;
            if (i0 == i2 && i1 == i3 && i0 != i1)
                mask |= std::uint8_t(1u << f);
        }
        ambiguous_[pattern] = mask;
        for (unsigned joined = 0; joined < 64; ++joined)
            if ((joined & ~unsigned(mask)) == 0)
                cases_[pattern * 64 + joined] = build(pattern, joined);
    }
}

MarchingCubesTable::Case MarchingCubesTable::build(unsigned pattern, unsigned joinedFaces)
{
    auto inside = [pattern](int corner) { return (pattern >> corner & 1) != 0; };

    // next[e]: the edge that follows e on its contour loop. Every face contributes the
    // segments of its contour, directed so that the inside lies on the left seen from
    // inside the cell; that makes each crossed edge the start of exactly one segment
    // (on one of its faces) and the end of exactly one (on the other).
    int next[12];
    for (int& n : next)
        n = -1;
    for (int f = 0; f < 6; ++f)
    {
        const auto& c = faceCorners()[f];
        struct Crossing
        {
            int edge;
            bool leavesInside;
        };
        std::vector<Crossing> crossings;
        for (int k = 0; k < 4; ++k)
        {
            const int a = c[k], b = c[(k + 1) % 4];
            if (inside(a) != inside(b))
                crossings.push_back({edgeBetween(a, b), inside(a)});
        }
        if (crossings.size() == 2)
        {
            const int from = crossings[0].leavesInside ? 0 : 1;
            next[crossings[from].edge] = crossings[1 - from].edge;
        }
        else if (crossings.size() == 4)
        {
            // Joined: each segment cuts off an outside corner (partner after it);
            // separated: each cuts off an inside corner (partner before it).
            const bool joined = (joinedFaces >> f & 1) != 0;
            for (int k = 0; k < 4; ++k)
                if (crossings[k].leavesInside)
                    next[crossings[k].edge] = crossings[(k + (joined ? 1 : 3)) % 4].edge;
        }
    }

    Case result;
    bool visited[12] = {};
    for (int start = 0; start < 12; ++start)
    {
        if (next[start] < 0 || visited[start])
            continue;
        std::vector<int> loop;
        for (int e = start; !visited[e]; e = next[e])
        {
            if (next[e] < 0)
                throw std::logic_error("MarchingCubesTable: open contour");
            visited[e] = true;
            loop.push_back(e);
        }
        std::vector<std::array<int, 3>> triangles;
        if (!triangulate(loop, triangles))
        {
            // No crack-free way with the loop's own vertices (long loops through two
            // ambiguous faces): fan around an extra vertex at the loop's centre.
            if (result.centreLoopSize != 0)
                throw std::logic_error("MarchingCubesTable: two loops need a centre");
            result.centreLoopSize = std::uint8_t(loop.size());
            for (std::size_t k = 0; k < loop.size(); ++k)
            {
                result.centreLoop[k] = std::uint8_t(loop[k]);
                triangles.push_back({centreVertex, loop[k], loop[(k + 1) % loop.size()]});
            }
        }
        for (const auto& tri : triangles)
        {
            if (result.triangleCount >= maxTriangles)
                throw std::logic_error("MarchingCubesTable: too many triangles");
            const int t = result.triangleCount++;
            for (int k = 0; k < 3; ++k)
                result.edges[3 * t + k] = std::uint8_t(tri[k]);
        }
    }
    return result;
}

bool MarchingCubesTable::triangulate(const std::vector<int>& loop, std::vector<std::array<int, 3>>& triangles)
{
    // A diagonal between two vertices on the same cell face would lie in that face, where
    // the neighbouring cell may draw the same diagonal: the two cells' triangles would then
    // share an edge in the same direction. Such diagonals are allowed only as loop sides.
    // Which faces each edge lies on, worked out once: the search below asks very often.
    static const std::array<unsigned, 12> edgeFaces = [] {
        std::array<unsigned, 12> faces{};
        for (int f = 0; f < 6; ++f)
            for (int k = 0; k < 4; ++k)
                faces[edgeBetween(faceCorners()[f][k], faceCorners()[f][(k + 1) % 4])] |= 1u << f;
        return faces;
    }();
    auto onCommonFace = [](int a, int b) {
        return a < 12 && b < 12 && (edgeFaces[a] & edgeFaces[b]) != 0;
    };
    // Fans first (the usual shape), from each vertex in turn.
    const std::size_t n = loop.size();
    for (std::size_t apex = 0; apex < n; ++apex)
    {
        bool allowed = true;
        for (std::size_t k = 2; k + 1 < n && allowed; ++k)
            allowed = !onCommonFace(loop[apex], loop[(apex + k) % n]);
        if (!allowed)
            continue;
        for (std::size_t k = 1; k + 1 < n; ++k)
            triangles.push_back({loop[apex], loop[(apex + k) % n], loop[(apex + k + 1) % n]});
        return true;
    }
    // Otherwise clip ears whose closing diagonal is allowed, backtracking if needed.
    if (n == 3)
    {
        triangles.push_back({loop[0], loop[1], loop[2]});
        return true;
    }
    for (std::size_t i = 0; i < n; ++i)
    {
        const int prev = loop[(i + n - 1) % n], next = loop[(i + 1) % n];
        if (onCommonFace(prev, next))
            continue;
        std::vector<int> rest;
        for (std::size_t k = 0; k < n; ++k)
            if (k != i)
                rest.push_back(loop[k]);
        std::vector<std::array<int, 3>> more;
        if (triangulate(rest, more))
        {
            triangles.push_back({prev, loop[i], next});
            triangles.insert(triangles.end(), more.begin(), more.end());
            return true;
        }
    }
    return false;
}

}
