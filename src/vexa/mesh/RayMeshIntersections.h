#pragma once
#include "vexa/math/Ray3.h"
#include "vexa/math/Vector3.h"
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <memory>
#include <vector>

namespace Vexa {

// Tests every triangle of the mesh against the ray and appends the hits in front of the
// ray's point (parameter > 0) to `points`, nearest first. Hits at the same distance (the
// ray passing through an edge or a corner shared by several triangles) are kept once, so
// that the number of hits tells inside from outside for a closed mesh. No failure: a null
// mesh adds nothing.
void getRayMeshIntersections(const Ray3<double>& ray, std::shared_ptr<IndexedTriangleMesh> mesh,
                             std::vector<Vector3D>& points);

}
