#pragma once
// 4x4 transform, column-major (element r + 4c), translation in elements 12..14.
#include "vexa/math/Vector3.h"

#include <charconv>
#include <cmath>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace Vexa {

template<class T>
class Matrix44
{
public:
    // Identity.
    constexpr Matrix44() : m_{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1} {}

    // Columns 0..2 the axes, column 3 the translation, bottom row (0, 0, 0, 1).
    constexpr Matrix44(const Vector3<T>& xAxis, const Vector3<T>& yAxis, const Vector3<T>& zAxis,
                       const Vector3<T>& translation)
        : m_{xAxis.x, xAxis.y, xAxis.z, 0, yAxis.x, yAxis.y, yAxis.z, 0,
             zAxis.x, zAxis.y, zAxis.z, 0, translation.x, translation.y, translation.z, 1}
    {
    }

    // Identity with the given translation.
    constexpr explicit Matrix44(const Vector3<T>& translation) : Matrix44()
    {
        setTranslation(translation);
    }

    // Rotation from the angles a, b, c (radians) as the tracker angles define it, element by
    // element; getEulerAngles of Matrix33 gives the angles back.
    Matrix44(const Vector3<T>& angles, const Vector3<T>& translation) : Matrix44()
    {
        const T ca = std::cos(angles.x), sa = std::sin(angles.x);
        const T cb = std::cos(angles.y), sb = std::sin(angles.y);
        const T cc = std::cos(angles.z), sc = std::sin(angles.z);
        m_[0] = cc * cb;
        m_[1] = cc * sb * sa - sc * ca;
        m_[2] = cc * sb * ca + sc * sa;
        m_[4] = sc * cb;
        m_[5] = sc * sb * sa + cc * ca;
        m_[6] = sc * sb * ca - cc * sa;
        m_[8] = -sb;
        m_[9] = cb * sa;
        m_[10] = cb * ca;
        setTranslation(translation);
    }

    // The 16 elements in storage (column-major) order.
    explicit Matrix44(const T* elements)
    {
        for (int i = 0; i < 16; ++i)
            m_[i] = elements[i];
    }

    constexpr T& operator[](int i) { return m_[i]; }
    constexpr const T& operator[](int i) const { return m_[i]; }
    constexpr T* data() { return m_; }
    constexpr const T* data() const { return m_; }

    // Elements 4c..4c+2.
    constexpr Vector3<T> getColumn(int c) const { return Vector3<T>(m_[4 * c], m_[4 * c + 1], m_[4 * c + 2]); }
    constexpr void setColumn(int c, const Vector3<T>& v)
    {
        m_[4 * c] = v.x;
        m_[4 * c + 1] = v.y;
        m_[4 * c + 2] = v.z;
    }
    constexpr Vector3<T> getTranslation() const { return getColumn(3); }
    constexpr void setTranslation(const Vector3<T>& t) { setColumn(3, t); }

    // A direction through the rotation (linear) part only.
    constexpr Vector3<T> rotate(const Vector3<T>& v) const
    {
        return Vector3<T>(m_[0] * v.x + m_[4] * v.y + m_[8] * v.z,
                          m_[1] * v.x + m_[5] * v.y + m_[9] * v.z,
                          m_[2] * v.x + m_[6] * v.y + m_[10] * v.z);
    }

    // In-place inverse of a rigid transform: rotation transposed, translation := -R^T t.
    // Elements 3, 7, 11 and 15 stay as they are.
    constexpr void invert()
    {
        swap(m_[1], m_[4]);
        swap(m_[2], m_[8]);
        swap(m_[6], m_[9]);
        const Vector3<T> t = rotate(getTranslation());
        setTranslation(-t);
    }

    // *this := *this x m.
    constexpr Matrix44& operator*=(const Matrix44& m)
    {
        T r[16];
        for (int c = 0; c < 4; ++c)
            for (int row = 0; row < 4; ++row)
            {
                T sum = 0;
                for (int k = 0; k < 4; ++k)
                    sum += m_[row + 4 * k] * m.m_[k + 4 * c];
                r[row + 4 * c] = sum;
            }
        for (int i = 0; i < 16; ++i)
            m_[i] = r[i];
        return *this;
    }

    // Rotation part := the unit axes turned right-handedly about axis by angle (radians);
    // the other elements stay.
    void setRotation(const Vector3<T>& axis, const T& angle)
    {
        setColumn(0, Vector3<T>(1, 0, 0).getRotated(axis, angle));
        setColumn(1, Vector3<T>(0, 1, 0).getRotated(axis, angle));
        setColumn(2, Vector3<T>(0, 0, 1).getRotated(axis, angle));
    }

    // Makes the rotation part orthonormal and right-handed, keeping the direction of axis
    // 1 (x), 2 (y) or 3 (z); bottom row := (0, 0, 0, 1); the translation stays.
    void orthonormalize(int axisToKeep)
    {
        Vector3<T> x = getColumn(0), y = getColumn(1), z = getColumn(2);
        // An axis parallel to the kept one (or zero) defines no plane: any perpendicular will do.
        switch (axisToKeep)
        {
        case 1:
            x = unitOr(x, Vector3<T>(1, 0, 0));
            z = unitOr(x.cross(y), perpendicularTo(x));
            y = z.cross(x);
            break;
        case 2:
            y = unitOr(y, Vector3<T>(0, 1, 0));
            x = unitOr(y.cross(z), perpendicularTo(y));
            z = x.cross(y);
            break;
        case 3:
            z = unitOr(z, Vector3<T>(0, 0, 1));
            y = unitOr(z.cross(x), perpendicularTo(z));
            x = y.cross(z);
            break;
        default:
            throw std::runtime_error("Matrix44::orthonormalize: the axis to keep must be 1, 2 or 3");
        }
        setColumn(0, x);
        setColumn(1, y);
        setColumn(2, z);
        m_[3] = m_[7] = m_[11] = 0;
        m_[15] = 1;
    }

private:
    static Vector3<T> unitOr(const Vector3<T>& v, const Vector3<T>& fallback)
    {
        const T length = v.length();
        return length > T(0) && std::isfinite(length) ? v / length : fallback;
    }

    // A unit vector perpendicular to the unit vector v: across the world axis least aligned with it.
    static Vector3<T> perpendicularTo(const Vector3<T>& v)
    {
        const T ax = std::fabs(v.x), ay = std::fabs(v.y), az = std::fabs(v.z);
        const Vector3<T> axis = ax <= ay && ax <= az ? Vector3<T>(1, 0, 0)
                                : ay <= az          ? Vector3<T>(0, 1, 0)
                                                    : Vector3<T>(0, 0, 1);
        return v.cross(axis).getNormalized();
    }

    static constexpr void swap(T& a, T& b)
    {
        const T t = a;
        a = b;
        b = t;
    }

    T m_[16];
};

// A copy inverted by invert() (rigid transforms only).
template<class T>
constexpr Matrix44<T> inverse(const Matrix44<T>& m)
{
    Matrix44<T> r = m;
    r.invert();
    return r;
}

// a x b: b is applied first.
template<class T>
constexpr Matrix44<T> operator*(const Matrix44<T>& a, const Matrix44<T>& b)
{
    Matrix44<T> r = a;
    r *= b;
    return r;
}

// Point transform (no division by w).
template<class T>
constexpr Vector3<T> operator*(const Matrix44<T>& m, const Vector3<T>& p)
{
    return Vector3<T>(m[0] * p.x + m[4] * p.y + m[8] * p.z + m[12],
                      m[1] * p.x + m[5] * p.y + m[9] * p.z + m[13],
                      m[2] * p.x + m[6] * p.y + m[10] * p.z + m[14]);
}

// The 16 elements row by row, single blanks between them, no line end, in the stream's
// own number format.
template<class T>
std::ostream& operator<<(std::ostream& out, const Matrix44<T>& m)
{
    for (int row = 0; row < 4; ++row)
        for (int c = 0; c < 4; ++c)
        {
            if (row != 0 || c != 0)
                out << ' ';
            out << m[row + 4 * c];
        }
    return out;
}

// Up to 16 numbers in the order operator<< writes them, "nan" and "inf" included; reading stops
// at the first word that is no number (the stream is then failed) and leaves the remaining
// elements unchanged. Numbers are read in the C locale's format.
template<class T>
std::istream& operator>>(std::istream& in, Matrix44<T>& m)
{
    for (int row = 0; row < 4; ++row)
        for (int c = 0; c < 4; ++c)
        {
            std::string word;
            if (!(in >> word))
                return in;
            // from_chars reads what operator<< writes for every value, NaN and infinities too.
            const char* begin = word.data() + (word.size() > 1 && word[0] == '+' && word[1] != '-' ? 1 : 0);
            T value;
            const auto [end, error] = std::from_chars(begin, word.data() + word.size(), value);
            if (error != std::errc() || end != word.data() + word.size())
            {
                in.setstate(std::ios::failbit);
                return in;
            }
            m[row + 4 * c] = value;
        }
    return in;
}

// True for the same object, else when every element of b lies strictly within epsilon of a's.
template<class T>
bool isEqual(const Matrix44<T>& a, const Matrix44<T>& b, std::type_identity_t<T> epsilon)
{
    if (&a == &b)
        return true;
    for (int i = 0; i < 16; ++i)
        if (!(a[i] - epsilon < b[i] && b[i] < a[i] + epsilon))
            return false;
    return true;
}

}
