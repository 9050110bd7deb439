#pragma once
// The values of one tracker sample. Quaternion in the order w, x, y, z, not forced to unit
// length; translation in millimetres, camera coordinates.
#include "vexa/math/Vector3.h"

#include <array>
#include <cstdint>

namespace Vexa {

struct TrackerDataImpl
{
    std::array<double, 4> rotation{1.0, 0.0, 0.0, 0.0};
    Vector3D translation;
    bool visible = false;
    double error = -1.0; // the camera's error value; -1.0 where the camera gives none
    std::uint64_t delivery = 0; // see TrackerData::getDelivery
};

}
