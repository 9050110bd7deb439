#pragma once
// The outlines of meshes on slice planes, cached: cutting a mesh is the costly part of drawing
// implants and nerve tubes, and most paints cut the same meshes by the same planes again.
// Keyed by the plane in mesh coordinates (normal and distance term within 0.001), the centre of
// the mesh's box and the mesh object; newest first, at most `limit` contours.
#include "vexa/math/Contour.h"
#include "vexa/math/Matrix44.h"
#include "vexa/math/Plane.h"

#include <list>
#include <memory>

namespace Vexa {
class IndexedTriangleMesh;
class Slice;
}

class ContourCache
{
public:
    static constexpr std::size_t limit = 100;

    struct ContourDescriptor
    {
        Vexa::Plane<double> plane; // in mesh coordinates
        Vexa::Vector3D center;     // of the mesh's bounding box
        std::shared_ptr<Vexa::IndexedTriangleMesh> mesh;
    };

    // The mesh's segments (in mesh coordinates) on the slice's plane, the mesh placed in the
    // world by the rigid transform; null when the plane misses the mesh's box (all eight
    // corners on one side, "above" meaning more than 0.001 mm above).
    const Vexa::Contour* contourFor(const Vexa::Slice& slice, const std::shared_ptr<Vexa::IndexedTriangleMesh>& mesh,
                                    const Vexa::Matrix44<double>& transform);

    std::size_t size() const { return entries_.size(); }
    // Meshes cut so far (cache misses).
    unsigned long cuts() const { return cuts_; }

private:
    std::list<std::pair<ContourDescriptor, Vexa::Contour>> entries_;
    unsigned long cuts_ = 0;
};
