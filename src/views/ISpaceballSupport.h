#pragma once
// A view that follows the 3D mouse. Motion arrives already scaled by the application object.
#include "vexa/math/Vector3.h"

namespace Quorvane {

class ISpaceballSupport
{
public:
    virtual ~ISpaceballSupport() = default;
    virtual void processSpaceballMotion(const Vexa::Vector3D& translation, const Vexa::Vector3D& rotation) = 0;
    // The device's zero event (all axes released); nothing by default.
    virtual void processSpaceballZero() {}
};

}
