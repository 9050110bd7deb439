#include "navigation/TrackerData.h"

#include <cmath>

namespace Vexa {

Quaternion quaternionFromRotation(const Rotation9& e)
{
    const double t = e[0] + e[4] + e[8];
    double w, x, y, z;
    auto xBranch = [&] {
        const double r = std::sqrt(e[0] - (e[4] + e[8]) + 1.0), s = 0.5 / r;
        x = 0.5 * r; w = (e[5] - e[7]) * s; y = (e[3] + e[1]) * s; z = (e[6] + e[2]) * s;
    };
    auto yBranch = [&] {
        const double r = std::sqrt(e[4] - (e[0] + e[8]) + 1.0), s = 0.5 / r;
        y = 0.5 * r; w = (e[6] - e[2]) * s; x = (e[3] + e[1]) * s; z = (e[7] + e[5]) * s;
    };
    auto zBranch = [&] {
        const double r = std::sqrt(e[8] - (e[4] + e[0]) + 1.0), s = 0.5 / r;
        z = 0.5 * r; w = (e[1] - e[3]) * s; x = (e[6] + e[2]) * s; y = (e[7] + e[5]) * s;
    };
    if (t > 0.0) {
        const double r = std::sqrt(t + 1.0), s = 0.5 / r;
        w = 0.5 * r; x = (e[5] - e[7]) * s; y = (e[6] - e[2]) * s; z = (e[1] - e[3]) * s;
    } else if (e[4] > e[0]) {
        if (e[8] > e[4]) zBranch(); else yBranch();
    } else {
        if (e[8] > e[0]) zBranch(); else xBranch();
    }
    return {w, x, y, z};
}

Rotation9 rotationFromQuaternion(const Quaternion& q)
{
    const double w = q[0], x = q[1], y = q[2], z = q[3];
    const double s = 2.0 / (w * w + x * x + y * y + z * z);
    return {1 - s * (y * y + z * z), s * (x * y + w * z), s * (x * z - w * y),
            s * (x * y - w * z),     1 - s * (x * x + z * z), s * (y * z + w * x),
            s * (x * z + w * y),     s * (y * z - w * x),     1 - s * (x * x + y * y)};
}

Rotation9 rotationFromEulerAngles(const Vector3D& angles)
{
    const Matrix44<double> m(angles, Vector3D());
    return {m[0], m[1], m[2], m[4], m[5], m[6], m[8], m[9], m[10]};
}

namespace {

Rotation9 rotationOf(const Matrix44<double>& m)
{
    return {m[0], m[1], m[2], m[4], m[5], m[6], m[8], m[9], m[10]};
}

double norm(const Quaternion& q)
{
    return std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
}

bool carriesPose(const TrackerDataImpl& impl)
{
    const double n = norm(impl.rotation);
    return std::isfinite(n) && n > 1e-12 && std::isfinite(impl.translation.squaredLength());
}

// The Euler angles (a, b, c) of a rotation, e = Rz(c) Ry(b) Rx(a) read row by row. The pitch
// b comes from atan2, exact near +-90 degrees where asin loses half the digits; c from the
// first column; a from what is left once c and b are undone, so that a c made uncertain by a
// vanishing cos b is taken up by a and the angles still give the whole rotation back. At the
// singular pitch itself the whole turn about the pitch axis goes into a.
Vector3D eulerAngles(const Rotation9& e)
{
    const double cosB = std::hypot(e[0], e[3]);
    const double b = std::atan2(-e[6], cosB);
    const double c = cosB > 1e-12 ? std::atan2(e[3], e[0]) : 0.0;
    const double sb = std::sin(b), cb = std::cos(b), sc = std::sin(c), cc = std::cos(c);
    const double a = std::atan2(sb * (cc * e[1] + sc * e[4]) + cb * e[7], cc * e[4] - sc * e[1]);
    return Vector3D(a, b, c);
}

}

std::optional<Quaternion> unitQuaternion(const Quaternion& q)
{
    const double n = norm(q);
    if (!std::isfinite(n) || std::abs(n - 1.0) > unitQuaternionTolerance)
        return std::nullopt;
    return Quaternion{q[0] / n, q[1] / n, q[2] / n, q[3] / n};
}

TrackerData::TrackerData() : impl_(std::make_unique<TrackerDataImpl>()) {}

TrackerData::TrackerData(const Vector3D& angles, const Vector3D& translation, double error, bool visible)
    : TrackerData()
{
    impl_->rotation = quaternionFromRotation(rotationFromEulerAngles(angles));
    impl_->translation = translation;
    impl_->error = error;
    impl_->visible = visible;
}

TrackerData::TrackerData(const Matrix44<double>& transform, double error, bool visible) : TrackerData()
{
    setTransform(transform);
    impl_->error = error;
    impl_->visible = visible;
}

TrackerData::TrackerData(const TrackerData& other) : impl_(std::make_unique<TrackerDataImpl>(*other.impl_)) {}

TrackerData& TrackerData::operator=(const TrackerData& other)
{
    if (this != &other)
        impl_ = std::make_unique<TrackerDataImpl>(*other.impl_);
    return *this;
}

void TrackerData::setRotation(const Quaternion& rotation)
{
    impl_->rotation = rotation;
}

void TrackerData::setTranslation(const Vector3D& translation)
{
    impl_->translation = translation;
}

bool TrackerData::isVisible() const
{
    return impl_->visible && carriesPose(*impl_) && unitQuaternion(impl_->rotation).has_value();
}

void TrackerData::setTransform(const Matrix44<double>& transform)
{
    impl_->rotation = quaternionFromRotation(rotationOf(transform));
    impl_->translation = transform.getTranslation();
}

Matrix44<double> TrackerData::getTransform() const
{
    if (!carriesPose(*impl_))
        return Matrix44<double>();
    return Matrix44<double>(eulerAngles(rotationFromQuaternion(impl_->rotation)), impl_->translation);
}

bool TrackerData::isEqual(const TrackerData& other, double tolerance) const
{
    if (!isVisible() || !other.isVisible())
        return false;
    if ((impl_->translation - other.impl_->translation).squaredLength() >= tolerance * tolerance)
        return false;
    for (int i = 0; i < 4; ++i) {
        const double a = impl_->rotation[i], b = other.impl_->rotation[i];
        if (!(a - tolerance < b && b < a + tolerance))
            return false;
    }
    return true;
}

}
