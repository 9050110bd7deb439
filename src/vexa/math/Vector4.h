#pragma once
// Four-component vector (a colour as red, green, blue, alpha in the displays).

namespace Vexa {

template<class T>
class Vector4
{
public:
    T x{}, y{}, z{}, w{};

    constexpr Vector4() = default;
    constexpr Vector4(T x_, T y_, T z_, T w_) : x(x_), y(y_), z(z_), w(w_) {}

    // Index 0..3 for x, y, z, w; any other index gives w.
    constexpr T& operator[](int i) { return i == 0 ? x : (i == 1 ? y : (i == 2 ? z : w)); }
    constexpr const T& operator[](int i) const { return i == 0 ? x : (i == 1 ? y : (i == 2 ? z : w)); }
};

template<class T>
constexpr bool operator==(const Vector4<T>& a, const Vector4<T>& b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w;
}

template<class T>
constexpr bool operator!=(const Vector4<T>& a, const Vector4<T>& b)
{
    return !(a == b);
}

// True for the same object, else when every component of b lies strictly within tolerance of a's.
template<class T>
constexpr bool isEqual(const Vector4<T>& a, const Vector4<T>& b, T tolerance)
{
    if (&a == &b)
        return true;
    for (int i = 0; i < 4; ++i)
        if (!(a[i] - tolerance < b[i] && b[i] < a[i] + tolerance))
            return false;
    return true;
}

}
