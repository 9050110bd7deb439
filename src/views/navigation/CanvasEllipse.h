#pragma once
// A filled ellipse or pie sector without outline. The position is the ellipse's centre; angles
// are in 1/16 degree, 0 at three o'clock, counter-clockwise positive (a negative span runs
// clockwise).
#include <QAbstractGraphicsShapeItem>

class QGraphicsScene;

class CanvasEllipse : public QAbstractGraphicsShapeItem
{
public:
    CanvasEllipse(QGraphicsScene* scene, const QColor& brush, double z);

    void setSize(int width, int height);
    void setAngles(int start, int span);
    int width() const { return width_; }
    int height() const { return height_; }
    int startAngle() const { return start_; }
    int spanAngle() const { return span_; }

    QRectF boundingRect() const override;
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

private:
    int width_ = 32;
    int height_ = 32;
    int start_ = 0;
    int span_ = 5760;
};
