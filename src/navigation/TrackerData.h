#pragma once
// One pose sample of one tracked tool: rotation quaternion (w, x, y, z), translation (mm),
// visible flag and the camera's error value. Every copy owns its values, so a copy handed to
// another thread is unaffected by later changes of its source.
//
// A quaternion that is zero or not finite, whose norm is off 1 by more than 1e-3, or a
// translation that is not finite, makes the sample invisible: a device reply like that carries
// no pose.
#include "navigation/TrackerDataImpl.h"
#include "vexa/math/Matrix44.h"

#include <array>
#include <memory>
#include <optional>

namespace Vexa {

using Quaternion = std::array<double, 4>; // w, x, y, z
// The nine rotation elements e0..e8 (Matrix44 elements 0, 1, 2, 4, 5, 6, 8, 9, 10).
using Rotation9 = std::array<double, 9>;

Quaternion quaternionFromRotation(const Rotation9& e);
Rotation9 rotationFromQuaternion(const Quaternion& q);
Rotation9 rotationFromEulerAngles(const Vector3D& angles);

// How far a quaternion's norm may be off 1 and still be a rotation (rounding of a device's
// fixed-point fields); further off, the reply is garbage.
inline constexpr double unitQuaternionTolerance = 1e-3;
// The quaternion scaled to norm 1, or nothing when its norm is off 1 by more than the tolerance.
std::optional<Quaternion> unitQuaternion(const Quaternion& q);

class TrackerData
{
public:
    TrackerData();
    TrackerData(const Vector3D& angles, const Vector3D& translation, double error, bool visible);
    TrackerData(const Matrix44<double>& transform, double error, bool visible);
    TrackerData(const TrackerData& other);
    TrackerData& operator=(const TrackerData& other);
    // Exchanges the values without allocating.
    void swap(TrackerData& other) noexcept { impl_.swap(other.impl_); }

    void setRotation(const Quaternion& rotation);
    void setTranslation(const Vector3D& translation);
    // False also for a sample whose numbers carry no pose (see above).
    bool isVisible() const;
    void setVisible(bool visible) { impl_->visible = visible; }
    double getError() const { return impl_->error; }
    void setError(double error) { impl_->error = error; }
    // Which delivery of a camera this sample is: a number that `Tracker::setTrackerData` gives
    // every sample a camera hands over, never the same twice in the process; 0 for a sample that
    // no camera delivered (made by hand, read from a file, a tick's stand-in while the camera
    // does not run). Two copies of one delivery have the same number, two deliveries of equal
    // values do not. Not part of the values: `isEqual` ignores it.
    std::uint64_t getDelivery() const { return impl_->delivery; }
    void setDelivery(std::uint64_t delivery) { impl_->delivery = delivery; }
    // Replaces quaternion and translation; visible and error stay.
    void setTransform(const Matrix44<double>& transform);
    // Rotation through the Euler angles of the quaternion's rotation, translation. The angles
    // keep the whole rotation at every pitch, +-90 degrees included.
    Matrix44<double> getTransform() const;
    // Both visible, translations closer than tolerance and every quaternion component strictly
    // within tolerance.
    bool isEqual(const TrackerData& other, double tolerance) const;
    bool operator==(const TrackerData& other) const { return isEqual(other, 0.001); }

private:
    std::unique_ptr<TrackerDataImpl> impl_;
};

}
