#pragma once
// A picture drawn in parts over several paints. A QOpenGLWidget shows whatever each paint
// leaves in its framebuffer, so the parts go into a framebuffer object of our own, which
// becomes the shown picture only when its last part is drawn; every paint copies the shown
// picture into the widget. Needs the widget's context current in every call.
#include <QOpenGLFramebufferObject>
#include <QSize>
#include <memory>

class ProgressiveFramebuffer
{
public:
    ProgressiveFramebuffer();
    ~ProgressiveFramebuffer();

    // Binds the framebuffer the parts are drawn into, made anew at a new size (which drops
    // the shown picture and the parts drawn so far: then it returns true), and sets the
    // viewport to it.
    bool bindDrawing(QSize size);
    // The picture drawn so far becomes the shown one.
    void complete();
    // Copies the shown picture into the framebuffer `target` of that size and binds it; a
    // black picture while none is complete.
    void present(unsigned target, QSize size);
    // Drops both framebuffers (before the context goes).
    void release();

    bool hasPicture() const { return hasPicture_; }
    // Pictures completed so far.
    unsigned long completedPictures() const { return completed_; }

private:
    std::unique_ptr<QOpenGLFramebufferObject> drawing_;
    std::unique_ptr<QOpenGLFramebufferObject> shown_;
    bool hasPicture_ = false;
    unsigned long completed_ = 0;
};
