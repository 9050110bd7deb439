#pragma once
// A filled rectangle placed by its top-left corner. A negative width or height extends the
// rectangle left or up from that corner, as the old canvas drew it.
#include <QGraphicsRectItem>

class QGraphicsScene;

class CanvasRectangle : public QGraphicsRectItem
{
public:
    CanvasRectangle(QGraphicsScene* scene, const QColor& brush, double z);

    void setSize(int width, int height);
};
