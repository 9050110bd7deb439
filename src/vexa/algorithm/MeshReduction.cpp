#include "vexa/algorithm/MeshReduction.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/core/ParallelJobs.h"
#include "vexa/core/ProcessorAffinity.h"
#include "vexa/math/Vector3.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Vexa {

namespace {

// Sum of squared distances to a set of planes, as the symmetric form
// p^T A p + 2 b^T p + c.
struct Quadric
{
    double a00 = 0, a01 = 0, a02 = 0, a11 = 0, a12 = 0, a22 = 0;
    double b0 = 0, b1 = 0, b2 = 0;
    double c = 0;

    static Quadric plane(const Vector3D& n, double d, double weight)
    {
        Quadric q;
        q.a00 = weight * n.x * n.x;
        q.a01 = weight * n.x * n.y;
        q.a02 = weight * n.x * n.z;
        q.a11 = weight * n.y * n.y;
        q.a12 = weight * n.y * n.z;
        q.a22 = weight * n.z * n.z;
        q.b0 = weight * d * n.x;
        q.b1 = weight * d * n.y;
        q.b2 = weight * d * n.z;
        q.c = weight * d * d;
        return q;
    }

    Quadric& operator+=(const Quadric& o)
    {
        a00 += o.a00; a01 += o.a01; a02 += o.a02; a11 += o.a11; a12 += o.a12; a22 += o.a22;
        b0 += o.b0; b1 += o.b1; b2 += o.b2;
        c += o.c;
        return *this;
    }

    double evaluate(const Vector3D& p) const
    {
        const double ax = a00 * p.x + a01 * p.y + a02 * p.z;
        const double ay = a01 * p.x + a11 * p.y + a12 * p.z;
        const double az = a02 * p.x + a12 * p.y + a22 * p.z;
        return std::max(0.0, p.x * ax + p.y * ay + p.z * az + 2.0 * (b0 * p.x + b1 * p.y + b2 * p.z) + c);
    }

    // The point of least error, when A is well enough conditioned to have one.
    bool minimum(Vector3D& p) const
    {
        const double c00 = a11 * a22 - a12 * a12;
        const double c01 = a02 * a12 - a01 * a22;
        const double c02 = a01 * a12 - a02 * a11;
        const double det = a00 * c00 + a01 * c01 + a02 * c02;
        const double scale = a00 + a11 + a22;
        if (!(scale > 0.0) || std::abs(det) < 1e-9 * scale * scale * scale)
            return false;
        const double c11 = a00 * a22 - a02 * a02;
        const double c12 = a01 * a02 - a00 * a12;
        const double c22 = a00 * a11 - a01 * a01;
        const double inv = 1.0 / det;
        p = Vector3D(-(c00 * b0 + c01 * b1 + c02 * b2) * inv, -(c01 * b0 + c11 * b1 + c12 * b2) * inv,
                     -(c02 * b0 + c12 * b1 + c22 * b2) * inv);
        return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    }
};

// A possible collapse of edge (u, v), u < v, queued at `time` (the number of collapses done
// then). Cheapest first; ties in a fixed order so that the result does not depend on the queue.
// Sixteen bytes, so that the four children of a queue entry fill one cache line: the cost is
// kept in single precision, which orders collapses as finely as the choice needs.
struct alignas(16) Candidate
{
    float cost;
    unsigned u, v;
    unsigned time;

    bool before(const Candidate& o) const
    {
        if (cost != o.cost)
            return cost < o.cost;
        if (u != o.u)
            return u < o.u;
        return v < o.v;
    }
};

// Storage on cache-line boundaries for the queue.
template<class T>
struct CacheLineAllocator
{
    using value_type = T;
    static constexpr std::align_val_t alignment{64};
    CacheLineAllocator() = default;
    template<class U>
    CacheLineAllocator(const CacheLineAllocator<U>&) noexcept
    {
    }
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), alignment)); }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, alignment); }
    template<class U>
    bool operator==(const CacheLineAllocator<U>&) const noexcept
    {
        return true;
    }
};

// Min-queue of candidates as a four-way heap: half as deep as a binary one, and with the root
// at slot 3 the four children of every entry share one cache line, which matters once the
// queue outgrows the caches (as it does from the first collapse on).
class CandidateQueue
{
public:
    bool empty() const { return heap_.size() == root; }
    std::size_t size() const { return heap_.size() - root; }

    // Drops the entries for which outdated(entry) holds and orders the rest.
    template<class Outdated>
    void prune(Outdated outdated)
    {
        heap_.erase(std::remove_if(heap_.begin() + root, heap_.end(), outdated), heap_.end());
        order();
    }

    // Adds without ordering; `order` must follow before the next `pop`.
    void append(const Candidate& c) { heap_.push_back(c); }

    void order()
    {
        const std::size_t n = heap_.size();
        if (n <= root + 1)
            return;
        // Every slot from the last one's parent down to the root.
        for (std::size_t i = parent(n - 1) + 1; i-- > root;)
            siftDown(i, heap_[i]);
    }

    void push(const Candidate& c)
    {
        std::size_t i = heap_.size();
        heap_.push_back(c);
        while (i > root)
        {
            const std::size_t up = parent(i);
            if (!c.before(heap_[up]))
                break;
            heap_[i] = heap_[up];
            i = up;
        }
        heap_[i] = c;
    }

    const Candidate& top() const { return heap_[root]; }

    template<class Fn>
    void forEach(Fn fn) const
    {
        for (std::size_t i = root; i < heap_.size(); ++i)
            fn(heap_[i]);
    }

    Candidate pop()
    {
        const Candidate top = heap_[root];
        const Candidate last = heap_.back();
        heap_.pop_back();
        if (heap_.size() > root)
            siftDown(root, last);
        return top;
    }

private:
    static constexpr std::size_t root = 3;
    // Children of slot i: 4 i - 8 to 4 i - 5 (a multiple of four: one cache line).
    static std::size_t parent(std::size_t i) { return (i + 8) / 4; }

    void siftDown(std::size_t i, const Candidate c)
    {
        const std::size_t n = heap_.size();
        for (;;)
        {
            const std::size_t first = 4 * i - 8;
            if (first >= n)
                break;
            const std::size_t end = std::min(first + 4, n);
            std::size_t best = first;
            for (std::size_t k = first + 1; k < end; ++k)
                if (heap_[k].before(heap_[best]))
                    best = k;
            if (!heap_[best].before(c))
                break;
            heap_[i] = heap_[best];
            i = best;
        }
        heap_[i] = c;
    }

    std::vector<Candidate, CacheLineAllocator<Candidate>> heap_ = std::vector<Candidate, CacheLineAllocator<Candidate>>(root);
};

// The triangles around one vertex, in the order they came: up to `inlineCount` in place (a
// surface's vertices nearly all have fewer), more on the heap. A reduction adds to and takes
// from these lists at every collapse; kept out of the allocator, that costs next to nothing.
class TriangleFan
{
public:
    static constexpr unsigned inlineCount = 10;

    TriangleFan() = default;
    TriangleFan(TriangleFan&& o) noexcept : size_(o.size_), capacity_(o.capacity_), data_(o.data_)
    {
        o.size_ = 0;
        o.capacity_ = inlineCount;
    }
    TriangleFan(const TriangleFan&) = delete;
    TriangleFan& operator=(const TriangleFan&) = delete;
    TriangleFan& operator=(TriangleFan&&) = delete;
    ~TriangleFan() { reset(); }

    const unsigned* begin() const { return onHeap() ? data_.heap : data_.local; }
    const unsigned* end() const { return begin() + size_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    void push_back(unsigned f)
    {
        if (size_ == capacity_)
            grow();
        (onHeap() ? data_.heap : data_.local)[size_++] = f;
    }

    // Takes out f, which the fan holds; the others keep their order.
    void remove(unsigned f)
    {
        unsigned* first = onHeap() ? data_.heap : data_.local;
        unsigned* last = first + size_;
        unsigned* at = std::find(first, last, f);
        std::copy(at + 1, last, at);
        --size_;
    }

    // Empty, and its memory handed back.
    void reset()
    {
        if (onHeap())
            delete[] data_.heap;
        size_ = 0;
        capacity_ = inlineCount;
    }

private:
    bool onHeap() const { return capacity_ > inlineCount; }

    void grow()
    {
        auto* larger = new unsigned[2 * std::size_t(capacity_)];
        std::copy(begin(), end(), larger);
        if (onHeap())
            delete[] data_.heap;
        data_.heap = larger;
        capacity_ *= 2;
    }

    unsigned size_ = 0, capacity_ = inlineCount;
    union
    {
        unsigned local[inlineCount];
        unsigned* heap;
    } data_;
};

// The state of one reduction pass: its queue and scratch space. A pass over a block of the mesh
// touches only that block's vertices and triangles, so the passes of different blocks can run
// at once.
struct Pass
{
    int block = -1; // -1: the whole mesh
    std::size_t removed = 0;
    CandidateQueue queue;
    // Every collapse queues the surviving end's edges anew; older entries of an edge are left
    // in the queue and skipped. Once a quarter as many entries as the queue held after the
    // last sweep have been queued, the outdated ones are swept out in one pass, which costs
    // far less than popping each of them.
    std::size_t prunedSize = 0;
    std::size_t pushedSincePrune = 0;
    unsigned clock = 0; // collapses of this pass (with those of the passes before)
    std::vector<unsigned> around;
    std::vector<unsigned>* mark = nullptr; // == stamp: visited in the current neighbourhood walk
    unsigned* stamp = nullptr;
};

class Reducer
{
public:
    // The block passes stop this far above the target, leaving the rest to the whole-mesh pass.
    static constexpr double spareFactor = 1.6;

    Reducer(const IndexedTriangleMesh& mesh)
    {
        const auto& v = mesh.getVertices();
        const auto& t = mesh.getTriangles();
        const std::size_t vertexCount = v.size() / 3;
        positions_.resize(vertexCount);
        for (std::size_t i = 0; i < vertexCount; ++i)
            positions_[i] = Vector3D(v[3 * i], v[3 * i + 1], v[3 * i + 2]);
        triangles_.reserve(t.size() / 3);
        for (std::size_t k = 0; k + 2 < t.size(); k += 3)
        {
            const unsigned a = t[k], b = t[k + 1], c = t[k + 2];
            if (a >= vertexCount || b >= vertexCount || c >= vertexCount)
                throw std::runtime_error("The mesh refers to vertices it does not have.");
            if (a == b || b == c || a == c)
                continue; // a triangle without area has no surface to keep
            triangles_.push_back({a, b, c});
        }
        if (triangles_.size() >= std::numeric_limits<unsigned>::max())
            throw std::runtime_error("The mesh has too many triangles.");
        alive_.assign(triangles_.size(), 1);
        aliveCount_ = triangles_.size();

        incident_ = std::vector<TriangleFan>(vertexCount);
        for (unsigned f = 0; f < triangles_.size(); ++f)
            for (unsigned corner : triangles_[f])
                incident_[corner].push_back(f);

        // Each vertex sums the planes of its triangles, in triangle order (the vertices are
        // independent, so all cores share the work and the sums do not depend on them).
        quadrics_.resize(vertexCount);
        ParallelJobs::ranges(vertexCount, grain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t v = begin; v < end; ++v)
                for (unsigned f : incident_[v])
                {
                    const auto& t = triangles_[f];
                    const Vector3D& p0 = positions_[t[0]];
                    const Vector3D cross = (positions_[t[1]] - p0).cross(positions_[t[2]] - p0);
                    const double length = cross.length();
                    if (!(length > 0.0))
                        continue;
                    const Vector3D n = cross / length;
                    quadrics_[v] += Quadric::plane(n, -n.dot(p0), 0.5 * length);
                }
        });
        changed_.assign(vertexCount, 0);
        lockUnsoundVertices();
    }

    std::size_t aliveTriangles() const { return aliveCount_; }

    // A pass over the whole mesh, after the block passes (if any).
    void startWholePass(Pass& pass)
    {
        pass.block = -1;
        pass.clock = clock_;
        pass.mark = &wholeMark_;
        pass.stamp = &wholeStamp_;
        wholeMark_.assign(positions_.size(), 0);
        std::vector<Candidate> edges;
        edges.reserve(triangles_.size() * 3 / 2);
        for (std::size_t f = 0; f < triangles_.size(); ++f)
        {
            if (!alive_[f])
                continue;
            const auto& t = triangles_[f];
            for (int k = 0; k < 3; ++k)
            {
                const unsigned u = t[k], v = t[(k + 1) % 3];
                if (u < v && movable(pass, u) && movable(pass, v))
                    edges.push_back({0.0f, u, v, pass.clock});
            }
        }
        ParallelJobs::ranges(edges.size(), grain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
            {
                Vector3D target;
                edges[i].cost = float(placement(edges[i].u, edges[i].v, target));
            }
        });
        for (const Candidate& c : edges)
            pass.queue.append(c);
        pass.queue.order();
        pass.prunedSize = pass.queue.size();
    }

    // Large meshes are first reduced block by block on all cores: the vertices are grouped by
    // the cube of a grid they lie in, and each block collapses only edges whose triangles all
    // lie within it. So that the blocks together collapse in about the order one queue for the
    // whole mesh would, they go in steps: each step allows collapses up to a cost that all
    // blocks share, the cost below which half of what is left to remove lies, until the mesh is
    // near the target. The whole-mesh pass then finishes in cost order, also where the blocks
    // meet. The blocks do not depend on the number of cores, so neither does the result.
    // keepGoing() is asked now and then (from several threads); false stops the passes early
    // (the mesh stays valid).
    template<class KeepGoing>
    void reduceBlocks(std::size_t target, KeepGoing keepGoing)
    {
        const std::size_t start = aliveCount_;
        if (start < 3 * blockTriangles || start <= target)
            return;
        prepareBlocks();
        if (!(cube_ > 0.0))
            return;
        const std::size_t count = divideIntoBlocks();
        struct Scratch
        {
            std::vector<unsigned> mark;
            unsigned stamp = 0;
        };
        const unsigned threads = ProcessorAffinity::usableCores();
        std::vector<Scratch> scratch(threads);
        std::vector<Pass> passes(count);
        std::vector<std::vector<float>> costs(count);
        auto forBlocks = [&](auto body) {
            ParallelJobs::run(threads, count, [&](std::size_t b, unsigned thread) {
                Scratch& own = scratch[thread];
                if (own.mark.empty())
                    own.mark.assign(positions_.size(), 0);
                passes[b].mark = &own.mark;
                passes[b].stamp = &own.stamp;
                body(passes[b], b);
            });
        };
        forBlocks([&](Pass& pass, std::size_t b) {
            pass.block = int(b);
            queueBlockEdges(pass);
        });
        const std::size_t goal = std::size_t(spareFactor * double(target));
        std::atomic<bool> stop{false};
        // Steps stop once within a sixteenth of the goal (the whole-mesh pass does the rest).
        while (aliveCount_ > goal + goal / 16 && !stop)
        {
            // The collapses still queued, cheapest first: half of the triangles above the goal
            // go with the cheapest quarter of that many collapses and those they make cheap.
            forBlocks([&](Pass& pass, std::size_t b) {
                costs[b].clear();
                pass.queue.forEach([&](const Candidate& c) {
                    if (!outdated(c))
                        costs[b].push_back(c.cost);
                });
            });
            std::vector<float> all;
            for (const auto& c : costs)
                all.insert(all.end(), c.begin(), c.end());
            if (all.empty())
                break;
            const std::size_t wanted = std::min(all.size() - 1, (aliveCount_ - goal) / 4);
            std::nth_element(all.begin(), all.begin() + std::ptrdiff_t(wanted), all.end());
            const float limit = all[wanted];
            std::vector<std::size_t> removed(count, 0);
            forBlocks([&](Pass& pass, std::size_t b) {
                const std::size_t before = pass.removed;
                std::size_t collapses = 0;
                while (!stop && collapseNext(pass, limit))
                    if (++collapses % 1000 == 0 && !keepGoing())
                        stop = true;
                removed[b] = pass.removed - before;
            });
            std::size_t total = 0;
            for (std::size_t r : removed)
                total += r;
            aliveCount_ -= total;
            if (total == 0)
                break;
        }
        for (const Pass& pass : passes)
            clock_ = std::max(clock_, pass.clock);
    }

    // One collapse, the cheapest allowed one; false when none is left.
    bool collapseNext(Pass& pass, float limit = std::numeric_limits<float>::infinity())
    {
        while (!pass.queue.empty())
        {
            if (pass.queue.top().cost > limit)
                return false;
            const Candidate c = pass.queue.pop();
            if (outdated(c))
                continue;
            if (!withinFanLimit(c.u, c.v) || !linked(pass, c.u, c.v))
                continue;
            Vector3D target;
            placement(c.u, c.v, target);
            if (!keepsShape(c.u, c.v, target))
                continue;
            collapse(pass, c.u, c.v, target);
            return true;
        }
        return false;
    }

    void finishWholePass(const Pass& pass)
    {
        aliveCount_ -= pass.removed;
        clock_ = pass.clock;
    }

    std::shared_ptr<IndexedTriangleMesh> result() const
    {
        std::vector<unsigned> index(positions_.size(), ~0u);
        std::vector<double> vertices, normals;
        std::vector<unsigned> triangles;
        triangles.reserve(3 * aliveCount_);
        for (std::size_t f = 0; f < triangles_.size(); ++f)
        {
            if (!alive_[f])
                continue;
            for (unsigned corner : triangles_[f])
            {
                if (index[corner] == ~0u)
                {
                    index[corner] = unsigned(vertices.size() / 3);
                    vertices.insert(vertices.end(), {positions_[corner].x, positions_[corner].y, positions_[corner].z});
                }
                triangles.push_back(index[corner]);
            }
        }
        normals.assign(vertices.size(), 0.0);
        for (std::size_t k = 0; k < triangles.size(); k += 3)
        {
            const unsigned a = triangles[k], b = triangles[k + 1], c = triangles[k + 2];
            const Vector3D pa(vertices[3 * a], vertices[3 * a + 1], vertices[3 * a + 2]);
            const Vector3D pb(vertices[3 * b], vertices[3 * b + 1], vertices[3 * b + 2]);
            const Vector3D pc(vertices[3 * c], vertices[3 * c + 1], vertices[3 * c + 2]);
            const Vector3D area = (pb - pa).cross(pc - pa);
            for (unsigned v : {a, b, c})
                for (int i = 0; i < 3; ++i)
                    normals[3 * v + i] += area[i];
        }
        for (std::size_t v = 0; v < normals.size(); v += 3)
        {
            const double length = std::sqrt(normals[v] * normals[v] + normals[v + 1] * normals[v + 1] +
                                             normals[v + 2] * normals[v + 2]);
            if (length > 0.0)
                for (int i = 0; i < 3; ++i)
                    normals[v + i] /= length;
        }
        auto mesh = std::make_shared<IndexedTriangleMesh>();
        mesh->setData(std::move(vertices), std::move(normals), std::move(triangles));
        mesh->setUseFloatArrays(true);
        return mesh;
    }

private:
    // Vertices on a hole, on an edge with more than two triangles, or where several fans
    // meet are never moved: collapsing there could tear the mesh further.
    void lockUnsoundVertices()
    {
        locked_.assign(positions_.size(), 0);
        // Each vertex looks at its own edges: every one must lie in exactly two triangles that
        // run along it in opposite directions, that is, the corners after v in its triangles
        // are all different and each is also the corner before v in one of them. The ends of
        // an edge see the same triangles, so both lock themselves when it is unsound.
        ParallelJobs::ranges(positions_.size(), grain, [&](std::size_t begin, std::size_t end) {
            std::vector<std::pair<unsigned, unsigned>> links; // (next, previous) corner of v
            for (unsigned v = unsigned(begin); v < end; ++v)
            {
                if (incident_[v].empty())
                    continue;
                links.clear();
                for (unsigned f : incident_[v])
                {
                    const auto& t = triangles_[f];
                    const int k = t[0] == v ? 0 : (t[1] == v ? 1 : 2);
                    links.emplace_back(t[(k + 1) % 3], t[(k + 2) % 3]);
                }
                bool sound = true;
                for (std::size_t i = 0; i < links.size() && sound; ++i)
                {
                    bool before = false;
                    for (std::size_t j = 0; j < links.size(); ++j)
                    {
                        sound = sound && (j >= i || links[j].first != links[i].first);
                        before = before || links[j].second == links[i].first;
                    }
                    sound = sound && before;
                }
                if (!sound || !singleFan(links))
                    locked_[v] = 1;
            }
        });
    }

    // The triangles of a vertex's links form one closed fan.
    static bool singleFan(const std::vector<std::pair<unsigned, unsigned>>& links)
    {
        std::size_t steps = 0;
        unsigned at = links[0].first;
        do
        {
            auto it = std::find_if(links.begin(), links.end(), [at](const auto& l) { return l.second == at; });
            if (it == links.end())
                return false;
            at = it->first;
            ++steps;
        } while (at != links[0].first && steps <= links.size());
        return steps == links.size();
    }

    // The edge of the cubes the blocks are made of: about blockTriangles triangles of the mesh
    // in each cube it passes through (a surface crosses a cube of edge h in about 1.5 h^2).
    void prepareBlocks()
    {
        double lengths = 0.0;
        std::size_t edges = 0;
        for (std::size_t f = 0; f < triangles_.size(); f += 97)
        {
            const double length = (positions_[triangles_[f][1]] - positions_[triangles_[f][0]]).length();
            if (std::isfinite(length))
            {
                lengths += length * length;
                ++edges;
            }
        }
        const double meanSquare = edges ? lengths / double(edges) : 0.0;
        // A triangle of the mesh covers about 0.43 of its squared edge.
        cube_ = std::sqrt(double(blockTriangles) * 0.43 * meanSquare / 1.5);
        lower_ = Vector3D(std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                          std::numeric_limits<double>::infinity());
        for (const Vector3D& p : positions_)
            if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z))
                lower_ = Vector3D(std::min(lower_.x, p.x), std::min(lower_.y, p.y), std::min(lower_.z, p.z));
    }

    // Vertices in blocks by the cube of a grid they lie in; then which vertices lie inside their
    // block, all their neighbours with them. Returns the number of blocks.
    std::size_t divideIntoBlocks()
    {
        std::vector<std::uint64_t> cells(positions_.size(), ~std::uint64_t(0));
        for (std::size_t v = 0; v < positions_.size(); ++v)
        {
            const Vector3D q = (positions_[v] - lower_) / cube_;
            if (!(q.x < 1e6 && q.y < 1e6 && q.z < 1e6)) // also not a number, and beyond any block
                continue;
            auto index = [](double c) { return std::uint64_t(std::max(0.0, c)); };
            cells[v] = (index(q.z) << 42) | (index(q.y) << 21) | index(q.x);
        }
        std::vector<std::uint64_t> used;
        for (std::uint64_t c : cells)
            if (c != ~std::uint64_t(0))
                used.push_back(c);
        std::sort(used.begin(), used.end());
        used.erase(std::unique(used.begin(), used.end()), used.end());
        block_.assign(positions_.size(), -1);
        blockVertices_.assign(used.size(), {});
        for (unsigned v = 0; v < positions_.size(); ++v)
            if (cells[v] != ~std::uint64_t(0))
            {
                const auto b = std::size_t(std::lower_bound(used.begin(), used.end(), cells[v]) - used.begin());
                block_[v] = int(b);
                if (!incident_[v].empty())
                    blockVertices_[b].push_back(v);
            }
        inner_.assign(positions_.size(), 0);
        ParallelJobs::ranges(positions_.size(), grain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t v = begin; v < end; ++v)
            {
                bool inside = block_[v] >= 0 && !locked_[v] && !incident_[v].empty();
                for (unsigned f : incident_[v])
                    for (unsigned corner : triangles_[f])
                        inside = inside && block_[corner] == block_[v];
                inner_[v] = inside;
            }
        });
        return used.size();
    }

    // The edges of a block pass: from each of its vertices u to a neighbour v > u, each once.
    void queueBlockEdges(Pass& pass)
    {
        for (unsigned u : blockVertices_[std::size_t(pass.block)])
        {
            if (!movable(pass, u))
                continue;
            for (unsigned f : incident_[u])
            {
                const auto& t = triangles_[f];
                const int k = t[0] == u ? 0 : (t[1] == u ? 1 : 2);
                const unsigned v = t[(k + 1) % 3];
                if (u < v && movable(pass, v))
                {
                    Vector3D target;
                    pass.queue.append({float(placement(u, v, target)), u, v, pass.clock});
                }
            }
        }
        pass.queue.order();
        pass.prunedSize = pass.queue.size();
    }

    // Whether the pass may move the vertex: never a locked one, and a block pass only the
    // vertices that lie inside its block.
    bool movable(const Pass& pass, unsigned v) const
    {
        if (pass.block < 0)
            return !locked_[v];
        return inner_[v] && block_[v] == pass.block;
    }

    void push(Pass& pass, unsigned u, unsigned v)
    {
        if (!movable(pass, u) || !movable(pass, v))
            return;
        Vector3D target;
        pass.queue.push({float(placement(u, v, target)), u, v, pass.clock});
        ++pass.pushedSincePrune;
    }

    // Where u and v would merge to, and the error of that point.
    double placement(unsigned u, unsigned v, Vector3D& target) const
    {
        Quadric q = quadrics_[u];
        q += quadrics_[v];
        const Vector3D& pu = positions_[u];
        const Vector3D& pv = positions_[v];
        const Vector3D mid = (pu + pv) * 0.5;
        Vector3D best;
        // Only trust the optimum when it stays near the edge; far away it comes from an
        // almost singular system and would pull the surface out of shape.
        if (q.minimum(best) && (best - mid).length() <= (pv - pu).length())
        {
            target = best;
            return q.evaluate(best);
        }
        double bestCost = q.evaluate(mid);
        target = mid;
        for (const Vector3D& p : {pu, pv})
        {
            const double cost = q.evaluate(p);
            if (cost < bestCost)
            {
                bestCost = cost;
                target = p;
            }
        }
        return bestCost;
    }

    // The vertices that share a triangle with v, each once (in no particular order).
    void neighbours(Pass& pass, unsigned v, std::vector<unsigned>& out)
    {
        out.clear();
        const unsigned stamp = nextMark(pass);
        std::vector<unsigned>& mark = *pass.mark;
        for (unsigned f : incident_[v])
            for (unsigned corner : triangles_[f])
                if (corner != v && mark[corner] != stamp)
                {
                    mark[corner] = stamp;
                    out.push_back(corner);
                }
    }

    static unsigned nextMark(Pass& pass)
    {
        // Restarted well before the count runs out, so that the marks of one check (a few
        // steps) never straddle a restart.
        if (*pass.stamp > std::numeric_limits<unsigned>::max() - 8)
        {
            std::fill(pass.mark->begin(), pass.mark->end(), 0u);
            *pass.stamp = 0;
        }
        return ++*pass.stamp;
    }

    // Whether the kept vertex would have at most maximumFan triangles: those of both ends but
    // the edge's two, which both ends hold.
    bool withinFanLimit(unsigned u, unsigned v) const
    {
        return incident_[u].size() + incident_[v].size() <= maximumFan + 4;
    }

    // Whether collapsing (u, v) keeps the mesh a closed surface.
    bool linked(Pass& pass, unsigned u, unsigned v)
    {
        // The edge must have exactly two triangles, and the ends may share only the two
        // vertices across it (the link condition); otherwise the collapse pinches the surface.
        unsigned across[2];
        int shared = 0;
        for (unsigned f : incident_[u])
        {
            const auto& t = triangles_[f];
            if (t[0] != v && t[1] != v && t[2] != v)
                continue;
            if (shared == 2)
                return false;
            across[shared++] = t[0] != u && t[0] != v ? t[0] : (t[1] != u && t[1] != v ? t[1] : t[2]);
        }
        if (shared != 2 || across[0] == across[1])
            return false;
        nextMark(pass); // a restart, if due, comes before the two walks
        neighbours(pass, u, pass.around);
        std::vector<unsigned>& mark = *pass.mark;
        const unsigned ofU = *pass.stamp, counted = nextMark(pass);
        int common = 0;
        for (unsigned f : incident_[v])
            for (unsigned corner : triangles_[f])
                if (corner != v && (mark[corner] == ofU))
                {
                    mark[corner] = counted;
                    ++common;
                }
        if (common != 2)
            return false;
        // A vertex across the edge with only three neighbours would be left with two: the
        // rest of a tetrahedron folding flat.
        for (unsigned w : across)
            if (incident_[w].size() <= 3)
                return false;
        return true;
    }

    // Whether moving u and v to target keeps the shape: no triangle that stays may turn over or
    // collapse to a line.
    bool keepsShape(unsigned u, unsigned v, const Vector3D& target) const
    {
        for (unsigned end : {u, v})
            for (unsigned f : incident_[end])
            {
                const auto& t = triangles_[f];
                const bool hasU = t[0] == u || t[1] == u || t[2] == u;
                const bool hasV = t[0] == v || t[1] == v || t[2] == v;
                if (hasU && hasV)
                    continue;
                Vector3D p[3], q[3];
                for (int k = 0; k < 3; ++k)
                {
                    p[k] = positions_[t[k]];
                    q[k] = t[k] == end ? target : p[k];
                }
                const Vector3D before = (p[1] - p[0]).cross(p[2] - p[0]);
                const Vector3D after = (q[1] - q[0]).cross(q[2] - q[0]);
                const double lb = before.length(), la = after.length();
                if (!(la > 1e-12 * (q[1] - q[0]).squaredLength() + 1e-300))
                    return false;
                if (lb > 0.0 && before.dot(after) < minimumTurnCosine * lb * la)
                    return false;
            }
        return true;
    }

    void collapse(Pass& pass, unsigned u, unsigned v, const Vector3D& target)
    {
        positions_[u] = target;
        quadrics_[u] += quadrics_[v];
        for (unsigned f : incident_[v])
        {
            auto& t = triangles_[f];
            if (t[0] == u || t[1] == u || t[2] == u)
            {
                alive_[f] = 0;
                ++pass.removed;
                for (unsigned corner : t)
                    if (corner != v)
                    {
                        incident_[corner].remove(f);
                    }
                continue;
            }
            for (unsigned& corner : t)
                if (corner == v)
                    corner = u;
            incident_[u].push_back(f);
        }
        incident_[v].reset();
        changed_[u] = ++pass.clock;
        changed_[v] = std::numeric_limits<unsigned>::max(); // outdates every entry of v
        neighbours(pass, u, pass.around);
        for (unsigned w : pass.around)
            push(pass, std::min(u, w), std::max(u, w));
        if (pass.pushedSincePrune > pass.prunedSize / 4 + 1024)
        {
            pass.queue.prune([this](const Candidate& c) { return outdated(c); });
            pass.prunedSize = pass.queue.size();
            pass.pushedSincePrune = 0;
        }
    }

    // The entry's edge no longer exists or has been queued again since.
    bool outdated(const Candidate& c) const
    {
        return c.time < changed_[c.u] || c.time < changed_[c.v];
    }

    // Items per job where the work is shared among the cores.
    static constexpr std::size_t grain = 16384;

    // A triangle may turn by less than about 80 degrees in one collapse; beyond that the
    // surface folds.
    static constexpr double minimumTurnCosine = 0.17;

    // The most triangles a collapse may leave around a vertex. Where the surface is flat (as
    // where the box around the arch cuts through soft tissue) every collapse costs nothing,
    // and without a bound one vertex swallows the plane around it: each collapse there queues
    // and checks its whole fan again, so the work grows with the square of the fan (tens of
    // seconds for one model), and the fan ends as hundreds of needles. Curved surfaces stay
    // below the bound (their vertices rarely reach 12 triangles), so it costs them nothing.
    static constexpr std::size_t maximumFan = 16;

    // Blocks of about this many triangles for the block passes.
    static constexpr std::size_t blockTriangles = 10000;

    std::vector<Vector3D> positions_;
    std::vector<Quadric> quadrics_;
    std::vector<std::array<unsigned, 3>> triangles_;
    std::vector<char> alive_;
    std::size_t aliveCount_ = 0;
    std::vector<TriangleFan> incident_;
    std::vector<char> locked_;
    double cube_ = 0.0;                // edge of the block grid's cubes
    Vector3D lower_;                   // the grid's origin
    std::vector<int> block_;           // block of each vertex
    std::vector<char> inner_;          // all neighbours in the vertex's own block
    std::vector<std::vector<unsigned>> blockVertices_;
    // changed_: the collapse count when the vertex last moved; the largest count once it is gone.
    std::vector<unsigned> changed_;
    unsigned clock_ = 0;
    std::vector<unsigned> wholeMark_;
    unsigned wholeStamp_ = 0;
};

}

MeshReduction::MeshReduction(std::shared_ptr<const IndexedTriangleMesh> mesh, std::size_t targetTriangleCount)
    : AbstractAlgorithm("Reducing the 3D model", "An unknown error has occurred during the mesh reduction."),
      mesh_(std::move(mesh)), target_(targetTriangleCount)
{
}

bool MeshReduction::start() try
{
    result_.reset();
    return run([this] { return reduce(); });
}
VEXA_RETHROW

bool MeshReduction::reduce() try
{
    if (!mesh_)
        throw std::runtime_error("There is no mesh to reduce.");
    Reducer reducer(*mesh_);
    setProgress(0.05);
    const std::size_t start = reducer.aliveTriangles();
    if (start > target_)
    {
        const double needed = double(start - target_);
        // Asked from the block passes' threads.
        std::atomic<std::size_t> blockCollapses{0};
        const double blockShare = 1.0 - Reducer::spareFactor * double(target_) / double(start);
        reducer.reduceBlocks(target_, [&] {
            const std::size_t done = blockCollapses += 1000;
            setProgress(0.1 + 0.85 * std::min(1.0, 2.0 * double(done) / needed) * std::max(0.0, blockShare));
            return !isCancelRequested();
        });
        if (isCancelRequested())
        {
            result_ = reducer.result();
            return cancelled();
        }
        Pass pass;
        reducer.startWholePass(pass);
        setProgress(0.1);
        std::size_t collapses = 0;
        while (reducer.aliveTriangles() - pass.removed > target_ && reducer.collapseNext(pass))
        {
            if (++collapses % 1000 == 0)
            {
                setProgress(0.1 + 0.85 * double(start - (reducer.aliveTriangles() - pass.removed)) / needed);
                if (isCancelRequested())
                {
                    reducer.finishWholePass(pass);
                    result_ = reducer.result();
                    return cancelled();
                }
            }
        }
        reducer.finishWholePass(pass);
    }
    result_ = reducer.result();
    return true;
}
VEXA_RETHROW

}
