#include "GLTestContext.h"
#include "vexa/math/Geometry.h"
#include "vexa/slice/Slice.h"
#include "vexa/slice/SliceVisualizer.h"

#include <array>
#include <gtest/gtest.h>

using namespace Vexa;

TEST(Slice, FrameGivesPlaneRectangleAndEquality)
{
    // Width along world y, height along world z, normal along world x, corner at (1, 2, 3).
    const Matrix44<double> frame(Vector3D(0, 1, 0), Vector3D(0, 0, 1), Vector3D(2, 0, 0), Vector3D(1, 2, 3));
    auto slice = Slice::create(frame, Size2<double>(40, 30));
    EXPECT_EQ(slice->getWidth(), 40.0);
    EXPECT_EQ(slice->getHeight(), 30.0);
    const Rectangle3<double> r = slice->getRectangle();
    EXPECT_EQ(r.getCorner(0), Vector3D(1, 2, 3));
    EXPECT_EQ(r.getCorner(1), Vector3D(1, 42, 3));
    EXPECT_EQ(r.getCorner(2), Vector3D(1, 42, 33));
    EXPECT_EQ(r.getCorner(3), Vector3D(1, 2, 33));
    const Plane<double> plane = slice->getPlane();
    EXPECT_EQ(plane.getNormal(), Vector3D(1, 0, 0));
    EXPECT_DOUBLE_EQ(plane.getDistance(), -1.0);

    Matrix44<double> near = frame;
    near[13] += 0.0009;
    EXPECT_TRUE(*slice == *Slice::create(near, Size2<double>(40, 30)));
    near[13] += 0.0002;
    EXPECT_FALSE(*slice == *Slice::create(near, Size2<double>(40, 30)));
    EXPECT_FALSE(*slice == *Slice::create(frame, Size2<double>(40, 30.0000001)));
}

namespace {

// Hands out a 2 x 1 texture: black on the left, white on the right.
class TwoTexelVisualizer : public SliceVisualizer
{
public:
    ~TwoTexelVisualizer() override
    {
        if (name_)
            glDeleteTextures(1, &name_);
    }
    Texture createTexture(std::shared_ptr<Slice>) override
    {
        if (!provide)
            return {};
        if (!name_) {
            const GLubyte texels[2] = {0, 255};
            glGenTextures(1, &name_);
            glBindTexture(GL_TEXTURE_2D, name_);
            glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
            glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE8, 2, 1, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, texels);
            glBindTexture(GL_TEXTURE_2D, 0);
        }
        return {name_, 1.0, 1.0};
    }
    bool provide = true;

private:
    GLuint name_ = 0;
};

std::array<GLubyte, 4> pixel(int x, int y)
{
    std::array<GLubyte, 4> rgba{};
    glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    return rgba;
}

}

TEST(SliceVisualizerGL, DrawsTheTextureOnTheSliceQuadAndRestoresState)
{
    REQUIRE_GL_CONTEXT(gl);
    TwoTexelVisualizer visualizer;
    EXPECT_EQ(visualizer.getTextureSizeMode(), 2);
    EXPECT_EQ(visualizer.getTextureSize().width, 256u);
    EXPECT_EQ(visualizer.getTextureSize().height, 256u);
    EXPECT_EQ(visualizer.getFiltering(), 0);

    // A slice over the right half of clip space: x in [0, 1), y in [-1, 1).
    auto slice = Slice::create(Matrix44<double>(Vector3D(0, -1, 0)), Size2<double>(1.0, 2.0));
    glClearColor(0.0f, 0.0f, 1.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glColor4d(1.0, 0.0, 0.0, 1.0);
    visualizer.render(slice);
    const int s = GLTestSupport::GLTestContext::size;
    EXPECT_EQ(pixel(s / 4, s / 2), (std::array<GLubyte, 4>{0, 0, 255, 255})); // untouched
    EXPECT_EQ(pixel(s / 2 + 4, s / 2), (std::array<GLubyte, 4>{0, 0, 0, 255}));   // black texel
    EXPECT_EQ(pixel(s - 4, s / 2), (std::array<GLubyte, 4>{255, 255, 255, 255})); // white, not red

    // Model-view, colour and texture enable are as before.
    std::array<GLdouble, 16> modelView{};
    glGetDoublev(GL_MODELVIEW_MATRIX, modelView.data());
    EXPECT_EQ(modelView, (std::array<GLdouble, 16>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
    EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
    std::array<GLdouble, 4> colour{};
    glGetDoublev(GL_CURRENT_COLOR, colour.data());
    EXPECT_EQ(colour, (std::array<GLdouble, 4>{1, 0, 0, 1}));

    // The explicit overload draws the slice's texture under another transform and size.
    glClear(GL_COLOR_BUFFER_BIT);
    visualizer.render(slice, Matrix44<double>(Vector3D(-1, -1, 0)), Size2<double>(1.0, 1.0));
    EXPECT_EQ(pixel(4, 4), (std::array<GLubyte, 4>{0, 0, 0, 255}));
    EXPECT_EQ(pixel(s / 2 - 4, 4), (std::array<GLubyte, 4>{255, 255, 255, 255}));
    EXPECT_EQ(pixel(s - 4, s - 4), (std::array<GLubyte, 4>{0, 0, 255, 255}));

    // Filter modes on the bound texture, clamped at the edges.
    glBindTexture(GL_TEXTURE_2D, visualizer.createTexture(slice).name);
    const auto parameter = [](GLenum name) {
        GLint value = 0;
        glGetTexParameteriv(GL_TEXTURE_2D, name, &value);
        return value;
    };
    for (int filtering : {1, 0}) {
        visualizer.setFiltering(filtering);
        visualizer.setTextureParameters();
        const GLint expected = filtering ? GL_LINEAR : GL_NEAREST;
        EXPECT_EQ(parameter(GL_TEXTURE_MIN_FILTER), expected);
        EXPECT_EQ(parameter(GL_TEXTURE_MAG_FILTER), expected);
        EXPECT_EQ(parameter(GL_TEXTURE_WRAP_S), 0x812F); // GL_CLAMP_TO_EDGE
        EXPECT_EQ(parameter(GL_TEXTURE_WRAP_T), 0x812F);
    }
    glBindTexture(GL_TEXTURE_2D, 0);

    // Without a texture nothing is drawn (no white quad over the view).
    visualizer.provide = false;
    glClear(GL_COLOR_BUFFER_BIT);
    visualizer.render(slice);
    EXPECT_EQ(pixel(s - 4, s / 2), (std::array<GLubyte, 4>{0, 0, 255, 255}));
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}
