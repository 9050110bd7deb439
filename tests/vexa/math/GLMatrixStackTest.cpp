#include "vexa/math/GLMatrixStack.h"

#include "../GLTestContext.h"

#include <GL/glu.h>
#include <gtest/gtest.h>

#include <array>

using Vexa::Vector3D;

namespace {

using GLMatrix = std::array<GLdouble, 16>;

GLMatrix get(GLenum which)
{
    GLMatrix m{};
    glGetDoublev(which, m.data());
    return m;
}

GLint getInt(GLenum which)
{
    GLint v = 0;
    glGetIntegerv(which, &v);
    return v;
}

void expectNear(const GLMatrix& a, const GLMatrix& b, double tolerance)
{
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(a[i], b[i], tolerance) << "element " << i;
}

const GLMatrix identity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
const GLMatrix projection = {2, 0, 0, 0, 0, 3, 0, 0, 0, 0, -1, -1, 0, 0, -2, 0};
const GLMatrix modelView = {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 5, 6, 7, 1};

}

TEST(GLMatrixStack, HelpersRestoreMatrices)
{
    REQUIRE_GL_CONTEXT(gl);
    glMatrixMode(GL_PROJECTION);
    glLoadMatrixd(projection.data());
    glMatrixMode(GL_MODELVIEW);
    glLoadMatrixd(modelView.data());
    const GLint projectionDepth = getInt(GL_PROJECTION_STACK_DEPTH);
    const GLint modelViewDepth = getInt(GL_MODELVIEW_STACK_DEPTH);

    Vexa::pushIdentityProjectionMatrix();
    EXPECT_EQ(getInt(GL_MATRIX_MODE), GL_PROJECTION);
    EXPECT_EQ(getInt(GL_PROJECTION_STACK_DEPTH), projectionDepth + 1);
    expectNear(get(GL_PROJECTION_MATRIX), identity, 0.0);
    glScaled(4, 4, 4);

    Vexa::pushIdentityModelViewMatrix();
    EXPECT_EQ(getInt(GL_MATRIX_MODE), GL_MODELVIEW);
    EXPECT_EQ(getInt(GL_MODELVIEW_STACK_DEPTH), modelViewDepth + 1);
    expectNear(get(GL_MODELVIEW_MATRIX), identity, 0.0);
    glTranslated(1, 2, 3);

    Vexa::pushModelViewMatrix(); // keeps the current matrix
    EXPECT_EQ(getInt(GL_MODELVIEW_STACK_DEPTH), modelViewDepth + 2);
    expectNear(get(GL_MODELVIEW_MATRIX), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1, 2, 3, 1}, 0.0);
    glRotated(30, 0, 0, 1);

    glMatrixMode(GL_TEXTURE); // the helpers select their matrix themselves
    Vexa::popModelViewMatrix();
    EXPECT_EQ(getInt(GL_MATRIX_MODE), GL_MODELVIEW);
    Vexa::popModelViewMatrix();
    Vexa::popProjectionMatrix();
    EXPECT_EQ(getInt(GL_MATRIX_MODE), GL_PROJECTION);

    EXPECT_EQ(getInt(GL_PROJECTION_STACK_DEPTH), projectionDepth);
    EXPECT_EQ(getInt(GL_MODELVIEW_STACK_DEPTH), modelViewDepth);
    expectNear(get(GL_PROJECTION_MATRIX), projection, 0.0);
    expectNear(get(GL_MODELVIEW_MATRIX), modelView, 0.0);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST(GLMatrixStack, LookAtMatchesGluLookAt)
{
    REQUIRE_GL_CONTEXT(gl);
    struct View
    {
        Vector3D eye, center, up;
    };
    const View views[] = {
        {Vector3D(0, 0, 5), Vector3D(0, 0, 0), Vector3D(0, 1, 0)},
        {Vector3D(10, -20, 35), Vector3D(1, 2, 3), Vector3D(0.2, 0.1, 3)}, // up neither unit nor orthogonal
        {Vector3D(-4, 7, 1), Vector3D(-4, 7, -99), Vector3D(1, 0, 0)},
        {Vector3D(1, 2, 3), Vector3D(4, 5, 6), Vector3D(0, 0, -1)},
    };
    glMatrixMode(GL_PROJECTION);
    for (const View& v : views)
    {
        // Applied to (multiplied onto) the current matrix, not loaded.
        glLoadMatrixd(projection.data());
        Vexa::lookAt(v.eye, v.center, v.up);
        const GLMatrix ours = get(GL_PROJECTION_MATRIX);
        glLoadMatrixd(projection.data());
        gluLookAt(v.eye.x, v.eye.y, v.eye.z, v.center.x, v.center.y, v.center.z, v.up.x, v.up.y, v.up.z);
        expectNear(ours, get(GL_PROJECTION_MATRIX), 1e-4);
    }

    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}
