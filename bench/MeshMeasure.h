#pragma once
// How far a reduced mesh lies from its input, and whether it is still closed and manifold:
// the same measure for our reduction and for VTK's, so that the two are compared alike.
//
// The distance is the symmetric Hausdorff distance between the two surfaces: points spread
// over every triangle of each mesh (its corners, and a grid of points no farther apart than
// the finer mesh's mean edge), each measured to the nearest point of the other mesh's
// triangles, the largest of all.
#include "../tests/vexa/algorithm/AlgorithmTestSupport.h"
#include "vexa/core/ParallelJobs.h"
#include "vexa/math/Vector3.h"
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace MeshMeasure {

using Vexa::Vector3D;
using Triangle = std::array<Vector3D, 3>;

inline std::vector<Triangle> trianglesOf(const Vexa::IndexedTriangleMesh& mesh)
{
    std::vector<Triangle> out(mesh.getTriangleCount());
    const auto& t = mesh.getTriangles();
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = {mesh.getVertex(t[3 * i]), mesh.getVertex(t[3 * i + 1]), mesh.getVertex(t[3 * i + 2])};
    return out;
}

inline double meanEdge(const std::vector<Triangle>& triangles)
{
    double sum = 0.0;
    for (const Triangle& t : triangles)
        sum += (t[1] - t[0]).length() + (t[2] - t[1]).length() + (t[0] - t[2]).length();
    return triangles.empty() ? 0.0 : sum / (3.0 * double(triangles.size()));
}

using AlgorithmTestSupport::pointTriangleDistance;

// Triangles sorted into a grid of cubes by the cubes their bounding boxes touch, for nearest-
// point queries that look at the cubes around the point, ring by ring.
class TriangleGrid
{
public:
    explicit TriangleGrid(std::vector<Triangle> triangles) : triangles_(std::move(triangles))
    {
        lower_ = Vector3D(1e300, 1e300, 1e300);
        Vector3D upper(-1e300, -1e300, -1e300);
        for (const Triangle& t : triangles_)
            for (const Vector3D& p : t)
            {
                lower_ = Vector3D(std::min(lower_.x, p.x), std::min(lower_.y, p.y), std::min(lower_.z, p.z));
                upper = Vector3D(std::max(upper.x, p.x), std::max(upper.y, p.y), std::max(upper.z, p.z));
            }
        const Vector3D size = upper - lower_;
        cube_ = std::max(2.0 * meanEdge(triangles_), 1e-6);
        // At most about four million cubes.
        while ((size.x / cube_ + 1) * (size.y / cube_ + 1) * (size.z / cube_ + 1) > 4e6)
            cube_ *= 1.25;
        for (int a = 0; a < 3; ++a)
            cells_[a] = int(size[a] / cube_) + 1;
        std::vector<std::uint32_t> count(std::size_t(cells_[0]) * cells_[1] * cells_[2] + 1, 0);
        auto forCubes = [&](const Triangle& t, auto fn) {
            int lo[3], hi[3];
            for (int a = 0; a < 3; ++a)
            {
                const double mn = std::min({t[0][a], t[1][a], t[2][a]}), mx = std::max({t[0][a], t[1][a], t[2][a]});
                lo[a] = std::clamp(int((mn - lower_[a]) / cube_), 0, cells_[a] - 1);
                hi[a] = std::clamp(int((mx - lower_[a]) / cube_), 0, cells_[a] - 1);
            }
            for (int z = lo[2]; z <= hi[2]; ++z)
                for (int y = lo[1]; y <= hi[1]; ++y)
                    for (int x = lo[0]; x <= hi[0]; ++x)
                        fn(index(x, y, z));
        };
        for (const Triangle& t : triangles_)
            forCubes(t, [&](std::size_t c) { ++count[c + 1]; });
        for (std::size_t c = 1; c < count.size(); ++c)
            count[c] += count[c - 1];
        first_ = count;
        entries_.resize(count.back());
        for (std::uint32_t i = 0; i < triangles_.size(); ++i)
            forCubes(triangles_[i], [&](std::size_t c) { entries_[count[c]++] = i; });
    }

    double nearest(const Vector3D& p) const
    {
        int at[3];
        for (int a = 0; a < 3; ++a)
            at[a] = std::clamp(int(std::floor((p[a] - lower_[a]) / cube_)), 0, cells_[a] - 1);
        double best = std::numeric_limits<double>::infinity();
        for (int r = 0;; ++r)
        {
            // Every cube not yet seen lies outside the block of rings 0 to r - 1: no nearer than
            // that block's nearest face.
            double unseen = std::numeric_limits<double>::infinity();
            bool beyond = true;
            for (int a = 0; a < 3; ++a)
            {
                const double lo = lower_[a] + (at[a] - r + 1) * cube_, hi = lower_[a] + (at[a] + r) * cube_;
                if (at[a] - r >= 0)
                    unseen = std::min(unseen, p[a] - lo);
                if (at[a] + r < cells_[a])
                    unseen = std::min(unseen, hi - p[a]);
                beyond = beyond && at[a] - r < 0 && at[a] + r >= cells_[a];
            }
            if (r > 0 && best <= std::max(unseen, 0.0))
                return best;
            for (int z = at[2] - r; z <= at[2] + r; ++z)
                for (int y = at[1] - r; y <= at[1] + r; ++y)
                    for (int x = at[0] - r; x <= at[0] + r; ++x)
                    {
                        if (std::max({std::abs(x - at[0]), std::abs(y - at[1]), std::abs(z - at[2])}) != r)
                            continue;
                        if (x < 0 || y < 0 || z < 0 || x >= cells_[0] || y >= cells_[1] || z >= cells_[2])
                            continue;
                        const std::size_t c = index(x, y, z);
                        for (std::uint32_t k = first_[c]; k < first_[c + 1]; ++k)
                        {
                            const Triangle& t = triangles_[entries_[k]];
                            best = std::min(best, pointTriangleDistance(p, t[0], t[1], t[2]));
                        }
                    }
            if (beyond)
                return best;
        }
    }

private:
    std::size_t index(int x, int y, int z) const { return (std::size_t(z) * cells_[1] + y) * cells_[0] + x; }

    std::vector<Triangle> triangles_;
    Vector3D lower_;
    double cube_ = 1.0;
    int cells_[3] = {1, 1, 1};
    std::vector<std::uint32_t> first_, entries_;
};

// The largest distance from points spread over `from` (no farther apart than `spacing`) to `to`.
inline double oneSidedDistance(const std::vector<Triangle>& from, const TriangleGrid& to, double spacing)
{
    std::vector<double> worst((from.size() + 4095) / 4096, 0.0);
    Vexa::ParallelJobs::ranges(from.size(), 4096, [&](std::size_t begin, std::size_t end) {
        double w = 0.0;
        for (std::size_t i = begin; i < end; ++i)
        {
            const Triangle& t = from[i];
            const double longest = std::max({(t[1] - t[0]).length(), (t[2] - t[1]).length(), (t[0] - t[2]).length()});
            // 1 to 64 steps along the longest edge; a spacing of 0 gives no number int() may take.
            const double steps = std::ceil(longest / spacing);
            const int n = steps >= 64.0 ? 64 : steps > 1.0 ? int(steps) : 1;
            // (b up to n - a, not a + b up to n: the same points, and GCC 12's loop splitting
            // at -O3 does not take the sum for an overflow at an iteration never run.)
            for (int a = 0; a <= n; ++a)
                for (int b = 0; b <= n - a; ++b)
                {
                    const double u = double(a) / n, v = double(b) / n;
                    w = std::max(w, to.nearest(t[0] + (t[1] - t[0]) * u + (t[2] - t[0]) * v));
                }
            w = std::max(w, to.nearest((t[0] + t[1] + t[2]) / 3.0));
        }
        worst[begin / 4096] = w;
    });
    return worst.empty() ? 0.0 : *std::max_element(worst.begin(), worst.end());
}

inline double hausdorffDistance(const Vexa::IndexedTriangleMesh& a, const Vexa::IndexedTriangleMesh& b)
{
    const auto ta = trianglesOf(a), tb = trianglesOf(b);
    if (ta.empty() || tb.empty())
        return std::numeric_limits<double>::infinity();
    const double spacing = std::min(meanEdge(ta), meanEdge(tb));
    const TriangleGrid ga(ta), gb(tb);
    return std::max(oneSidedDistance(ta, gb, spacing), oneSidedDistance(tb, ga, spacing));
}

// A closed 2-manifold has no faults: every edge has exactly two triangles running along it in
// opposite directions (else the edge counts), no triangle repeats a corner, and the triangles
// around every vertex form one fan (else the vertex counts).
struct Topology
{
    std::size_t edges = 0, degenerate = 0, fans = 0;
    long euler = 0;
};

inline Topology topology(const Vexa::IndexedTriangleMesh& mesh)
{
    const auto& t = mesh.getTriangles();
    std::vector<std::pair<unsigned, unsigned>> directed;
    directed.reserve(t.size());
    std::size_t degenerate = 0;
    for (std::size_t k = 0; k < t.size(); k += 3)
        for (int e = 0; e < 3; ++e)
        {
            const unsigned a = t[k + e], b = t[k + (e + 1) % 3];
            degenerate += a == b;
            directed.emplace_back(a, b);
        }
    std::sort(directed.begin(), directed.end());
    std::size_t faults = 0;
    for (std::size_t i = 0; i < directed.size(); ++i)
    {
        const bool repeated = i > 0 && directed[i] == directed[i - 1];
        const bool paired =
            std::binary_search(directed.begin(), directed.end(), std::make_pair(directed[i].second, directed[i].first));
        faults += repeated || !paired;
    }
    // One fan per vertex: the corners before and after it in its triangles form one loop.
    std::vector<std::uint32_t> first(mesh.getVertexCount() + 1, 0);
    for (unsigned v : t)
        ++first[v + 1];
    for (std::size_t v = 1; v < first.size(); ++v)
        first[v] += first[v - 1];
    std::vector<std::pair<unsigned, unsigned>> links(t.size());
    auto fill = first;
    for (std::size_t k = 0; k < t.size(); k += 3)
        for (int e = 0; e < 3; ++e)
            links[fill[t[k + e]]++] = {t[k + (e + 1) % 3], t[k + (e + 2) % 3]};
    std::size_t fans = 0, used = 0;
    for (std::size_t v = 0; v + 1 < first.size(); ++v)
    {
        const auto begin = links.begin() + first[v], end = links.begin() + first[v + 1];
        if (begin == end)
            continue;
        ++used;
        std::size_t steps = 0;
        unsigned at = begin->first;
        do
        {
            auto it = std::find_if(begin, end, [at](const auto& l) { return l.second == at; });
            if (it == end)
                break;
            at = it->first;
        } while (++steps <= std::size_t(end - begin) && at != begin->first);
        fans += steps != std::size_t(end - begin);
    }
    return {faults, degenerate, fans, long(used) - long(t.size() / 3) * 3 / 2 + long(t.size() / 3)};
}

}
