#pragma once
// The six registration balls of the reference marker as the process knows them, in
// millimetres of the marker's own frame. The automatic and the manual marker check both
// match against it, and markers are stored in this order.
#include "vexa/math/Vector3.h"

#include <vector>

namespace Vexa {

const std::vector<Vector3D>& getReferenceMarkerGeometry();

}
