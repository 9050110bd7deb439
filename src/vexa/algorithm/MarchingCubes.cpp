#include "vexa/algorithm/MarchingCubes.h"

#include "vexa/algorithm/MarchingCubesTable.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/ParallelJobs.h"
#include "vexa/core/ProcessorAffinity.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Vexa {

namespace {

// The volume seen through one layer of outside samples all around it: padded index p is
// voxel p - 1, and padded indices 0 and n + 1 lie beyond the volume.
struct PaddedGrid
{
    const unsigned short* voxels;
    int nx, ny, nz;
    double sx, sy, sz;
    unsigned short iso;
    // The contour level. Grey values are whole numbers, so "value >= iso" is the same as
    // "value > iso - 0.5"; placing the level there keeps every vertex strictly inside its
    // edge (no vertex on a voxel centre, no triangle collapsed to a point).
    double level;
    double outside;

    double value(int px, int py, int pz) const
    {
        const int x = px - 1, y = py - 1, z = pz - 1;
        if (x < 0 || y < 0 || z < 0 || x >= nx || y >= ny || z >= nz)
            return outside;
        return voxels[(std::size_t(z) * ny + y) * nx + x];
    }

    bool beyond(int px, int py, int pz) const
    {
        return px < 1 || py < 1 || pz < 1 || px > nx || py > ny || pz > nz;
    }

    // All six neighbours of padded sample p lie inside the volume.
    bool innerSample(int px, int py, int pz) const
    {
        return px >= 2 && py >= 2 && pz >= 2 && px < nx && py < ny && pz < nz;
    }

    // gradient() for an inner sample, without the bounds checks.
    Vector3D innerGradient(int px, int py, int pz) const
    {
        const std::size_t row = std::size_t(nx), layer = std::size_t(nx) * ny;
        const unsigned short* c = voxels + (std::size_t(pz - 1) * ny + (py - 1)) * nx + (px - 1);
        return Vector3D((double(c[1]) - double(c[-1])) / (2.0 * sx),
                        (double(c[row]) - double(c[-std::ptrdiff_t(row)])) / (2.0 * sy),
                        (double(c[layer]) - double(c[-std::ptrdiff_t(layer)])) / (2.0 * sz));
    }

    Vector3D gradient(int px, int py, int pz) const
    {
        return Vector3D((value(px + 1, py, pz) - value(px - 1, py, pz)) / (2.0 * sx),
                        (value(px, py + 1, pz) - value(px, py - 1, pz)) / (2.0 * sy),
                        (value(px, py, pz + 1) - value(px, py, pz - 1)) / (2.0 * sz));
    }
};

struct SlabMesh
{
    MeshArray<double> positions; // volume coordinates (mm), 3 per vertex
    MeshArray<double> normals;   // 3 per vertex, may be zero where the gradient vanishes
    MeshArray<unsigned> triangles;
    // The slab's first sample layer's x and y edge vertices are its vertices [0, firstLayerCount);
    // its last sample layer's are [lastLayerStart, lastLayerEnd). Neighbouring slabs create the
    // vertices of the layer they share in the same order.
    unsigned firstLayerCount = 0;
    unsigned lastLayerStart = 0;
    unsigned lastLayerEnd = 0;

    unsigned vertexCount() const { return unsigned(positions.size() / 3); }

    std::size_t capacityBytes() const
    {
        return (positions.capacity() + normals.capacity()) * sizeof(double) + triangles.capacity() * sizeof(unsigned);
    }
};

// The slabs' meshes for one surface, with the memory of an earlier surface's while that was
// small enough to keep: the threads then write into memory already faulted in, instead of
// having the kernel clear fresh pages, which every thread of the process waits for.
class SlabMeshes
{
public:
    explicit SlabMeshes(std::size_t count) : meshes_(count)
    {
        std::lock_guard<std::mutex> lock(keptMutex());
        auto& kept = keptMeshes();
        for (std::size_t s = 0; s < count && !kept.empty(); ++s)
        {
            meshes_[s] = std::move(kept.back());
            kept.pop_back();
        }
    }

    ~SlabMeshes()
    {
        std::size_t bytes = 0;
        for (const SlabMesh& m : meshes_)
            bytes += m.capacityBytes();
        if (bytes > keptBytes)
            return;
        std::lock_guard<std::mutex> lock(keptMutex());
        auto& kept = keptMeshes();
        if (!kept.empty())
            return; // another surface's are kept already
        try
        {
            for (SlabMesh& m : meshes_)
                if (m.capacityBytes() > 0)
                {
                    m.positions.clear();
                    m.normals.clear();
                    m.triangles.clear();
                    kept.push_back(std::move(m));
                }
        }
        catch (const std::bad_alloc&)
        {
        }
    }

    SlabMeshes(const SlabMeshes&) = delete;
    SlabMeshes& operator=(const SlabMeshes&) = delete;

    SlabMesh& operator[](std::size_t s) { return meshes_[s]; }
    std::size_t size() const { return meshes_.size(); }

private:
    static constexpr std::size_t keptBytes = std::size_t(32) << 20;

    static std::mutex& keptMutex()
    {
        static std::mutex mutex;
        return mutex;
    }

    static std::vector<SlabMesh>& keptMeshes()
    {
        static std::vector<SlabMesh> kept;
        return kept;
    }

    std::vector<SlabMesh> meshes_;
};

#if defined(__SSE2__)
// Sixteen voxels against the iso value (iso > 0): 0xff bytes for those at or above it.
// Unsigned "v >= iso" as a signed "v - 32768 > iso - 1 - 32768".
inline __m128i insideBytes(const unsigned short* voxels, __m128i bias, __m128i limit)
{
    const __m128i a = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(voxels)), bias);
    const __m128i b = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(voxels + 8)), bias);
    return _mm_packs_epi16(_mm_cmpgt_epi16(a, limit), _mm_cmpgt_epi16(b, limit));
}
#endif

// Marks the voxels of one row at or above iso with 1, the others with 0; true when any is.
bool classifyRow(const unsigned short* row, int n, unsigned short iso, std::uint8_t* out)
{
    int x = 0;
    unsigned any = 0;
#if defined(__SSE2__)
    if (iso > 0)
    {
        const __m128i bias = _mm_set1_epi16(short(0x8000));
        const __m128i limit = _mm_set1_epi16(short((iso - 1) ^ 0x8000));
        const __m128i one = _mm_set1_epi8(1);
        __m128i seen = _mm_setzero_si128();
        for (; x + 16 <= n; x += 16)
        {
            const __m128i mask = insideBytes(row + x, bias, limit);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_and_si128(mask, one));
            seen = _mm_or_si128(seen, mask);
        }
        any = unsigned(_mm_movemask_epi8(seen));
    }
#endif
    for (; x < n; ++x)
    {
        out[x] = row[x] >= iso ? 1 : 0;
        any |= out[x];
    }
    return any != 0;
}

// How often a row changes between outside and inside, counting from an outside sample before it.
std::size_t rowCuts(const unsigned short* row, int n, unsigned short iso)
{
    int x = 0;
    std::size_t count = 0;
    unsigned previous = 0; // the last sample looked at is inside
#if defined(__SSE2__)
    if (iso > 0)
    {
        const __m128i bias = _mm_set1_epi16(short(0x8000));
        const __m128i limit = _mm_set1_epi16(short((iso - 1) ^ 0x8000));
        for (; x + 16 <= n; x += 16)
        {
            const unsigned mask = unsigned(_mm_movemask_epi8(insideBytes(row + x, bias, limit)));
            count += unsigned(__builtin_popcount((mask ^ (mask << 1 | previous)) & 0xffffu));
            previous = mask >> 15;
        }
    }
#endif
    for (; x < n; ++x)
    {
        const unsigned inside = row[x] >= iso;
        count += inside != previous;
        previous = inside;
    }
    return count;
}

// fn(i) for every i in [from, to] where a[i] != b[i], in increasing order (sixteen samples a
// step: most of a row is the same on both sides).
template<class Fn>
inline void forEachDifference(const std::uint8_t* a, const std::uint8_t* b, int from, int to, Fn fn)
{
    int i = from;
#if defined(__SSE2__)
    for (; i + 15 <= to; i += 16)
    {
        const __m128i same = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)),
                                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
        for (unsigned m = unsigned(_mm_movemask_epi8(same)) ^ 0xffffu; m; m &= m - 1)
            fn(i + __builtin_ctz(m));
    }
#endif
    for (; i <= to; ++i)
        if (a[i] != b[i])
            fn(i);
}

// fn(i) for every cell i in [from, to] of a row of cells whose eight corners are not all
// alike; low and high are the cell row's first sample rows in its two layers, w the row length.
template<class Fn>
inline void forEachMixedCell(const std::uint8_t* low, const std::uint8_t* high, int w, int from, int to, Fn fn)
{
    int i = from;
#if defined(__SSE2__)
    auto load = [](const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    for (; i + 15 <= to; i += 16)
    {
        const __m128i a = load(low + i), b = load(low + i + 1), c = load(low + w + i), d = load(low + w + i + 1);
        const __m128i e = load(high + i), f = load(high + i + 1), g = load(high + w + i), h = load(high + w + i + 1);
        const __m128i any = _mm_or_si128(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)),
                                         _mm_or_si128(_mm_or_si128(e, f), _mm_or_si128(g, h)));
        const __m128i all = _mm_and_si128(_mm_and_si128(_mm_and_si128(a, b), _mm_and_si128(c, d)),
                                          _mm_and_si128(_mm_and_si128(e, f), _mm_and_si128(g, h)));
        const __m128i uniform = _mm_cmpeq_epi8(any, all);
        for (unsigned m = unsigned(_mm_movemask_epi8(uniform)) ^ 0xffffu; m; m &= m - 1)
            fn(i + __builtin_ctz(m));
    }
#endif
    for (; i <= to; ++i)
    {
        const unsigned any = low[i] | low[i + 1] | low[i + w] | low[i + w + 1] | high[i] | high[i + 1] |
                             high[i + w] | high[i + w + 1];
        const unsigned all = low[i] & low[i + 1] & low[i + w] & low[i + w + 1] & high[i] & high[i + 1] &
                             high[i + w] & high[i + w + 1];
        if (any != all)
            fn(i);
    }
}

// One sample layer of the padded grid: which samples are inside, and per row the first and
// last inside sample (first > last for a row with none). Everything left of first and right
// of last is outside, so the edge and cell passes only look between them.
struct Layer
{
    std::vector<std::uint8_t> bits;
    std::vector<int> first, last;
    // Vertex on the x / y edge from each sample; only read where an edge is cut, so left
    // uninitialised (clearing them cost more than the rest of a sparse layer).
    std::unique_ptr<unsigned[]> xVertex, yVertex;

    Layer(int w, int h)
        : bits(std::size_t(w) * h, 0), first(std::size_t(h), w), last(std::size_t(h), -1),
          xVertex(std::make_unique_for_overwrite<unsigned[]>(std::size_t(w) * h)),
          yVertex(std::make_unique_for_overwrite<unsigned[]>(std::size_t(w) * h))
    {
    }
};

class SlabWorker
{
public:
    explicit SlabWorker(const PaddedGrid& grid)
        : g_(grid), w_(grid.nx + 2), h_(grid.ny + 2), low_(w_, h_), high_(w_, h_),
          zVertex_(std::make_unique_for_overwrite<unsigned[]>(std::size_t(w_) * h_))
    {
    }

    // The calling thread's worker for the grid, when its layer buffers are small enough to keep
    // from one surface to the next (and the layers keep their size; a layer's samples outside
    // its rows' inside spans stay cleared). The pool's threads then work in memory that is
    // already theirs, instead of having the kernel fault in and clear fresh pages each time,
    // which costs more than a small surface itself. Null for a larger grid.
    static SlabWorker* kept(const PaddedGrid& grid)
    {
        constexpr std::size_t keptBytes = std::size_t(8) << 20;
        const std::size_t samples = std::size_t(grid.nx + 2) * std::size_t(grid.ny + 2);
        if (samples * (2 * (1 + 2 * sizeof(unsigned)) + sizeof(unsigned)) > keptBytes)
            return nullptr;
        thread_local std::unique_ptr<SlabWorker> worker;
        if (!worker || worker->w_ != grid.nx + 2 || worker->h_ != grid.ny + 2)
            worker = std::make_unique<SlabWorker>(grid);
        worker->g_ = grid;
        return worker.get();
    }

    // Cell layers [cz0, cz1); false when stopped by the cancel flag.
    template<class LayerDone>
    bool run(int cz0, int cz1, SlabMesh& mesh, const std::atomic<bool>& stop, LayerDone layerDone)
    {
        mesh_ = &mesh;
        classify(cz0, low_);
        computeLayerVertices(cz0, low_);
        mesh.firstLayerCount = mesh.vertexCount();
        for (int cz = cz0; cz < cz1; ++cz)
        {
            if (stop.load(std::memory_order_relaxed))
                return false;
            classify(cz + 1, high_);
            computeZVertices(cz);
            if (cz + 1 == cz1)
                mesh.lastLayerStart = mesh.vertexCount();
            computeLayerVertices(cz + 1, high_);
            if (cz + 1 == cz1)
                mesh.lastLayerEnd = mesh.vertexCount();
            computeCells(cz);
            std::swap(low_, high_);
            layerDone();
        }
        return true;
    }

private:
    void classify(int pz, Layer& layer) const
    {
        const int z = pz - 1;
        const bool inVolume = z >= 0 && z < g_.nz;
        for (int py = 0; py < h_; ++py)
        {
            std::uint8_t* out = layer.bits.data() + std::size_t(py) * w_;
            const int y = py - 1;
            if (inVolume && y >= 0 && y < g_.ny)
            {
                const unsigned short* row = g_.voxels + (std::size_t(z) * g_.ny + y) * g_.nx;
                // The padding samples out[0] and out[w - 1] are never written: always outside.
                if (classifyRow(row, g_.nx, g_.iso, out + 1))
                {
                    int a = 1, b = g_.nx;
                    while (!out[a])
                        ++a;
                    while (!out[b])
                        --b;
                    layer.first[py] = a;
                    layer.last[py] = b;
                    continue;
                }
            }
            else if (layer.first[py] <= layer.last[py])
                std::memset(out, 0, std::size_t(w_));
            layer.first[py] = w_;
            layer.last[py] = -1;
        }
    }

    unsigned append(const Vector3D& p, const Vector3D& n)
    {
        auto& v = mesh_->positions;
        auto& normals = mesh_->normals;
        for (int k = 0; k < 3; ++k)
        {
            v.push_back(p[k]);
            normals.push_back(n[k]);
        }
        return unsigned(v.size() / 3 - 1);
    }

    unsigned addVertex(int axis, int px, int py, int pz)
    {
        const int qx = px + (axis == 0), qy = py + (axis == 1), qz = pz + (axis == 2);
        const double a = g_.value(px, py, pz), b = g_.value(qx, qy, qz);
        // Where the object meets the volume's border the surface closes on the border
        // itself (voxel i covers [i * s, (i + 1) * s)), half way to the sample beyond it.
        const bool cut = g_.beyond(px, py, pz) || g_.beyond(qx, qy, qz);
        const double t = cut ? 0.5 : (g_.level - a) / (b - a);
        double p[3] = {(px - 0.5) * g_.sx, (py - 0.5) * g_.sy, (pz - 0.5) * g_.sz};
        const double s[3] = {g_.sx, g_.sy, g_.sz};
        p[axis] += t * s[axis];
        const bool inner = g_.innerSample(px, py, pz) && g_.innerSample(qx, qy, qz);
        const Vector3D ga = inner ? g_.innerGradient(px, py, pz) : g_.gradient(px, py, pz);
        const Vector3D gb = inner ? g_.innerGradient(qx, qy, qz) : g_.gradient(qx, qy, qz);
        Vector3D n = -(ga + (gb - ga) * t);
        const double length = n.length();
        n = length > 0.0 ? n / length : Vector3D();
        return append(Vector3D(p[0], p[1], p[2]), n);
    }

    unsigned addCentreVertex(const unsigned* edgeVertex, const std::uint8_t* loop, int size)
    {
        Vector3D p, n;
        for (int k = 0; k < size; ++k)
        {
            const unsigned v = edgeVertex[loop[k]];
            p += Vector3D(mesh_->positions[3 * v], mesh_->positions[3 * v + 1], mesh_->positions[3 * v + 2]);
            n += Vector3D(mesh_->normals[3 * v], mesh_->normals[3 * v + 1], mesh_->normals[3 * v + 2]);
        }
        p = p / double(size);
        const double length = n.length();
        n = length > 0.0 ? n / length : Vector3D();
        return append(p, n);
    }

    // Samples [from, to] of a row that can differ from a neighbouring row's: where either has
    // inside samples. Empty (from > to) when both rows are all outside.
    static void span(const Layer& a, int rowA, const Layer& b, int rowB, int& from, int& to)
    {
        from = std::min(a.first[rowA], b.first[rowB]);
        to = std::max(a.last[rowA], b.last[rowB]);
    }

    // Vertices on the layer's x and y edges, row by row in a fixed order (neighbouring slabs
    // make the vertices of the layer they share in the same order).
    void computeLayerVertices(int pz, Layer& layer)
    {
        const std::uint8_t* bits = layer.bits.data();
        for (int py = 0; py < h_; ++py)
        {
            if (layer.first[py] > layer.last[py])
                continue;
            const std::size_t row = std::size_t(py) * w_;
            forEachDifference(bits + row, bits + row + 1, layer.first[py] - 1, layer.last[py],
                              [&](int px) { layer.xVertex[row + px] = addVertex(0, px, py, pz); });
        }
        for (int py = 0; py + 1 < h_; ++py)
        {
            int from, to;
            span(layer, py, layer, py + 1, from, to);
            const std::size_t row = std::size_t(py) * w_;
            forEachDifference(bits + row, bits + row + w_, from, to,
                              [&](int px) { layer.yVertex[row + px] = addVertex(1, px, py, pz); });
        }
    }

    void computeZVertices(int pz)
    {
        const std::uint8_t* lowBits = low_.bits.data();
        const std::uint8_t* highBits = high_.bits.data();
        for (int py = 0; py < h_; ++py)
        {
            int from, to;
            span(low_, py, high_, py, from, to);
            const std::size_t row = std::size_t(py) * w_;
            forEachDifference(lowBits + row, highBits + row, from, to,
                              [&](int px) { zVertex_[row + px] = addVertex(2, px, py, pz); });
        }
    }

    unsigned joinedFaces(unsigned ambiguous, int cx, int cy, int cz) const
    {
        double v[8];
        for (int c = 0; c < 8; ++c)
            v[c] = g_.value(cx + (c & 1), cy + (c >> 1 & 1), cz + (c >> 2)) - g_.level;
        unsigned joined = 0;
        for (int f = 0; f < 6; ++f)
        {
            if (!(ambiguous >> f & 1))
                continue;
            // Asymptotic decider: the inside corners connect through the face when the
            // bilinear saddle lies inside, i.e. when the inside diagonal's product exceeds
            // the outside one's. Only this face's values enter, so the neighbour agrees.
            const auto& c = MarchingCubesTable::faceCorners()[f];
            const double d02 = v[c[0]] * v[c[2]], d13 = v[c[1]] * v[c[3]];
            const bool firstDiagonalInside = v[c[0]] > 0.0;
            if (firstDiagonalInside ? d02 > d13 : d13 > d02)
                joined |= 1u << f;
        }
        return joined;
    }

    void computeCells(int cz)
    {
        const MarchingCubesTable& table = MarchingCubesTable::get();
        const std::uint8_t* bl = low_.bits.data();
        const std::uint8_t* bh = high_.bits.data();
        const unsigned* xLow = low_.xVertex.get();
        const unsigned* yLow = low_.yVertex.get();
        const unsigned* xHigh = high_.xVertex.get();
        const unsigned* yHigh = high_.yVertex.get();
        const unsigned* zv = zVertex_.get();
        auto& tris = mesh_->triangles;
        for (int cy = 0; cy + 1 < h_; ++cy)
        {
            // A cell can only be cut where one of its four corner rows has inside samples.
            int from0, to0, from1, to1;
            span(low_, cy, low_, cy + 1, from0, to0);
            span(high_, cy, high_, cy + 1, from1, to1);
            const int from = std::max(0, std::min(from0, from1) - 1), to = std::min(w_ - 2, std::max(to0, to1));
            const std::size_t rowStart = std::size_t(cy) * w_;
            forEachMixedCell(bl + rowStart, bh + rowStart, w_, from, to, [&](int cx) {
                const std::size_t i = rowStart + cx;
                const unsigned pattern = bl[i] | bl[i + 1] << 1 | bl[i + w_] << 2 | bl[i + w_ + 1] << 3 |
                                         bh[i] << 4 | bh[i + 1] << 5 | bh[i + w_] << 6 | bh[i + w_ + 1] << 7;
                const unsigned ambiguous = table.ambiguousFaces(pattern);
                const auto& entry = table.lookup(pattern, ambiguous ? joinedFaces(ambiguous, cx, cy, cz) : 0);
                unsigned edgeVertex[13] = {
                    xLow[i], xLow[i + w_], xHigh[i], xHigh[i + w_],
                    yLow[i], yLow[i + 1], yHigh[i], yHigh[i + 1],
                    zv[i], zv[i + 1], zv[i + w_], zv[i + w_ + 1], 0,
                };
                if (entry.centreLoopSize)
                    edgeVertex[MarchingCubesTable::centreVertex] =
                        addCentreVertex(edgeVertex, entry.centreLoop.data(), entry.centreLoopSize);
                for (int k = 0; k < 3 * entry.triangleCount; ++k)
                    tris.push_back(edgeVertex[entry.edges[k]]);
            });
        }
    }

    PaddedGrid g_;
    int w_, h_;
    Layer low_, high_;
    std::unique_ptr<unsigned[]> zVertex_;
    SlabMesh* mesh_ = nullptr;
};

// The cut edges along x in every sixteenth row of every layerStep-th sample layer, taken for
// the layers that follow it too: a cheap measure of how much surface passes there, and so of
// the work and the memory of the slabs. (Reading rows far apart waits on memory rather than
// computing, so it reads as few as will do.)
constexpr int sampledRows = 16;

std::vector<std::size_t> surfaceEstimate(const PaddedGrid& g, unsigned threads, int layerStep)
{
    std::vector<std::size_t> cuts(std::size_t(g.nz), 0);
    ParallelJobs::run(threads, (cuts.size() + layerStep - 1) / layerStep, [&](std::size_t step, unsigned) {
        const std::size_t z = step * std::size_t(layerStep);
        std::size_t count = 0;
        for (int y = 0; y < g.ny; y += sampledRows)
            count += rowCuts(g.voxels + (z * g.ny + y) * g.nx, g.nx, g.iso);
        for (std::size_t k = z; k < std::min(cuts.size(), z + layerStep); ++k)
            cuts[k] = count;
    });
    return cuts;
}

// Cell layers [first, end) of each slab. The surface rarely fills the volume evenly (a jaw
// takes a third of the slices), so equal slabs would leave most threads idle while a few
// work: the slabs are cut to equal shares of the estimated work instead, a few per thread so
// that the threads that finish early take more. Every slab computes its first layer again,
// which the estimate counts too.
struct Slab
{
    int first, end;          // cell layers [first, end)
    std::size_t vertices;    // estimated
};

std::vector<Slab> cutIntoSlabs(const PaddedGrid& g, unsigned threads)
{
    const int cellLayers = g.nz + 1;
    const int slabCount = threads == 1 ? 1 : std::clamp(int(threads) * 4, 1, std::max(1, cellLayers / 3));
    // One slab only needs the total, which every eighth layer tells well enough.
    const int layerStep = slabCount == 1 ? 8 : 2;
    const std::vector<std::size_t> cuts = surfaceEstimate(g, threads, layerStep);
    // Classifying a layer costs about as much as a cut edge per 64 samples.
    const double layerCost = 1.0 + double(g.nx) * g.ny / 256.0;
    auto sampleLayer = [&](int pz) { return pz >= 1 && pz <= g.nz ? sampledRows * double(cuts[std::size_t(pz - 1)]) : 0.0; };
    // Edges cut along x, y and z alike, and a little to spare: the slab's meshes then never grow
    // by copying (and by handing memory back and forth with the kernel, which every other
    // thread pays for).
    auto expectedVertices = [](double cutX) { return std::size_t((3.0 * cutX + 1024.0) * 1.25); };
    if (slabCount == 1)
    {
        double cut = 0.0;
        for (int pz = 1; pz <= g.nz; ++pz)
            cut += sampleLayer(pz);
        return {{0, cellLayers, expectedVertices(cut)}};
    }
    std::vector<double> work(static_cast<std::size_t>(cellLayers));
    double total = 0.0;
    for (int cz = 0; cz < cellLayers; ++cz)
        total += work[std::size_t(cz)] = layerCost + sampleLayer(cz) + sampleLayer(cz + 1);
    const double share = (total + slabCount * layerCost) / slabCount;
    std::vector<Slab> slabs;
    int first = 0;
    double done = 0.0, cut = 0.0;
    for (int cz = 0; cz < cellLayers; ++cz)
    {
        done += work[std::size_t(cz)];
        cut += sampleLayer(cz + 1);
        const bool last = cz + 1 == cellLayers;
        if (last || (done >= share && cz + 1 - first >= 2 && cellLayers - cz - 1 >= 2))
        {
            slabs.push_back({first, cz + 1, expectedVertices(cut + sampleLayer(first))});
            first = cz + 1;
            done = layerCost + sampleLayer(first);
            cut = 0.0;
        }
    }
    return slabs;
}

}

MarchingCubes::MarchingCubes(std::shared_ptr<const VolumeData<unsigned short>> volume, unsigned short isoValue,
                             const Vector3D& offset)
    : AbstractAlgorithm("Generating 3D model", "An unknown error has occurred during the surface generation."),
      volume_(std::move(volume)), isoValue_(isoValue), offset_(offset)
{
}

bool MarchingCubes::start() try
{
    result_.reset();
    return run([this] { return generate(); });
}
VEXA_RETHROW

bool MarchingCubes::generate() try
{
    if (!volume_ || volume_->getDimX() == 0 || volume_->getDimY() == 0 || volume_->getDimZ() == 0)
        throw std::runtime_error("The volume is empty.");
    if (!(volume_->getSpacingX() > 0.0 && volume_->getSpacingY() > 0.0 && volume_->getSpacingZ() > 0.0))
        throw std::runtime_error("The volume has an invalid voxel spacing.");
    const unsigned limit = unsigned(std::numeric_limits<int>::max() / 2);
    if (volume_->getDimX() > limit || volume_->getDimY() > limit || volume_->getDimZ() > limit)
        throw std::runtime_error("The volume is too large.");

    PaddedGrid grid;
    grid.voxels = volume_->getVoxels();
    grid.nx = int(volume_->getDimX());
    grid.ny = int(volume_->getDimY());
    grid.nz = int(volume_->getDimZ());
    grid.sx = volume_->getSpacingX();
    grid.sy = volume_->getSpacingY();
    grid.sz = volume_->getSpacingZ();
    grid.iso = isoValue_;
    grid.level = isoValue_ - 0.5;
    grid.outside = std::min(0.0, grid.level - 1.0);

    unsigned threads = threadCount_ ? threadCount_ : ProcessorAffinity::usableCores();
    const int cellLayers = grid.nz + 1;
    const std::vector<Slab> slabs = cutIntoSlabs(grid, threads);
    SlabMeshes meshes(slabs.size());
    std::atomic<int> layersDone{0};
    std::atomic<bool> stop{false};
    // One worker per thread: its layer buffers serve all the slabs that thread takes.
    std::vector<std::unique_ptr<SlabWorker>> workers(threads);
    ParallelJobs::run(threads, slabs.size(), [&](std::size_t s, unsigned thread) {
        SlabWorker* kept = SlabWorker::kept(grid);
        if (!kept && !workers[thread])
            workers[thread] = std::make_unique<SlabWorker>(grid);
        SlabWorker& worker = kept ? *kept : *workers[thread];
        meshes[s].positions.reserve(3 * slabs[s].vertices);
        meshes[s].normals.reserve(3 * slabs[s].vertices);
        meshes[s].triangles.reserve(6 * slabs[s].vertices);
        const bool finished = worker.run(slabs[s].first, slabs[s].end, meshes[s], stop, [&] {
            setProgress(0.9 * (layersDone.fetch_add(1) + 1) / cellLayers);
            if (isCancelRequested())
                stop = true;
        });
        if (!finished)
            stop = true;
    });
    if (stop || isCancelRequested())
        return cancelled();

    // Join the slabs: slab s > 0 drops its first layer's vertices in favour of the same
    // vertices of slab s - 1.
    std::vector<std::size_t> vertexBase(meshes.size()), triangleBase(meshes.size());
    std::size_t vertexTotal = 0, triangleTotal = 0;
    for (std::size_t s = 0; s < meshes.size(); ++s)
    {
        if (s > 0 && meshes[s - 1].lastLayerEnd - meshes[s - 1].lastLayerStart != meshes[s].firstLayerCount)
            throw std::logic_error("MarchingCubes: slabs disagree on their shared layer");
        vertexBase[s] = vertexTotal;
        triangleBase[s] = triangleTotal;
        vertexTotal += meshes[s].vertexCount() - (s > 0 ? meshes[s].firstLayerCount : 0);
        triangleTotal += meshes[s].triangles.size();
    }
    if (triangleTotal == 0)
        throw std::runtime_error("The volume has no surface at the iso value " + std::to_string(isoValue_) + ".");
    if (vertexTotal >= std::numeric_limits<unsigned>::max())
        throw std::runtime_error("The surface has too many vertices.");

    const Matrix44<double> transform = volume_->getTransform();
    std::atomic<bool> zeroNormals{false};
    // Each slab's share of the result's bounding box, taken while its vertices are placed.
    constexpr double far = std::numeric_limits<double>::infinity();
    std::vector<std::array<double, 6>> boxes(meshes.size(), {far, far, far, -far, -far, -far});
    // Vertices [from, m.vertexCount()) of a slab's mesh into the world, as vertices from
    // `first` on of the result (may be the same place).
    auto place = [&](const SlabMesh& m, unsigned from, double* outPositions, double* outNormals, std::size_t first,
                     std::array<double, 6>& box) {
        bool flat = false;
        for (unsigned i = from; i < m.vertexCount(); ++i)
        {
            const Vector3D p =
                transform * Vector3D(m.positions[3 * i], m.positions[3 * i + 1], m.positions[3 * i + 2]) + offset_;
            const Vector3D n =
                transform.rotate(Vector3D(m.normals[3 * i], m.normals[3 * i + 1], m.normals[3 * i + 2]));
            flat = flat || n.squaredLength() == 0.0;
            const std::size_t g = first + (i - from);
            for (int k = 0; k < 3; ++k)
            {
                outPositions[3 * g + k] = p[k];
                outNormals[3 * g + k] = n[k];
                box[k] = std::min(box[k], p[k]);
                box[k + 3] = std::max(box[k + 3], p[k]);
            }
        }
        if (flat)
            zeroNormals = true;
    };
    MeshArray<double> positions, normals;
    MeshArray<unsigned> triangles;
    if (meshes.size() == 1)
    {
        // One slab: its mesh is the result, in place (no second copy of it to fault in).
        SlabMesh& m = meshes[0];
        place(m, 0, m.positions.data(), m.normals.data(), 0, boxes[0]);
        positions = std::move(m.positions);
        normals = std::move(m.normals);
        triangles = std::move(m.triangles);
    }
    else
    {
        // Left unset: each slab's thread writes its own part, so the fresh pages are also
        // faulted in on all threads rather than cleared by this one first.
        positions.resize(3 * vertexTotal);
        normals.resize(3 * vertexTotal);
        triangles.resize(triangleTotal);
    }
    ParallelJobs::run(threads, meshes.size() > 1 ? meshes.size() : 0, [&](std::size_t s, unsigned) {
        const SlabMesh& m = meshes[s];
        const unsigned skip = s > 0 ? m.firstLayerCount : 0;
        place(m, skip, positions.data(), normals.data(), vertexBase[s], boxes[s]);
        const std::size_t previousLast = s > 0 ? meshes[s - 1].lastLayerStart : 0;
        const std::size_t previousSkip = s > 1 ? meshes[s - 1].firstLayerCount : 0;
        for (std::size_t k = 0; k < m.triangles.size(); ++k)
        {
            const unsigned local = m.triangles[k];
            std::size_t global;
            if (local < skip)
                global = vertexBase[s - 1] + (previousLast + local - previousSkip);
            else
                global = vertexBase[s] + (local - skip);
            triangles[triangleBase[s] + k] = unsigned(global);
        }
    });
    std::array<double, 6> box = boxes[0];
    for (const auto& b : boxes)
        for (int k = 0; k < 3; ++k)
        {
            box[k] = std::min(box[k], b[k]);
            box[k + 3] = std::max(box[k + 3], b[k + 3]);
        }

    if (zeroNormals)
    {
        // Where the grey values are flat the gradient gives no direction; take the
        // surrounding triangles' instead.
        std::vector<char> needs(vertexTotal, 0);
        for (std::size_t v = 0; v < vertexTotal; ++v)
            needs[v] = normals[3 * v] == 0.0 && normals[3 * v + 1] == 0.0 && normals[3 * v + 2] == 0.0;
        for (std::size_t t = 0; t < triangleTotal; t += 3)
        {
            const unsigned a = triangles[t], b = triangles[t + 1], c = triangles[t + 2];
            if (!needs[a] && !needs[b] && !needs[c])
                continue;
            const Vector3D pa(positions[3 * a], positions[3 * a + 1], positions[3 * a + 2]);
            const Vector3D pb(positions[3 * b], positions[3 * b + 1], positions[3 * b + 2]);
            const Vector3D pc(positions[3 * c], positions[3 * c + 1], positions[3 * c + 2]);
            const Vector3D area = (pb - pa).cross(pc - pa);
            for (unsigned v : {a, b, c})
                if (needs[v])
                    for (int k = 0; k < 3; ++k)
                        normals[3 * v + k] += area[k];
        }
        for (std::size_t v = 0; v < vertexTotal; ++v)
        {
            if (!needs[v])
                continue;
            const Vector3D n(normals[3 * v], normals[3 * v + 1], normals[3 * v + 2]);
            const double length = n.length();
            for (int k = 0; k < 3; ++k)
                normals[3 * v + k] = length > 0.0 ? n[k] / length : 0.0;
        }
    }

    auto mesh = std::make_shared<IndexedTriangleMesh>();
    // Every index was made from a slab's own vertices and their bases above.
    mesh->setCheckedData(std::move(positions), std::move(normals), std::move(triangles), box);
    if (isCancelRequested())
        return cancelled();
    result_ = std::move(mesh);
    return true;
}
VEXA_RETHROW

}
