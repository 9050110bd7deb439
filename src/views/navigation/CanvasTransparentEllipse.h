#pragma once
// An ellipse, or the part of one between two angles, drawn as a filled chord without outline plus
// an outlined arc: with a partial span only the curved edge is outlined. The item's position is
// the ellipse's centre. Its bounding box, which is also its collision and redraw area, is
// (width + 2 pen + 4) by (height + 2 pen + 4) pixels around the centre, corners truncated toward
// zero in scene coordinates. Hidden until the user of the item shows it.
#include <QAbstractGraphicsShapeItem>

class QGraphicsScene;

class CanvasTransparentEllipse : public QAbstractGraphicsShapeItem
{
public:
    static constexpr int Type = 2341234;

    explicit CanvasTransparentEllipse(QGraphicsScene* scene);
    ~CanvasTransparentEllipse() override;

    int type() const override { return Type; }

    // In 1/16 degree, 0 at three o'clock, counter-clockwise positive.
    void setAngles(int start, int span);
    void setSize(int width, int height);
    int startAngle() const { return start_; }
    int spanAngle() const { return span_; }
    int width() const { return width_; }
    int height() const { return height_; }

    QRectF boundingRect() const override;
    QPainterPath shape() const override;
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

protected:
    // The box is truncated in scene coordinates, so it changes with the position.
    QVariant itemChange(GraphicsItemChange change, const QVariant& value) override;

private:
    int width_ = 40;
    int height_ = 40;
    int start_ = 0;
    int span_ = 5760;
};
