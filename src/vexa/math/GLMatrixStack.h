#pragma once
// Helpers on the fixed-function matrix stacks of the current (compatibility) GL context.
#include "vexa/math/Vector3.h"

namespace Vexa {

// Select the projection / model-view matrix, push it and load the identity.
void pushIdentityProjectionMatrix();
void pushIdentityModelViewMatrix();
// Select the model-view matrix and push it.
void pushModelViewMatrix();
// Select the projection / model-view matrix and pop it.
void popProjectionMatrix();
void popModelViewMatrix();

// Multiplies the current matrix by the viewing transform of gluLookAt(eye, center, up).
void lookAt(const Vector3D& eye, const Vector3D& center, const Vector3D& up);

}
