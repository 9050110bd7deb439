#pragma once
// Three-component vector; Vector3D is the one the whole system computes with.
#include <cmath>

namespace Vexa {

template<class T>
class Vector3
{
public:
    T x{}, y{}, z{};

    constexpr Vector3() = default;
    constexpr Vector3(T x_, T y_, T z_) : x(x_), y(y_), z(z_) {}

    // Index 0, 1, 2 for x, y, z; any other index gives z.
    constexpr T& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
    constexpr const T& operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }

    constexpr T dot(const Vector3& v) const { return x * v.x + y * v.y + z * v.z; }
    constexpr Vector3 cross(const Vector3& v) const
    {
        return Vector3(y * v.z - z * v.y, z * v.x - x * v.z, x * v.y - y * v.x);
    }
    constexpr T squaredLength() const { return dot(*this); }
    T length() const { return std::sqrt(squaredLength()); }

    // Divided by the length; a zero vector gives non-finite components.
    Vector3 getNormalized() const
    {
        const T inv = T(1) / length();
        return Vector3(x * inv, y * inv, z * inv);
    }

    // Turned right-handedly by angle (radians) about the axis through the origin. A vector
    // (almost) along the axis, or a zero axis, comes back unchanged.
    Vector3 getRotated(const Vector3& axis, const T& angle) const
    {
        const T axisLength = axis.length();
        if (!(axisLength > T(0)))
            return *this;
        const Vector3 u(axis.x / axisLength, axis.y / axisLength, axis.z / axisLength);
        const T along = u.dot(*this);
        const Vector3 offAxis(x - u.x * along, y - u.y * along, z - u.z * along);
        if (offAxis.length() < T(0.001))
            return *this;
        const T c = std::cos(angle);
        const T s = std::sin(angle);
        const Vector3 w = u.cross(*this);
        const T k = along * (T(1) - c);
        return Vector3(x * c + w.x * s + u.x * k, y * c + w.y * s + u.y * k, z * c + w.z * s + u.z * k);
    }

    constexpr Vector3& operator+=(const Vector3& v)
    {
        x += v.x; y += v.y; z += v.z;
        return *this;
    }
    constexpr Vector3& operator-=(const Vector3& v)
    {
        x -= v.x; y -= v.y; z -= v.z;
        return *this;
    }
    constexpr Vector3& operator*=(const T& s)
    {
        x *= s; y *= s; z *= s;
        return *this;
    }
};

using Vector3D = Vector3<double>;

template<class T>
constexpr Vector3<T> operator+(const Vector3<T>& a, const Vector3<T>& b)
{
    return Vector3<T>(a.x + b.x, a.y + b.y, a.z + b.z);
}

template<class T>
constexpr Vector3<T> operator-(const Vector3<T>& a, const Vector3<T>& b)
{
    return Vector3<T>(a.x - b.x, a.y - b.y, a.z - b.z);
}

template<class T>
constexpr Vector3<T> operator-(const Vector3<T>& v)
{
    return Vector3<T>(-v.x, -v.y, -v.z);
}

template<class T>
constexpr Vector3<T> operator*(const Vector3<T>& v, const T& s)
{
    return Vector3<T>(v.x * s, v.y * s, v.z * s);
}

template<class T>
constexpr Vector3<T> operator*(const T& s, const Vector3<T>& v)
{
    return Vector3<T>(v.x * s, v.y * s, v.z * s);
}

// Multiplies by the reciprocal (not a component-wise division; the last bit may differ).
template<class T>
constexpr Vector3<T> operator/(const Vector3<T>& v, const T& s)
{
    return v * (T(1) / s);
}

template<class T>
constexpr bool operator==(const Vector3<T>& a, const Vector3<T>& b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

template<class T>
constexpr bool operator!=(const Vector3<T>& a, const Vector3<T>& b)
{
    return !(a == b);
}

}
