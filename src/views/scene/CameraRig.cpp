#include "views/scene/CameraRig.h"

#include "vexa/math/Box3.h"

#include <algorithm>
#include <cmath>
#include <numbers>

using Vexa::Matrix44;
using Vexa::Vector3D;

namespace {

Matrix44<double> rotation(const Vector3D& axis, double radians)
{
    Matrix44<double> r;
    r.setRotation(axis, radians);
    return r;
}

Matrix44<double> translation(const Vector3D& t)
{
    return Matrix44<double>(t);
}

double finiteClamped(double v, double limit)
{
    return std::isfinite(v) ? std::clamp(v, -limit, limit) : 0.0;
}

Vector3D unit(const Vector3D& v, const Vector3D& fallback)
{
    const double length = v.length();
    return length > 1e-12 && std::isfinite(length) ? v / length : fallback;
}

constexpr double degree = std::numbers::pi / 180.0;

}

Matrix44<double> CameraRig::resetPose(const Vector3D& center)
{
    const Vector3D eye(center.x, center.y - eyeDistance, center.z);
    const Vector3D z = (center - eye).getNormalized();
    const Vector3D x = z.cross(Vector3D(0.0, 0.0, 1.0));
    return Matrix44<double>(x, Vector3D(0.0, 0.0, 1.0), z, eye);
}

std::pair<double, double> CameraRig::dragSpeed(int dx, int dy, int width, int height)
{
    const double sx = dx * 15.0 / std::max(width, 1);
    const double sy = dy * 15.0 / std::max(height, 1);
    return {sx * std::abs(sx), sy * std::abs(sy)};
}

CameraRig::Action CameraRig::actionFor(unsigned buttons)
{
    const bool left = buttons & LeftButton, right = buttons & RightButton, middle = buttons & MiddleButton;
    if (left && right)
        return Action::Dolly;
    if (left)
        return Action::Pan;
    if (right)
        return Action::Orbit;
    return middle ? Action::Dolly : Action::None;
}

Matrix44<double> CameraRig::orthonormalized(const Matrix44<double>& camera)
{
    // Gram-Schmidt from the viewing direction: the frame is left-handed, which the library's
    // right-handed orthonormalisation would turn into a mirror image.
    const Vector3D z = unit(camera.getColumn(2), Vector3D(0.0, 1.0, 0.0));
    Vector3D y = camera.getColumn(1);
    y = unit(y - z * y.dot(z), std::abs(z.z) < 0.9 ? Vector3D(0.0, 0.0, 1.0) : Vector3D(1.0, 0.0, 0.0));
    y = unit(y - z * y.dot(z), y);
    Vector3D x = z.cross(y); // the left-handed x
    if (x.dot(camera.getColumn(0)) < 0.0)
        x = -x;
    return Matrix44<double>(x, y, z, camera.getTranslation());
}

Matrix44<double> CameraRig::dragTick(const Matrix44<double>& camera, unsigned buttons, double speedX, double speedY,
                                     const Vector3D& center)
{
    Matrix44<double> c = orthonormalized(camera);
    const Vector3D x = c.getColumn(0), y = c.getColumn(1), z = c.getColumn(2);
    switch (actionFor(buttons)) {
    case Action::Pan:
        return translation(x * -speedX + y * speedY) * c;
    case Action::Dolly:
        return translation(z * speedX) * c;
    case Action::Orbit: {
        c.setTranslation(c.getTranslation() - center);
        c = rotation(c.getColumn(1), -speedX * degree) * c;
        c = rotation(c.getColumn(0), -speedY * degree) * c;
        c.setTranslation(c.getTranslation() + center);
        return c;
    }
    case Action::None:
        break;
    }
    return c;
}

Matrix44<double> CameraRig::spaceballMotion(const Matrix44<double>& camera, Vector3D t, Vector3D r,
                                            const Vector3D& center)
{
    const double pi = std::numbers::pi;
    r = Vector3D(finiteClamped(r.x, pi), finiteClamped(r.y, pi), finiteClamped(r.z, pi));
    t = Vector3D(finiteClamped(t.x, maxSpaceballTranslation), finiteClamped(t.y, maxSpaceballTranslation),
                 finiteClamped(t.z, maxSpaceballTranslation));
    Matrix44<double> c = camera;
    c.setTranslation(c.getTranslation() - center);
    const Vector3D x0 = c.getColumn(0), y0 = c.getColumn(1), z0 = c.getColumn(2);
    c = rotation(x0, -r.x) * c;
    c = rotation(y0, -r.y) * c;
    c = rotation(z0, -r.z) * c;
    c.setTranslation(c.getTranslation() + center);
    c = orthonormalized(c);
    const Vector3D x = c.getColumn(0), y = c.getColumn(1), z = c.getColumn(2);
    c.setTranslation(c.getTranslation() + x * t.x - y * t.y - z * t.z);
    return c;
}

double CameraRig::aspectRatio(int width, int height)
{
    return double(std::max(width, 0)) / double(std::max(height, 1));
}

std::array<double, 16> CameraRig::projection(const Matrix44<double>& camera, double aspect)
{
    // gluPerspective
    const double f = 1.0 / std::tan(fieldOfView * degree / 2.0);
    const double a = aspect > 0.0 ? aspect : 1.0;
    std::array<double, 16> p{};
    p[0] = f / a;
    p[5] = f;
    p[10] = (farPlane + nearPlane) / (nearPlane - farPlane);
    p[11] = -1.0;
    p[14] = 2.0 * farPlane * nearPlane / (nearPlane - farPlane);
    // gluLookAt(eye, eye + z, y): rows s, u, -f, then the eye moved to the origin.
    const Vector3D eye = camera.getTranslation();
    const Vector3D fw = camera.getColumn(2).getNormalized();
    const Vector3D s = fw.cross(camera.getColumn(1)).getNormalized();
    const Vector3D u = s.cross(fw);
    const double v[16] = {s.x, u.x, -fw.x, 0, s.y, u.y, -fw.y, 0, s.z, u.z, -fw.z, 0,
                          -s.dot(eye), -u.dot(eye), fw.dot(eye), 1};
    std::array<double, 16> r{};
    for (int c = 0; c < 4; ++c)
        for (int row = 0; row < 4; ++row)
            for (int k = 0; k < 4; ++k)
                r[row + 4 * c] += p[row + 4 * k] * v[k + 4 * c];
    return r;
}

std::array<Vector3D, 15> CameraRig::testPoints(const Vector3D& min, const Vector3D& max)
{
    const Vexa::Box3<double> box({min, max});
    std::array<Vector3D, 15> points;
    for (int i = 0; i < 8; ++i)
        points[i] = box.getCorner(i);
    points[8] = box.getCenter();
    for (unsigned face = 0; face < 6; ++face) {
        Vexa::Rectangle3<double> rectangle;
        box.getFace(rectangle, face);
        points[9 + face] = rectangle.getCenter();
    }
    return points;
}

CameraRig::Depths CameraRig::projectDepths(const std::array<Vector3D, 15>& points, const Matrix44<double>& camera,
                                           double aspect)
{
    const std::array<double, 16> m = projection(camera, aspect);
    Depths d;
    double sum = 0.0;
    for (const Vector3D& p : points) {
        double clip[4];
        for (int row = 0; row < 4; ++row)
            clip[row] = m[row] * p.x + m[row + 4] * p.y + m[row + 8] * p.z + m[row + 12];
        const double w = clip[3];
        if (!(w > 0.0) || std::abs(clip[0]) > w || std::abs(clip[1]) > w || std::abs(clip[2]) > w)
            continue;
        ++d.inside;
        sum += 0.5 * clip[2] / w + 0.5;
    }
    if (d.inside > 0)
        d.meanDepth = sum / d.inside;
    return d;
}
