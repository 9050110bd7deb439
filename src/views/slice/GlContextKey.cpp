#include "views/slice/GlContextKey.h"

#include <QOpenGLContext>

GlContextKey GlContextKey::current()
{
    GlContextKey key;
    key.context_ = QOpenGLContext::currentContext();
    key.surface_ = key.context_ ? key.context_->surface() : nullptr;
    return key;
}

bool GlContextKey::operator==(const GlContextKey& other) const
{
    return isAlive() && other.isAlive() && context_ == other.context_ && surface_ == other.surface_;
}

GlContextKey::ScopedMakeCurrent::ScopedMakeCurrent(const GlContextKey& key)
{
    QOpenGLContext* now = QOpenGLContext::currentContext();
    previousContext_ = now;
    previousSurface_ = now ? now->surface() : nullptr;
    if (!key.isAlive())
        return;
    if (now == key.context() && previousSurface_ == key.surface()) {
        current_ = true;
        return;
    }
    if (!key.surface())
        return;
    switched_ = true;
    current_ = key.context()->makeCurrent(key.surface());
}

GlContextKey::ScopedMakeCurrent::~ScopedMakeCurrent()
{
    if (!switched_)
        return;
    if (previousContext_ && previousSurface_)
        previousContext_->makeCurrent(previousSurface_);
    else if (QOpenGLContext* now = QOpenGLContext::currentContext())
        now->doneCurrent();
}
