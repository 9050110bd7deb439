#include "planning/model/Marker.h"

std::shared_ptr<Marker> Marker::create(const Vexa::Vector3D& position)
{
    return std::make_shared<Marker>(position);
}
