#pragma once
// Scalar helpers.
#include <cmath>

namespace Vexa {

// ln(x)/ln(2) for x >= 1, else 0.
inline double log2(double x)
{
    return x >= 1.0 ? std::log(x) / std::log(2.0) : 0.0;
}

// Half away from zero.
inline double round(double x)
{
    return std::round(x);
}

inline double radToDeg(double radians)
{
    return radians * 57.29577951308232;
}

inline double degToRad(double degrees)
{
    return degrees * 0.017453292519943295;
}

}
