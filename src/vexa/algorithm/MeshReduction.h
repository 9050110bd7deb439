#pragma once
// Mesh reduction job: cuts a closed triangle mesh down to a target number of triangles by
// quadric-error edge collapses (each edge is merged into the point that least changes the
// planes of the surface around it, cheapest first).
//
// Every collapse keeps the mesh a closed 2-manifold: it must pass the link condition (the
// two ends share no neighbour besides the two across the edge) and must not turn any
// triangle around it over. No collapse leaves more than 16 triangles around a vertex (flat
// stretches would otherwise gather into one vertex with hundreds of needles around it). Edges
// that touch a hole or a non-manifold spot of the input are left alone, so such meshes are
// reduced where they are sound and kept as they are elsewhere. The result has area-weighted
// vertex normals and draws from float arrays.
//
// Collapses go strictly in the order of their costs, on all cores for large meshes: in steps,
// each of which collapses, block by block of space, everything up to a cost that all blocks
// share. The result does not depend on the number of cores and is the same on every run.
#include "vexa/algorithm/AbstractAlgorithm.h"
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <cstddef>
#include <memory>

namespace Vexa {

class MeshReduction : public AbstractAlgorithm
{
public:
    // Enough detail for a jaw model that the 3D view can still draw in a few parts.
    static constexpr std::size_t defaultTargetTriangleCount = 200000;

    MeshReduction(std::shared_ptr<const IndexedTriangleMesh> mesh,
                  std::size_t targetTriangleCount = defaultTargetTriangleCount);

    bool start() override;

    // After a completed `start`: the reduced mesh, never with fewer triangles than the target
    // (but for those that repeat a corner, which it always drops): the target or one more (each
    // collapse takes two), or more when no further collapse is allowed. After a cancelled one: the mesh as far as it got, which is just as closed and
    // valid. Empty before and after a failure.
    std::shared_ptr<IndexedTriangleMesh> getResult() const { return result_; }

private:
    bool reduce();

    std::shared_ptr<const IndexedTriangleMesh> mesh_;
    std::size_t target_;
    std::shared_ptr<IndexedTriangleMesh> result_;
};

}
