#include "navigation/Workspace.h"

#include "vexa/math/Ray3.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/RayMeshIntersections.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace Vexa {

namespace {

std::array<double, 6> boxOf(const std::shared_ptr<IndexedTriangleMesh>& mesh)
{
    return mesh ? mesh->getBoundingBox() : std::array<double, 6>{};
}

bool isInside(const std::shared_ptr<IndexedTriangleMesh>& mesh, const Vector3D& p)
{
    std::vector<Vector3D> hits;
    getRayMeshIntersections(Ray3<double>(p, Vector3D(1, 0, 0)), mesh, hits);
    return hits.size() % 2 == 1;
}

}

std::shared_ptr<Workspace> Workspace::create(std::shared_ptr<IndexedTriangleMesh> inner,
                                             std::shared_ptr<IndexedTriangleMesh> outer,
                                             std::shared_ptr<IndexedTriangleMesh> volume, double goodAngle,
                                             double fairAngle, double thirdValue, const Vector3D& referencePoint,
                                             const Matrix44<double>& cameraToWorkspace)
{
    return std::make_shared<Workspace>(std::move(inner), std::move(outer), std::move(volume), goodAngle, fairAngle,
                                       thirdValue, referencePoint, cameraToWorkspace);
}

Workspace::Workspace(std::shared_ptr<IndexedTriangleMesh> inner, std::shared_ptr<IndexedTriangleMesh> outer,
                     std::shared_ptr<IndexedTriangleMesh> volume, double goodAngle, double fairAngle,
                     double thirdValue, const Vector3D& referencePoint, const Matrix44<double>& cameraToWorkspace)
    : inner_(std::move(inner)), outer_(std::move(outer)), volume_(std::move(volume)), goodAngle_(goodAngle),
      fairAngle_(fairAngle), thirdValue_(thirdValue), volumeBox_(boxOf(volume_)), innerBox_(boxOf(inner_)),
      cameraToWorkspace_(cameraToWorkspace), referencePoint_(referencePoint)
{
}

Vector3D Workspace::toWorkspace(const Vector3D& point) const
{
    return cameraToWorkspace_ * point;
}

Vector3D Workspace::rotateToWorkspace(const Vector3D& direction) const
{
    return cameraToWorkspace_.rotate(direction);
}

std::array<double, 2> Workspace::getExcursion(const Vector3D& direction) const
{
    const Vector3D r = rotateToWorkspace(direction);
    constexpr double degrees = 57.29577951308232;
    return {std::asin(std::clamp(r.x, -1.0, 1.0)) * degrees, std::asin(std::clamp(r.y, -1.0, 1.0)) * degrees};
}

Workspace::Quality Workspace::getExcursionQuality(const Vector3D& direction) const
{
    const auto a = getExcursion(direction);
    const double e = std::sqrt(a[0] * a[0] + a[1] * a[1]);
    if (e < goodAngle_)
        return Good;
    return e < fairAngle_ ? Fair : Bad;
}

Workspace::Quality Workspace::getPositionQuality(const Vector3D& position) const
{
    const Vector3D p = toWorkspace(position);
    if (isInside(inner_, p))
        return Good;
    return isInside(outer_, p) ? Fair : Bad;
}

}
