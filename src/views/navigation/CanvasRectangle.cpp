#include "views/navigation/CanvasRectangle.h"

#include <QBrush>
#include <QGraphicsScene>
#include <QPen>

CanvasRectangle::CanvasRectangle(QGraphicsScene* scene, const QColor& brush, double z)
{
    setBrush(brush);
    setPen(Qt::NoPen);
    setZValue(z);
    scene->addItem(this);
}

void CanvasRectangle::setSize(int width, int height)
{
    setRect(QRectF(0, 0, width, height).normalized());
}
