#include "views/navigation/CanvasView.h"

#include "views/ViewFailure.h"

#include <QGraphicsScene>
#include <QGuiApplication>
#include <QResizeEvent>
#include <QScreen>
#include <algorithm>
#include <cmath>

CanvasView::CanvasView(QWidget* parent, const QColor& background) : QGraphicsView(parent)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize desktop = screen ? screen->geometry().size() : QSize(1280, 1024);
    canvas_ = new QGraphicsScene(0, 0, desktop.width(), desktop.height(), this);
    canvas_->setBackgroundBrush(background);
    canvas_->setItemIndexMethod(QGraphicsScene::NoIndex);
    setScene(canvas_);
    setSceneRect(0, 0, 1, 1);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setRenderHints({});
    setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
    setOptimizationFlag(QGraphicsView::DontAdjustForAntialiasing);
    setBackgroundBrush(background);
    setFocusPolicy(Qt::NoFocus);
}

CanvasView::~CanvasView() = default;

void CanvasView::resizeEvent(QResizeEvent* event)
{
    setSceneRect(0, 0, std::max(1, event->size().width()), std::max(1, event->size().height()));
    try {
        layoutItems(event->size().width(), event->size().height());
        setAllChanged();
    }
    VIEW_CATCH_ALL
    QGraphicsView::resizeEvent(event);
}

int CanvasView::toPixels(double value)
{
    return std::isfinite(value) ? static_cast<int>(std::clamp(value, -1e8, 1e8)) : 0;
}

QSize CanvasView::initialSize() const
{
    return parentWidget() ? parentWidget()->size() : size();
}

void CanvasView::setAllChanged()
{
    viewport()->update();
}
