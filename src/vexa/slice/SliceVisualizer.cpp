#include "vexa/slice/SliceVisualizer.h"

#include "vexa/core/ExceptionStack.h"

#include <GL/gl.h>

#ifndef GL_CLAMP_TO_EDGE
#define GL_CLAMP_TO_EDGE 0x812F
#endif

namespace Vexa {

SliceVisualizer::SliceVisualizer()
    : textureSize_(256u, 256u)
{
}

SliceVisualizer::~SliceVisualizer() = default;

void SliceVisualizer::render(std::shared_ptr<Slice> slice)
try {
    if (!slice)
        return;
    render(slice, slice->getTransform(), slice->getSize());
}
VEXA_RETHROW

void SliceVisualizer::render(std::shared_ptr<Slice> slice, const Matrix44<double>& transform, const Size2<double>& size)
try {
    if (!slice)
        return;
    const Texture texture = createTexture(slice);
    if (texture.name == 0)
        return;
    glPushAttrib(GL_ENABLE_BIT | GL_TEXTURE_BIT | GL_CURRENT_BIT);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, texture.name);
    setTextureParameters();
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glMultMatrixd(transform.data());
    glColor4d(1.0, 1.0, 1.0, 1.0);
    glBegin(GL_QUADS);
    glTexCoord2d(0.0, 0.0);
    glVertex3d(0.0, 0.0, 0.0);
    glTexCoord2d(texture.extentS, 0.0);
    glVertex3d(size.width, 0.0, 0.0);
    glTexCoord2d(texture.extentS, texture.extentT);
    glVertex3d(size.width, size.height, 0.0);
    glTexCoord2d(0.0, texture.extentT);
    glVertex3d(0.0, size.height, 0.0);
    glEnd();
    glPopMatrix();
    glPopAttrib();
}
VEXA_RETHROW

void SliceVisualizer::setTextureParameters() const
try {
    if (filtering_ == LinearFiltering) {
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    } else {
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    }
}
VEXA_RETHROW

}
