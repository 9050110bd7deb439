#include "views/OpenGLView.h"

#include "planning/model/Model.h"
#include "vexa/core/ExceptionStack.h"
#include "views/ViewFailure.h"

#include <QCoreApplication>
#include <QSurfaceFormat>

#include <GL/gl.h>
#include <GL/glu.h>

OpenGLView::OpenGLView(QWidget* parent, const char* name, Qt::WindowFlags flags)
    : QOpenGLWidget(parent, flags)
{
    if (name)
        setObjectName(QString::fromUtf8(name));
    connect(getTimer(), &QTimer::timeout, this, [this] {
        try {
            update();
        }
        VIEW_CATCH_ALL
    });
}

OpenGLView::~OpenGLView() = default;

void OpenGLView::setDefaultSurfaceFormat()
{
    QSurfaceFormat format;
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setDepthBufferSize(24);
    format.setStencilBufferSize(8);
    QSurfaceFormat::setDefaultFormat(format);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

void OpenGLView::update() try
{
    if (handOverToGuiThread())
        return;
    QOpenGLWidget::update();
}
VEXA_RETHROW

void OpenGLView::initializeGL()
{
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glEnable(GL_DEPTH_TEST);
}

void OpenGLView::resizeGL(int w, int h)
{
    const double ratio = devicePixelRatioF();
    glViewport(0, 0, static_cast<GLsizei>(w * ratio), static_cast<GLsizei>(h * ratio));
}

void OpenGLView::paintGL()
{
    try {
        beginText();
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        gluOrtho2D(0.0, 1.0, 0.0, 1.0);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glColor3f(1.0f, 1.0f, 1.0f);
        glBegin(GL_QUADS);
        glVertex2d(0.1, 0.1);
        glVertex2d(0.9, 0.1);
        glVertex2d(0.9, 0.9);
        glVertex2d(0.1, 0.9);
        glEnd();
        finishText();
    }
    VIEW_CATCH_ALL
}

void OpenGLView::renderText(double x, double y, const QString& text, const QFont& font) try
{
    text_.add(x, y, text, font);
}
VEXA_RETHROW

void OpenGLView::renderText(double x, double y, double z, const QString& text, const QFont& font) try
{
    text_.add3D(*this, x, y, z, text, font);
}
VEXA_RETHROW

void OpenGLView::followModel(const std::shared_ptr<Model>& model)
{
    if (!model)
        return;
    model->attach(static_cast<Vexa::IObserver*>(this));
    connect(model.get(), &Model::reset, this, [this] {
        try {
            reset();
        }
        VIEW_CATCH_ALL
    });
}

void OpenGLView::unfollowModel(const std::shared_ptr<Model>& model)
{
    if (model)
        model->detach(static_cast<Vexa::IObserver*>(this));
}
