#include "vexa/math/Geometry.h"

#include <cmath>

namespace Vexa {

Vector3D getNearestPoint(const Line3<double>& line, const Vector3D& p)
{
    return line.point + line.direction * line.direction.dot(p - line.point);
}

double getDistance(const Line3<double>& line, const Vector3D& p)
{
    return (p - getNearestPoint(line, p)).length();
}

int getIntersection(const Line3<double>& first, const Line3<double>& second, Vector3D& out)
{
    const Vector3D& p1 = first.point;
    const Vector3D& d1 = first.direction;
    const Vector3D& p2 = second.point;
    const Vector3D& d2 = second.direction;
    const Vector3D c = d1.cross(d2);
    const double cc = c.squaredLength();
    if (cc > -0.001 && cc < 0.001)
        return LinesParallel;
    // det(a, b, c) = a . (b x c)
    const Vector3D w = p2 - p1;
    const double s = w.dot(d2.cross(c)) / cc;
    const double t = w.dot(d1.cross(c)) / cc;
    const Vector3D q1 = p1 + d1 * s;
    const Vector3D q2 = p2 + d2 * t;
    if (isEqual(q1, q2, 0.001))
    {
        out = q1;
        return LinesCrossing;
    }
    out = (q1 + q2) * 0.5;
    return LinesSkew;
}

Vector3D projectOntoPlane(const Plane<double>& plane, const Vector3D& p)
{
    const Vector3D& n = plane.getNormal();
    const double nn = n.squaredLength();
    if (!(nn > 0.0) || !std::isfinite(nn))
        return Vector3D();
    return p - n * (n.dot(p - plane.getPoint()) / nn);
}

bool intersects(const Ray3<double>& ray, const Triangle3<double>& triangle, double& t, Vector3D& point)
{
    // Moller-Trumbore on the whole line.
    const Vector3D e1 = triangle[1] - triangle[0];
    const Vector3D e2 = triangle[2] - triangle[0];
    const Vector3D h = ray.direction.cross(e2);
    const double det = e1.dot(h);
    // Relative to the sizes involved, so that millimetre and micrometre triangles behave alike.
    const double scale = e1.length() * e2.length() * ray.direction.length();
    if (!(std::fabs(det) > 1e-12 * scale))
        return false;
    const double inv = 1.0 / det;
    const Vector3D s = ray.point - triangle[0];
    const double u = s.dot(h) * inv;
    constexpr double edgeTolerance = 1e-9;
    if (u < -edgeTolerance || u > 1.0 + edgeTolerance)
        return false;
    const Vector3D q = s.cross(e1);
    const double v = ray.direction.dot(q) * inv;
    if (v < -edgeTolerance || u + v > 1.0 + edgeTolerance)
        return false;
    t = e2.dot(q) * inv;
    point = ray.point + ray.direction * t;
    return true;
}

bool isEqual(const Vector3D& a, const Vector3D& b, double tolerance)
{
    if (&a == &b)
        return true;
    return (a - b).squaredLength() < tolerance * tolerance;
}

bool isEqual(double a, double b, double tolerance)
{
    const double d = a - b;
    return -tolerance < d && d < tolerance;
}

Matrix44<double> createCoordinateSystem(const Vector3D& origin, const Vector3D& xPoint, const Vector3D& planePoint)
{
    const Vector3D toX = xPoint - origin;
    const Vector3D x = toX.getNormalized();
    const Vector3D z = (planePoint - origin).cross(toX).getNormalized();
    const Vector3D y = z.cross(x);
    return Matrix44<double>(x, y, z, origin);
}

}
