#include "views/ContourCache.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Geometry.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/slice/Slice.h"

#include <cmath>

const Vexa::Contour* ContourCache::contourFor(const Vexa::Slice& slice,
                                              const std::shared_ptr<Vexa::IndexedTriangleMesh>& mesh,
                                              const Vexa::Matrix44<double>& transform) try
{
    if (!mesh)
        return nullptr;
    const Vexa::Matrix44<double> frame = slice.getTransform();
    Vexa::Plane<double> plane(frame.getTranslation(), frame.getColumn(2));
    plane.transform(Vexa::inverse(transform));

    const auto& box = mesh->getBoundingBox();
    int above = 0;
    for (int i = 0; i < 8; ++i) {
        const Vexa::Vector3D corner(box[(i & 1) ? 3 : 0], box[(i & 2) ? 4 : 1], box[(i & 4) ? 5 : 2]);
        if ((corner - plane.getPoint()).dot(plane.getNormal()) > 0.001)
            ++above;
    }
    if (above == 0 || above == 8)
        return nullptr;

    const Vexa::Vector3D center((box[0] + box[3]) * 0.5, (box[1] + box[4]) * 0.5, (box[2] + box[5]) * 0.5);
    for (const auto& [key, contour] : entries_)
        if (key.mesh == mesh && (key.plane.getNormal() - plane.getNormal()).length() < 0.001 &&
            std::abs(key.plane.getDistance() - plane.getDistance()) < 0.001 && (key.center - center).length() < 0.001)
            return &contour;

    if (entries_.size() >= limit)
        entries_.pop_back();
    ++cuts_;
    entries_.emplace_front(ContourDescriptor{plane, center, mesh}, mesh->intersects(plane));
    return &entries_.front().second;
}
VEXA_RETHROW
