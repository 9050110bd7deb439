#include "views/navigation/CanvasTransparentEllipse.h"

#include "vexa/core/ExceptionStack.h"

#include <QGraphicsScene>
#include <QPainter>
#include <cmath>

CanvasTransparentEllipse::CanvasTransparentEllipse(QGraphicsScene* scene)
{
    setVisible(false);
    if (scene)
        scene->addItem(this);
}

CanvasTransparentEllipse::~CanvasTransparentEllipse()
{
    hide();
}

void CanvasTransparentEllipse::setAngles(int start, int span)
{
    start_ = start;
    span_ = span;
}

void CanvasTransparentEllipse::setSize(int width, int height)
{
    // The box depends on the size.
    prepareGeometryChange();
    width_ = width;
    height_ = height;
}

QRectF CanvasTransparentEllipse::boundingRect() const try
{
    const int p = pen().style() == Qt::NoPen ? 0 : int(pen().widthF());
    const int w = width_ + 2 * p + 4, h = height_ + 2 * p + 4;
    const double left = std::trunc(x() - w * 0.5), top = std::trunc(y() - h * 0.5);
    return QRectF(left - x(), top - y(), w, h);
}
VEXA_RETHROW

QPainterPath CanvasTransparentEllipse::shape() const
{
    QPainterPath path;
    path.addRect(boundingRect());
    return path;
}

void CanvasTransparentEllipse::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) try
{
    if (!isVisible())
        return;
    const QRectF box(std::trunc(x() - width_ * 0.5) - x(), std::trunc(y() - height_ * 0.5) - y(), width_, height_);
    painter->save();
    painter->setPen(Qt::NoPen);
    painter->setBrush(brush());
    painter->drawChord(box, start_, span_);
    painter->setPen(pen());
    painter->setBrush(Qt::NoBrush);
    painter->drawArc(box, start_, span_);
    painter->restore();
}
VEXA_RETHROW

QVariant CanvasTransparentEllipse::itemChange(GraphicsItemChange change, const QVariant& value)
{
    if (change == ItemPositionChange)
        prepareGeometryChange();
    return QAbstractGraphicsShapeItem::itemChange(change, value);
}
