#pragma once
// The base of every OpenGL view: a GL widget (compatibility profile) that redraws on its
// TimedView timer and on every Model notification, and shows a white panel with a black
// margin while it has nothing to show. Several notifications before the next paint make one
// paint (Qt folds the scheduled repaints).
#include "views/GlTextOverlay.h"
#include "views/TimedView.h"

#include <QOpenGLWidget>

class OpenGLView : public QOpenGLWidget, public TimedView
{
    Q_OBJECT

public:
    // The object name is the view's name. GL contexts of all views share their objects
    // (Qt::AA_ShareOpenGLContexts), which stands for a share widget.
    OpenGLView(QWidget* parent, const char* name, Qt::WindowFlags flags = {});
    ~OpenGLView() override;

    // The texts of the last paint (captions, labels), for tests.
    const std::vector<GlTextOverlay::Text>& getTextRecord() const { return text_.getRecord(); }

    // Call before the QApplication exists: compatibility-profile contexts with depth and
    // stencil buffers, shared between the views.
    static void setDefaultSurfaceFormat();

public slots:
    // Schedules a repaint (the observer operation, also the timer's slot).
    void update() override;

protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;

    // Widget coordinates (y down) and world coordinates through the current matrices; drawn
    // after the GL work of the paint (`finishText`).
    void renderText(double x, double y, const QString& text, const QFont& font);
    void renderText(double x, double y, double z, const QString& text, const QFont& font);
    void beginText() { text_.begin(); }
    void finishText() { text_.finish(*this); }

    // A view of the Model: its notifications reach `update`, its reset() signal `reset`.
    // `unfollowModel` before the view goes.
    void followModel(const std::shared_ptr<Model>& model);
    void unfollowModel(const std::shared_ptr<Model>& model);

private:
    GlTextOverlay text_;
};
