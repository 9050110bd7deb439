#pragma once
// Texts over a GL picture: queued while the GL drawing runs (a 3D position is projected with
// the current matrices) and painted with a QPainter after it. The texts of the last finished
// paint stay readable as a record (tests read it instead of glyph pixels).
#include <QColor>
#include <QFont>
#include <QPointF>
#include <QString>
#include <vector>

class QOpenGLWidget;

class GlTextOverlay
{
public:
    struct Text
    {
        QString text;
        QPointF position; // widget coordinates (logical pixels, y down), at the text's baseline
        QFont font;
        QColor color;
    };

    // The font the slice views write captions and labels in ("System" 12 falls back to an
    // installed family).
    static QFont systemFont();

    // Starts a new paint's queue.
    void begin();
    // At widget position (x, y) in the current GL colour.
    void add(double x, double y, const QString& text, const QFont& font);
    // At the world point, projected with the current GL matrices and viewport; the widget's
    // device pixel ratio converts back to logical pixels. Nothing when the point lies behind.
    void add3D(const QOpenGLWidget& widget, double x, double y, double z, const QString& text, const QFont& font);
    // Paints the queue over the widget's GL picture and keeps it as the record.
    void finish(QOpenGLWidget& widget);

    const std::vector<Text>& getRecord() const { return record_; }

private:
    static QColor currentGlColor();

    std::vector<Text> queue_;
    std::vector<Text> record_;
};
