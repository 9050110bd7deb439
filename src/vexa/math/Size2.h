#pragma once
// A width and a height (millimetres for slices).

namespace Vexa {

template<class T>
class Size2
{
public:
    T width{}, height{};

    constexpr Size2() = default;
    constexpr Size2(T width_, T height_) : width(width_), height(height_) {}

    constexpr T getWidth() const { return width; }
    constexpr T getHeight() const { return height; }
};

template<class T>
constexpr bool operator==(const Size2<T>& a, const Size2<T>& b)
{
    return a.width == b.width && a.height == b.height;
}

template<class T>
constexpr bool operator!=(const Size2<T>& a, const Size2<T>& b)
{
    return !(a == b);
}

}
