#pragma once
// The GL context and surface that are current, standing for the device and rendering context
// pair a texture belongs to. The context is watched: once it is destroyed the key no longer
// matches anything (a new context at the same address is another context).
#include <QOpenGLContext>
#include <QPointer>

class QOpenGLContext;
class QSurface;

class GlContextKey
{
public:
    // The current pair (both empty when no context is current).
    static GlContextKey current();

    bool isAlive() const { return !context_.isNull(); }
    bool operator==(const GlContextKey& other) const;
    QOpenGLContext* context() const { return context_.data(); }
    QSurface* surface() const { return surface_; }

    // Makes the key's context current for the lifetime of the object and puts back the
    // previous one afterwards. `isCurrent` is false when the context is gone or refused.
    class ScopedMakeCurrent
    {
    public:
        explicit ScopedMakeCurrent(const GlContextKey& key);
        ~ScopedMakeCurrent();
        bool isCurrent() const { return current_; }

    private:
        QPointer<QOpenGLContext> previousContext_;
        QSurface* previousSurface_ = nullptr;
        bool switched_ = false;
        bool current_ = false;
    };

private:
    QPointer<QOpenGLContext> context_;
    QSurface* surface_ = nullptr;
};
