#include "vexa/math/GLMatrixStack.h"

#include <GL/gl.h>

#include <cmath>

namespace Vexa {

void pushIdentityProjectionMatrix()
{
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
}

void pushIdentityModelViewMatrix()
{
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
}

void pushModelViewMatrix()
{
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
}

void popProjectionMatrix()
{
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
}

void popModelViewMatrix()
{
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
}

namespace {

// Like GLU: a zero vector stays zero.
Vector3D normalizedOrZero(const Vector3D& v)
{
    const double length = v.length();
    return length > 0.0 ? v / length : v;
}

}

void lookAt(const Vector3D& eye, const Vector3D& center, const Vector3D& up)
{
    // The matrix gluLookAt builds (rows side, up, -forward), followed by the move of the eye
    // to the origin; written out so the library needs no GLU.
    const Vector3D forward = normalizedOrZero(center - eye);
    const Vector3D side = normalizedOrZero(forward.cross(up));
    const Vector3D trueUp = side.cross(forward);
    const GLdouble m[16] = {side.x, trueUp.x, -forward.x, 0.0,
                            side.y, trueUp.y, -forward.y, 0.0,
                            side.z, trueUp.z, -forward.z, 0.0,
                            0.0,    0.0,      0.0,        1.0};
    glMultMatrixd(m);
    glTranslated(-eye.x, -eye.y, -eye.z);
}

}
