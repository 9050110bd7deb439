#pragma once
// The tracking volume of a camera: an inner mesh (quality 2), an outer mesh (quality 1), the
// whole measuring volume, two angle limits (degrees) and the camera-to-workspace matrix.
// Not changed after construction; may be read from any thread.
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"

#include <array>
#include <memory>

namespace Vexa {

class IndexedTriangleMesh;

class Workspace
{
public:
    enum Quality
    {
        Bad = 0,
        Fair = 1,
        Good = 2
    };

    static std::shared_ptr<Workspace> create(std::shared_ptr<IndexedTriangleMesh> inner,
                                             std::shared_ptr<IndexedTriangleMesh> outer,
                                             std::shared_ptr<IndexedTriangleMesh> volume, double goodAngle,
                                             double fairAngle, double thirdValue, const Vector3D& referencePoint,
                                             const Matrix44<double>& cameraToWorkspace);
    Workspace(std::shared_ptr<IndexedTriangleMesh> inner, std::shared_ptr<IndexedTriangleMesh> outer,
              std::shared_ptr<IndexedTriangleMesh> volume, double goodAngle, double fairAngle, double thirdValue,
              const Vector3D& referencePoint, const Matrix44<double>& cameraToWorkspace);

    double getGoodAngle() const { return goodAngle_; }
    double getFairAngle() const { return fairAngle_; }
    double getThirdValue() const { return thirdValue_; }
    const Vector3D& getReferencePoint() const { return referencePoint_; }
    // The inner box (minimum corner, maximum corner).
    const std::array<double, 6>& getBoundingBox() const { return innerBox_; }
    const std::array<double, 6>& getVolumeBoundingBox() const { return volumeBox_; }
    std::shared_ptr<IndexedTriangleMesh> getInnerMesh() const { return inner_; }
    std::shared_ptr<IndexedTriangleMesh> getOuterMesh() const { return outer_; }
    std::shared_ptr<IndexedTriangleMesh> getVolumeMesh() const { return volume_; }

    Vector3D toWorkspace(const Vector3D& point) const;
    Vector3D rotateToWorkspace(const Vector3D& direction) const;
    // asin of the rotated direction's x and y, in degrees (arguments clamped to [-1, 1]).
    std::array<double, 2> getExcursion(const Vector3D& direction) const;
    Quality getExcursionQuality(const Vector3D& direction) const;
    // Inside the inner mesh 2, else inside the outer mesh 1, else 0 (odd number of hits of a
    // ray along +x).
    Quality getPositionQuality(const Vector3D& position) const;

private:
    std::shared_ptr<IndexedTriangleMesh> inner_, outer_, volume_;
    double goodAngle_, fairAngle_, thirdValue_;
    std::array<double, 6> volumeBox_{}, innerBox_{};
    Matrix44<double> cameraToWorkspace_;
    Vector3D referencePoint_;
};

}
