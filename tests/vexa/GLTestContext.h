#pragma once
// A current compatibility-profile OpenGL context on an offscreen surface with a small
// framebuffer object to draw into. Needs a real display connection (tests run under Xvfb).
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QSurfaceFormat>
#include <memory>

#include <GL/gl.h>

namespace GLTestSupport {

class GLTestContext
{
public:
    static constexpr int size = 64;

    GLTestContext()
    {
        QSurfaceFormat format;
        format.setProfile(QSurfaceFormat::CompatibilityProfile);
        format.setDepthBufferSize(24);
        surface_.setFormat(format);
        surface_.create();
        context_.setFormat(format);
        if (!surface_.isValid() || !context_.create() || !context_.makeCurrent(&surface_))
            return;
        auto* f = context_.functions();
        f->glGenFramebuffers(1, &framebuffer_);
        f->glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
        f->glGenRenderbuffers(2, renderbuffers_);
        f->glBindRenderbuffer(GL_RENDERBUFFER, renderbuffers_[0]);
        f->glRenderbufferStorage(GL_RENDERBUFFER, 0x8058 /* GL_RGBA8 */, size, size);
        f->glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, renderbuffers_[0]);
        f->glBindRenderbuffer(GL_RENDERBUFFER, renderbuffers_[1]);
        f->glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, size, size);
        f->glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, renderbuffers_[1]);
        valid_ = f->glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
        glViewport(0, 0, size, size);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
    }

    ~GLTestContext()
    {
        if (context_.makeCurrent(&surface_)) {
            context_.functions()->glDeleteRenderbuffers(2, renderbuffers_);
            context_.functions()->glDeleteFramebuffers(1, &framebuffer_);
            context_.doneCurrent();
        }
    }

    bool isValid() const { return valid_; }
    // Why no context could be made, for the skip message.
    static QString platform() { return QGuiApplication::platformName(); }

private:
    QOffscreenSurface surface_;
    QOpenGLContext context_;
    GLuint framebuffer_ = 0;
    GLuint renderbuffers_[2] = {0, 0};
    bool valid_ = false;
};

}

// Skips on a platform without GL (the offscreen platform outside Xvfb), fails when a display
// is there but no context can be made.
#define REQUIRE_GL_CONTEXT(ctx)                                                                  \
    GLTestSupport::GLTestContext ctx;                                                            \
    if (GLTestSupport::GLTestContext::platform() == "offscreen")                                 \
        GTEST_SKIP() << "no OpenGL on the offscreen platform; run under xvfb-run";               \
    ASSERT_TRUE(ctx.isValid()) << "no compatibility-profile OpenGL context on "                  \
                               << GLTestSupport::GLTestContext::platform().toStdString()
