#include "views/navigation/CanvasEllipse.h"

#include <QGraphicsScene>
#include <QPainter>
#include <algorithm>

CanvasEllipse::CanvasEllipse(QGraphicsScene* scene, const QColor& brush, double z)
{
    setBrush(brush);
    setPen(Qt::NoPen);
    setZValue(z);
    scene->addItem(this);
}

void CanvasEllipse::setSize(int width, int height)
{
    prepareGeometryChange();
    width_ = std::max(0, width);
    height_ = std::max(0, height);
}

void CanvasEllipse::setAngles(int start, int span)
{
    start_ = start;
    span_ = span;
    update();
}

QRectF CanvasEllipse::boundingRect() const
{
    return QRectF(-width_ * 0.5, -height_ * 0.5, width_, height_);
}

void CanvasEllipse::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*)
{
    if (width_ <= 0 || height_ <= 0 || span_ == 0)
        return;
    painter->setPen(Qt::NoPen);
    painter->setBrush(brush());
    if (span_ >= 5760 || span_ <= -5760)
        painter->drawEllipse(boundingRect());
    else
        painter->drawPie(boundingRect(), start_, span_);
}
