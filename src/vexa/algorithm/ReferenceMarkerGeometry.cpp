#include "vexa/algorithm/ReferenceMarkerGeometry.h"

namespace Vexa {

const std::vector<Vector3D>& getReferenceMarkerGeometry()
{
    static const std::vector<Vector3D> geometry = {
        Vector3D(36.0, 26.7, 0.0), Vector3D(4.1, -1.5, 0.0),  Vector3D(33.5, -25.2, 0.0),
        Vector3D(26.6, -19.0, 0.0), Vector3D(19.6, 4.9, 0.0), Vector3D(0.0, 11.7, 0.0),
    };
    return geometry;
}

}
