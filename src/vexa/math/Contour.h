#pragma once
// The cut of a mesh by a plane: segments (start, end), in order.
#include "vexa/math/Vector3.h"

#include <utility>
#include <vector>

namespace Vexa {

using Contour = std::vector<std::pair<Vector3D, Vector3D>>;

}
