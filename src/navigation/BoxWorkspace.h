#pragma once
// A camera's workspace of three boxes (each a corner and a size, camera millimetres), as the
// serial and server cameras define theirs.
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"

#include <memory>

namespace Vexa {

class Workspace;

struct BoxWorkspace
{
    struct Box
    {
        Vector3D corner, size;
    };
    Box inner, outer, volume;
    double goodAngle, fairAngle, thirdValue;
    Vector3D reference;
    Matrix44<double> cameraToWorkspace;

    std::shared_ptr<Workspace> create() const;
};

}
