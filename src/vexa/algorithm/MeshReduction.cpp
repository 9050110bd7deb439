#include "vexa/algorithm/MeshReduction.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/core/ParallelJobs.h"
#include "vexa/core/ProcessorAffinity.h"
#include "vexa/math/Vector3.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
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


// A possible collapse of edge (u, v), u < v, with its cost when it was queued at `time` (it is
// outdated once either end has changed since). The cost is kept in single precision, which
// orders collapses as finely as the choice needs.
struct Candidate
{
    float cost;
    unsigned u, v;
    unsigned time;
};

// The candidates by cost: one bucket per step of the cost's leading bits (a step is under 1 %
// of the cost), the older first within a bucket. Taking the cheapest ones costs only what is
// taken, and adding one costs next to nothing, however many are queued.
class CandidateBuckets
{
public:
    CandidateBuckets() : buckets_(bucketCount) {}

    std::size_t size() const { return size_; }

    void add(const Candidate& c)
    {
        const std::size_t b = bucketOf(c.cost);
        buckets_[b].items.push_back(c);
        lowest_ = std::min(lowest_, b);
        ++size_;
    }

    // Adds all of them, the first of each of `stretches` stretches of the list, then the
    // second of each, and so on: where many cost the same, those taken first then come from
    // all over the list.
    void add(const std::vector<Candidate>& all, std::size_t stretches)
    {
        std::vector<std::uint32_t> count(bucketCount, 0);
        for (const Candidate& c : all)
            ++count[bucketOf(c.cost)];
        for (std::size_t b = 0; b < bucketCount; ++b)
            if (count[b])
            {
                buckets_[b].items.reserve(buckets_[b].items.size() + count[b]);
                lowest_ = std::min(lowest_, b);
            }
        const std::size_t length = (all.size() + stretches - 1) / std::max<std::size_t>(stretches, 1);
        for (std::size_t k = 0; k < length; ++k)
            for (std::size_t i = k; i < all.size(); i += length)
                buckets_[bucketOf(all[i].cost)].items.push_back(all[i]);
        size_ += all.size();
    }

    // Moves the cheapest entries for which keep(entry) holds to `out` until it has `wanted`,
    // dropping those it passes on the way for which it does not.
    template<class Keep>
    void take(std::size_t wanted, std::vector<Candidate>& out, Keep keep)
    {
        while (out.size() < wanted && lowest_ < bucketCount)
        {
            Bucket& b = buckets_[lowest_];
            while (b.head < b.items.size() && out.size() < wanted)
            {
                const Candidate& c = b.items[b.head++];
                --size_;
                if (keep(c))
                    out.push_back(c);
            }
            if (b.head == b.items.size())
            {
                b.items.clear();
                b.head = 0;
                ++lowest_;
            }
        }
    }

    // Drops every entry for which outdated(entry) holds (the buckets on all cores).
    template<class Outdated>
    void prune(Outdated outdated)
    {
        std::vector<std::size_t> kept(buckets_.size());
        ParallelJobs::ranges(buckets_.size(), 512, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
            {
                Bucket& b = buckets_[i];
                b.items.erase(b.items.begin(), b.items.begin() + std::ptrdiff_t(b.head));
                b.head = 0;
                b.items.erase(std::remove_if(b.items.begin(), b.items.end(), outdated), b.items.end());
                if (b.items.capacity() > 2 * b.items.size() + 64)
                    b.items.shrink_to_fit();
                kept[i] = b.items.size();
            }
        });
        size_ = 0;
        for (std::size_t k : kept)
            size_ += k;
    }

private:
    // Costs are never negative, and the bits of a non-negative float rise with its value.
    static constexpr std::size_t leadingBits = 16;
    static constexpr std::size_t bucketCount = (0x7f800000u >> leadingBits) + 1; // up to infinity

    static std::size_t bucketOf(float cost)
    {
        if (!(cost > 0.0f))
            return 0;
        return std::min<std::size_t>(std::bit_cast<std::uint32_t>(cost) >> leadingBits, bucketCount - 1);
    }

    struct Bucket
    {
        std::vector<Candidate> items;
        std::size_t head = 0; // items before it are taken
    };

    std::vector<Bucket> buckets_;
    std::size_t lowest_ = bucketCount; // no entry in a lower bucket
    std::size_t size_ = 0;
};

// The mesh as it is being reduced, with the queue of possible collapses.
//
// Collapses go in steps. A step takes the cheapest queued candidates, a share of the mesh, and
// hands them to blocks of space. Each block, on a core of its own, collapses strictly in the
// order of costs, up to the dearest candidate the step took, every edge whose surroundings (the
// triangles around both ends) lie wholly within it, also those that its own collapses make
// cheap enough. So the blocks together collapse about as one queue over the whole mesh taken in
// order up to that cost would, and no two of them read or change the same vertex. An edge across
// a block's border waits for the next step, whose blocks are shifted by half a block. The last
// collapses (and all of a small mesh) go strictly in order over the whole mesh. The blocks
// depend only on the mesh, so the result is the same on every run and for any number of cores.
class Reducer
{
public:
    explicit Reducer(const IndexedTriangleMesh& mesh)
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
        if (triangles_.size() >= std::numeric_limits<unsigned>::max() ||
            vertexCount >= std::numeric_limits<unsigned>::max())
            throw std::runtime_error("The mesh has too many triangles.");
        alive_.assign(triangles_.size(), 1);
        aliveCount_ = triangles_.size();

        // Each core takes a range of vertices and looks through all triangles for them.
        incident_ = std::vector<TriangleFan>(vertexCount);
        const unsigned cores = ProcessorAffinity::usableCores();
        ParallelJobs::run(cores, cores, [&](std::size_t part, unsigned) {
            const std::size_t begin = vertexCount * part / cores, end = vertexCount * (part + 1) / cores;
            for (unsigned f = 0; f < triangles_.size(); ++f)
                for (unsigned corner : triangles_[f])
                    if (corner >= begin && corner < end)
                        incident_[corner].push_back(f);
        });

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
        measure();
    }

    std::size_t aliveTriangles() const { return aliveCount_; }

    // Queues every edge the reduction may collapse, each once.
    void queueEdges()
    {
        // From each vertex u to the next corner v > u of each of its triangles: every edge of
        // a closed surface once.
        const std::size_t vertexCount = positions_.size();
        std::vector<std::vector<Candidate>> found((vertexCount + grain - 1) / grain);
        ParallelJobs::ranges(vertexCount, grain, [&](std::size_t begin, std::size_t end) {
            std::vector<Candidate>& out = found[begin / grain];
            for (unsigned u = unsigned(begin); u < end; ++u)
            {
                if (locked_[u])
                    continue;
                for (unsigned f : incident_[u])
                {
                    const auto& t = triangles_[f];
                    const unsigned v = t[t[0] == u ? 1 : (t[1] == u ? 2 : 0)];
                    if (u < v && !locked_[v])
                    {
                        Vector3D target;
                        out.push_back({float(placement(u, v, target)), u, v, clock_});
                    }
                }
            }
        });
        std::vector<Candidate> edges;
        for (const auto& part : found)
            edges.insert(edges.end(), part.begin(), part.end());
        // Scattered, so that where many cost the same (a flat face) those a step takes lie
        // apart, not all in one block.
        queue_.add(edges, 256);
    }

    // One step of collapses towards `target` triangles; it never goes below the target. False
    // when the target is reached or no queued collapse is left. keepGoing() is asked now and
    // then (from several threads); false ends the step early, the mesh as valid as ever.
    template<class KeepGoing>
    bool step(std::size_t target, KeepGoing keepGoing)
    {
        // Every collapse takes two triangles.
        const std::size_t allowed = aliveCount_ > target ? (aliveCount_ - target) / 2 : 0;
        if (allowed == 0 || queue_.size() == 0)
            return false;
        const std::size_t wanted = std::size_t(stepShare * double(aliveCount_) / 2.0);
        candidates_.clear();
        if (aliveCount_ < wholeTriangles || allowed <= std::max(wholeCollapses, wanted / 4) || wholeNext_)
        {
            // The last collapses, or all of a small mesh, strictly in order over the whole mesh.
            runs_.assign(1, {});
            queue_.take(queue_.size(), runs_[0].candidates, [this](const Candidate& c) { return !outdated(c); });
            runs_[0].budget = allowed;
            runs_[0].limit = std::numeric_limits<float>::infinity();
            collapseInRuns(keepGoing);
            return false;
        }
        queue_.take(wanted, candidates_, [this](const Candidate& c) { return !outdated(c); });
        if (candidates_.empty())
            return false;
        float limit = 0.0f;
        for (const Candidate& c : candidates_)
            limit = std::max(limit, c.cost);
        const std::size_t blocks = divideIntoBlocks();
        // The candidates by block; an edge between two blocks waits for a step in which it
        // lies within one.
        runs_.assign(blocks, {});
        for (const Candidate& c : candidates_)
        {
            const unsigned b = blockOf_[c.u];
            if (b == blockOf_[c.v])
                runs_[b].candidates.push_back(c);
            else
                queue_.add(c);
        }
        runs_.erase(std::remove_if(runs_.begin(), runs_.end(), [](const Run& r) { return r.candidates.empty(); }),
                    runs_.end());
        // Each block may collapse up to twice its share of the step (collapses make others
        // cheap), together never more than the target allows.
        const std::size_t cap = std::min(allowed, 2 * wanted);
        // The largest first, so that the cores finish together.
        std::sort(runs_.begin(), runs_.end(),
                  [](const Run& a, const Run& b) { return a.candidates.size() > b.candidates.size(); });
        for (Run& r : runs_)
        {
            r.block = blockOf_[r.candidates.front().u];
            r.budget = r.candidates.size() * cap / candidates_.size();
            r.limit = limit;
        }
        // Should no block find a collapse, the whole mesh may still have some.
        wholeNext_ = collapseInRuns(keepGoing) == 0;
        return true;
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

    // Scratch space of one thread for neighbourhood walks.
    struct Scratch
    {
        std::vector<unsigned> ofU, ofV;
    };

    // The collapses of one block in a step: its candidates, made a queue, taken in order up to
    // the step's cost limit and the block's budget. What it does not collapse it hands back.
    struct Run
    {
        unsigned block = wholeMesh;
        std::vector<Candidate> candidates;
        std::size_t budget = 0;
        float limit = 0.0f;
        unsigned clock = 0;
        std::size_t collapses = 0;
        std::vector<Candidate> back; // for the queue
    };

    static constexpr unsigned wholeMesh = ~0u;

    // Cheapest first. Equal costs (as everywhere on a flat face) in an order scattered over
    // the surface: in the order of the mesh, one vertex after the other would swallow its row.
    static bool cheaper(const Candidate& a, const Candidate& b)
    {
        if (a.cost != b.cost)
            return a.cost < b.cost;
        const std::uint32_t sa = scatter(a.u, a.v), sb = scatter(b.u, b.v);
        if (sa != sb)
            return sa < sb;
        return a.u != b.u ? a.u < b.u : a.v < b.v;
    }

    static std::uint32_t scatter(unsigned u, unsigned v)
    {
        std::uint64_t z = (std::uint64_t(u) << 32 | v) * 0x9e3779b97f4a7c15ull;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return std::uint32_t(z >> 32);
    }

    // Runs the step's blocks on all cores, then queues what they hand back; returns the
    // number of collapses.
    template<class KeepGoing>
    std::size_t collapseInRuns(KeepGoing& keepGoing)
    {
        std::atomic<bool> stop{false};
        ParallelJobs::run(ProcessorAffinity::usableCores(), runs_.size(), [&](std::size_t i, unsigned) {
            Run& r = runs_[i];
            r.clock = clock_;
            Scratch scratch;
            auto later = [](const Candidate& a, const Candidate& b) { return cheaper(b, a); };
            std::vector<Candidate>& heap = r.candidates;
            std::make_heap(heap.begin(), heap.end(), later);
            while (!heap.empty() && r.collapses < r.budget && heap.front().cost <= r.limit)
            {
                std::pop_heap(heap.begin(), heap.end(), later);
                const Candidate c = heap.back();
                heap.pop_back();
                if (r.block != wholeMesh && (blockOf_[c.u] != r.block || blockOf_[c.v] != r.block))
                {
                    r.back.push_back(c);
                    continue;
                }
                if (outdated(c))
                    continue;
                if (r.block != wholeMesh && !withinBlock(c, r.block))
                {
                    r.back.push_back(c);
                    continue;
                }
                Vector3D target;
                if (!withinFanLimit(c.u, c.v) || !linked(c.u, c.v, scratch))
                    continue;
                placement(c.u, c.v, target);
                if (!keepsShape(c.u, c.v, target))
                    continue;
                collapse(c.u, c.v, target, ++r.clock);
                ++r.collapses;
                // The kept vertex's edges anew; all of them lie within the block.
                neighbours(c.u, scratch.ofU);
                for (unsigned w : scratch.ofU)
                    if (!locked_[w])
                    {
                        const Candidate e{float(placement(c.u, w, target)), std::min(c.u, w), std::max(c.u, w),
                                          r.clock};
                        if (e.cost <= r.limit)
                        {
                            heap.push_back(e);
                            std::push_heap(heap.begin(), heap.end(), later);
                        }
                        else
                            r.back.push_back(e);
                    }
                if (r.collapses % 1024 == 0 && (stop || !keepGoing()))
                {
                    stop = true;
                    break;
                }
            }
            r.back.insert(r.back.end(), heap.begin(), heap.end());
            heap = {};
        });
        std::size_t collapses = 0;
        for (Run& r : runs_)
        {
            collapses += r.collapses;
            clock_ = std::max(clock_, r.clock);
            for (const Candidate& c : r.back)
                queue_.add(c);
            r.back = {};
        }
        aliveCount_ -= 2 * collapses;
        if (queue_.size() > 4 * aliveCount_ + 65536)
            queue_.prune([this](const Candidate& c) { return outdated(c); });
        return collapses;
    }

    // Whether every triangle around both ends of c's edge has all its corners in the block:
    // then the collapse reads and changes nothing that another block's may.
    bool withinBlock(const Candidate& c, unsigned block) const
    {
        for (unsigned end : {c.u, c.v})
            for (unsigned f : incident_[end])
                for (unsigned corner : triangles_[f])
                    if (blockOf_[corner] != block)
                        return false;
        return true;
    }

    // The surface's area and the box around it, which the reduction changes little.
    void measure()
    {
        const auto lowest = [](const Vector3D& a, const Vector3D& b) {
            return Vector3D(std::min(a.x, b.x), std::min(a.y, b.y), std::min(a.z, b.z));
        };
        const auto highest = [](const Vector3D& a, const Vector3D& b) {
            return Vector3D(std::max(a.x, b.x), std::max(a.y, b.y), std::max(a.z, b.z));
        };
        struct Part
        {
            double area = 0.0;
            Vector3D lower = Vector3D(1, 1, 1) * std::numeric_limits<double>::infinity(), upper = -lower;
        };
        std::vector<Part> parts((triangles_.size() + grain - 1) / grain);
        ParallelJobs::ranges(triangles_.size(), grain, [&](std::size_t begin, std::size_t end) {
            Part& part = parts[begin / grain];
            for (std::size_t f = begin; f < end; ++f)
            {
                const Vector3D& a = positions_[triangles_[f][0]];
                const Vector3D& b = positions_[triangles_[f][1]];
                const Vector3D& c = positions_[triangles_[f][2]];
                const double area = 0.5 * (b - a).cross(c - a).length();
                if (std::isfinite(area))
                    part.area += area;
                part.lower = lowest(part.lower, lowest(a, lowest(b, c)));
                part.upper = highest(part.upper, highest(a, highest(b, c)));
            }
        });
        Part all;
        for (const Part& part : parts)
        {
            all.area += part.area;
            all.lower = lowest(all.lower, part.lower);
            all.upper = highest(all.upper, part.upper);
        }
        area_ = all.area;
        lower_ = all.lower;
        upper_ = all.upper;
    }

    // Sorts the vertices into blocks for a step: cubes of a grid sized to hold about
    // blockTriangles triangles of the mesh as it now is (a surface crosses a cube of edge h in
    // about 1.5 h^2), shifted by half a cube every other step, so that the edges where blocks
    // met in one step lie within one in the next. Returns the number of blocks (of cubes in
    // the grid's box).
    std::size_t divideIntoBlocks()
    {
        const Vector3D size = upper_ - lower_;
        double cube = std::sqrt(area_ * double(blockTriangles) / (1.5 * double(aliveCount_)));
        if (!(cube > 0.0) || !std::isfinite(size.x + size.y + size.z))
            cube = std::numeric_limits<double>::infinity();
        // Not many more cubes in the box than the surface crosses (a scattered mesh would
        // otherwise make a grid of millions of empty ones).
        const double most = 64.0 * double(aliveCount_) / double(blockTriangles) + 4096.0;
        while ((size.x / cube + 2) * (size.y / cube + 2) * (size.z / cube + 2) > most)
            cube *= 1.25;
        const double shift = (++steps_ % 2) ? 0.5 * cube : 0.0;
        unsigned cells[3];
        for (int a = 0; a < 3; ++a)
            cells[a] = std::isfinite(cube) ? unsigned((size[a] + shift) / cube) + 1 : 1;
        blockOf_.resize(positions_.size());
        ParallelJobs::ranges(positions_.size(), grain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t v = begin; v < end; ++v)
            {
                unsigned cell[3];
                for (int a = 0; a < 3; ++a)
                {
                    const double q = (positions_[v][a] - lower_[a] + shift) / cube;
                    cell[a] = q > 0.0 ? unsigned(std::min(q, double(cells[a] - 1))) : 0; // also not a number
                }
                blockOf_[v] = (cell[2] * cells[1] + cell[1]) * cells[0] + cell[0];
            }
        });
        return std::size_t(cells[0]) * cells[1] * cells[2];
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
    void neighbours(unsigned v, std::vector<unsigned>& out) const
    {
        out.clear();
        for (unsigned f : incident_[v])
            for (unsigned corner : triangles_[f])
                if (corner != v && std::find(out.begin(), out.end(), corner) == out.end())
                    out.push_back(corner);
    }

    // Whether the kept vertex would have at most maximumFan triangles: those of both ends but
    // the edge's two, which both ends hold.
    bool withinFanLimit(unsigned u, unsigned v) const
    {
        return incident_[u].size() + incident_[v].size() <= maximumFan + 4;
    }

    // Whether collapsing (u, v) keeps the mesh a closed surface.
    bool linked(unsigned u, unsigned v, Scratch& scratch) const
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
        neighbours(u, scratch.ofU);
        neighbours(v, scratch.ofV);
        int common = 0;
        for (unsigned w : scratch.ofV)
            common += std::find(scratch.ofU.begin(), scratch.ofU.end(), w) != scratch.ofU.end();
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

    // Merges v into u at target, at `time`. Changes only the triangles around u and v and the
    // vertices across the edge; takes the edge's two triangles.
    void collapse(unsigned u, unsigned v, const Vector3D& target, unsigned time)
    {
        positions_[u] = target;
        quadrics_[u] += quadrics_[v];
        for (unsigned f : incident_[v])
        {
            auto& t = triangles_[f];
            if (t[0] == u || t[1] == u || t[2] == u)
            {
                alive_[f] = 0;
                for (unsigned corner : t)
                    if (corner != v)
                        incident_[corner].remove(f);
                continue;
            }
            for (unsigned& corner : t)
                if (corner == v)
                    corner = u;
            incident_[u].push_back(f);
        }
        incident_[v].reset();
        changed_[u] = time;
        changed_[v] = std::numeric_limits<unsigned>::max(); // outdates every entry of v
    }

    // The entry's edge no longer exists or has been queued again since.
    bool outdated(const Candidate& c) const
    {
        return c.time < changed_[c.u] || c.time < changed_[c.v];
    }

    // Items per job where the work is shared among the cores.
    static constexpr std::size_t grain = 16384;

    // A step takes as many of the cheapest candidates as this share of the vertices: it
    // collapses about that many, and others that these make as cheap. The smaller the share, the
    // more closely the blocks' collapses together follow the order of costs over the whole
    // mesh (an edge on a border waits less far behind), and the more steps it takes. At a
    // tenth, the results match those of one queue over the whole mesh in distance from the
    // input; at a quarter, a 600,000-triangle surface cut to a third lay half as far again.
    static constexpr double stepShare = 0.1;
    // The last step goes over the whole mesh, strictly in order: once this many collapses are
    // left, or the mesh has fewer triangles than this (where it takes only milliseconds).
    static constexpr std::size_t wholeCollapses = 1024;
    static constexpr std::size_t wholeTriangles = 16384;
    // Blocks of about this many triangles for the steps.
    static constexpr std::size_t blockTriangles = 2048;

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

    std::vector<Vector3D> positions_;
    std::vector<Quadric> quadrics_;
    std::vector<std::array<unsigned, 3>> triangles_;
    std::vector<char> alive_;
    std::size_t aliveCount_ = 0;
    std::vector<TriangleFan> incident_;
    std::vector<char> locked_;
    // changed_: the time when the vertex last moved (the count of collapses before it, in
    // its block); the largest count once it is gone.
    std::vector<unsigned> changed_;
    unsigned clock_ = 0;
    CandidateBuckets queue_;
    // The current step: its candidates, its blocks' runs, and the block of each vertex.
    std::vector<Candidate> candidates_;
    std::vector<Run> runs_;
    std::vector<unsigned> blockOf_;
    std::size_t steps_ = 0;
    bool wholeNext_ = false;
    double area_ = 0.0;
    Vector3D lower_, upper_;
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
        reducer.queueEdges();
        setProgress(0.1);
        const double needed = double(start - target_);
        // Asked from the blocks' threads.
        std::atomic<std::size_t> collapses{0};
        std::size_t before = reducer.aliveTriangles(); // at the step's start
        auto keepGoing = [&] {
            const std::size_t done = start - before + 2 * (collapses += 1024);
            setProgress(0.1 + 0.85 * std::min(1.0, double(done) / needed));
            return !isCancelRequested();
        };
        while (reducer.step(target_, keepGoing))
        {
            collapses = 0;
            before = reducer.aliveTriangles();
            setProgress(0.1 + 0.85 * double(start - reducer.aliveTriangles()) / needed);
            if (isCancelRequested())
                break;
        }
        if (isCancelRequested())
        {
            result_ = reducer.result();
            return cancelled();
        }
    }
    result_ = reducer.result();
    return true;
}
VEXA_RETHROW

}
