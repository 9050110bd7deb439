#include "views/GlTextOverlay.h"

#include "vexa/core/ExceptionStack.h"

#include <QOpenGLWidget>
#include <QPainter>

#include <GL/gl.h>
#include <GL/glu.h>

QFont GlTextOverlay::systemFont()
{
    QFont font(QStringLiteral("System"), 12, QFont::Normal);
    font.setStyleHint(QFont::SansSerif);
    font.setFamilies({QStringLiteral("System"), QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
    return font;
}

void GlTextOverlay::begin()
{
    queue_.clear();
}

void GlTextOverlay::add(double x, double y, const QString& text, const QFont& font) try
{
    queue_.push_back(Text{text, QPointF(x, y), font, currentGlColor()});
}
VEXA_RETHROW

void GlTextOverlay::add3D(const QOpenGLWidget& widget, double x, double y, double z, const QString& text,
                          const QFont& font) try
{
    GLdouble modelView[16], projection[16];
    GLint viewport[4];
    glGetDoublev(GL_MODELVIEW_MATRIX, modelView);
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    glGetIntegerv(GL_VIEWPORT, viewport);
    GLdouble wx = 0, wy = 0, wz = 0;
    if (gluProject(x, y, z, modelView, projection, viewport, &wx, &wy, &wz) != GL_TRUE || wz < 0.0 || wz > 1.0)
        return;
    const double ratio = widget.devicePixelRatioF();
    const double deviceHeight = widget.height() * ratio;
    queue_.push_back(Text{text, QPointF(wx / ratio, (deviceHeight - wy) / ratio), font, currentGlColor()});
}
VEXA_RETHROW

void GlTextOverlay::finish(QOpenGLWidget& widget) try
{
    if (!queue_.empty()) {
        QPainter painter(&widget);
        painter.setRenderHint(QPainter::TextAntialiasing);
        for (const Text& t : queue_) {
            painter.setPen(t.color);
            painter.setFont(t.font);
            painter.drawText(t.position, t.text);
        }
    }
    record_.swap(queue_);
    queue_.clear();
}
VEXA_RETHROW

QColor GlTextOverlay::currentGlColor()
{
    GLfloat c[4] = {1, 1, 1, 1};
    glGetFloatv(GL_CURRENT_COLOR, c);
    return QColor::fromRgbF(c[0], c[1], c[2], c[3]);
}
