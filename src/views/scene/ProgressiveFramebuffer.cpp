#include "views/scene/ProgressiveFramebuffer.h"

#include <QOpenGLContext>
#include <QOpenGLExtraFunctions>

ProgressiveFramebuffer::ProgressiveFramebuffer() = default;

ProgressiveFramebuffer::~ProgressiveFramebuffer() = default;

bool ProgressiveFramebuffer::bindDrawing(QSize size)
{
    size = size.expandedTo(QSize(1, 1));
    const bool made = !drawing_ || drawing_->size() != size;
    if (made) {
        drawing_ = std::make_unique<QOpenGLFramebufferObject>(size, QOpenGLFramebufferObject::CombinedDepthStencil);
        shown_ = std::make_unique<QOpenGLFramebufferObject>(size, QOpenGLFramebufferObject::CombinedDepthStencil);
        hasPicture_ = false;
    }
    drawing_->bind();
    QOpenGLContext::currentContext()->functions()->glViewport(0, 0, size.width(), size.height());
    return made;
}

void ProgressiveFramebuffer::complete()
{
    if (!drawing_)
        return;
    std::swap(drawing_, shown_);
    hasPicture_ = true;
    ++completed_;
}

void ProgressiveFramebuffer::present(unsigned target, QSize size)
{
    QOpenGLExtraFunctions* gl = QOpenGLContext::currentContext()->extraFunctions();
    gl->glBindFramebuffer(GL_FRAMEBUFFER, target);
    gl->glViewport(0, 0, size.width(), size.height());
    if (!hasPicture_ || !shown_ || shown_->size() != size) {
        gl->glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
        gl->glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        return;
    }
    gl->glBindFramebuffer(GL_READ_FRAMEBUFFER, shown_->handle());
    gl->glBindFramebuffer(GL_DRAW_FRAMEBUFFER, target);
    gl->glBlitFramebuffer(0, 0, size.width(), size.height(), 0, 0, size.width(), size.height(),
                          GL_COLOR_BUFFER_BIT, GL_NEAREST);
    gl->glBindFramebuffer(GL_FRAMEBUFFER, target);
}

void ProgressiveFramebuffer::release()
{
    drawing_.reset();
    shown_.reset();
    hasPicture_ = false;
}
