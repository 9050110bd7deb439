#pragma once
// Free geometric functions on the math types.
#include "vexa/math/Line3.h"
#include "vexa/math/Matrix44.h"
#include "vexa/math/Plane.h"
#include "vexa/math/Ray3.h"
#include "vexa/math/Triangle3.h"
#include "vexa/math/Vector3.h"

namespace Vexa {

// Orthogonal projection of p onto the line: point + direction (direction . (p - point)),
// exact for a unit direction.
Vector3D getNearestPoint(const Line3<double>& line, const Vector3D& p);

// |p - getNearestPoint(line, p)|.
double getDistance(const Line3<double>& line, const Vector3D& p);

// Result codes of the line/line intersection.
enum LineIntersection
{
    LinesSkew = 0,     // output: midpoint of the closest points
    LinesCrossing = 1, // output: the crossing point
    LinesParallel = 2  // output left as it was
};

// Two lines (directions not necessarily unit). Parallel (2) when |d1 x d2|^2 < 0.001; else the
// closest points P1, P2; when they lie within 0.001 of each other out := P1 and 1, else out :=
// their midpoint and 0.
int getIntersection(const Line3<double>& first, const Line3<double>& second, Vector3D& out);

// Perpendicular projection of p onto the plane; the zero vector when the plane has no normal.
Vector3D projectOntoPlane(const Plane<double>& plane, const Vector3D& p);

// Intersection of the ray's whole line with the triangle (t may be negative; edges count as
// inside). On a hit sets t (point = ray point + t ray direction) and the point.
bool intersects(const Ray3<double>& ray, const Triangle3<double>& triangle, double& t, Vector3D& point);

// |a - b| strictly below the tolerance: true for the same object or |a - b|^2 < tolerance^2.
bool isEqual(const Vector3D& a, const Vector3D& b, double tolerance);

// a - tolerance < b < a + tolerance.
bool isEqual(double a, double b, double tolerance);

// Frame with x towards xPoint, z = normalize((planePoint - origin) x (xPoint - origin)),
// y = z x x, translation origin.
Matrix44<double> createCoordinateSystem(const Vector3D& origin, const Vector3D& xPoint, const Vector3D& planePoint);

}
