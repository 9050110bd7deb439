#pragma once
// The drawing surface of the navigation pages: a scene as large as the screen, shown from its
// top-left corner without frame, scroll bars or antialiasing, so that one scene pixel is one
// widget pixel. The items live on the scene; a page only moves, recolours, shows and hides
// them. Items outside the scene are not drawn.
#include <QColor>
#include <QGraphicsView>

class QGraphicsScene;

class CanvasView : public QGraphicsView
{
public:
    CanvasView(QWidget* parent, const QColor& background);
    ~CanvasView() override;

    // A length or coordinate truncated toward zero to whole pixels; 0 for a value that is not
    // finite, and bounded far outside any screen.
    static int toPixels(double value);

    QGraphicsScene* canvas() const { return canvas_; }
    // The size to lay out for at construction: the parent's, else the view's own.
    QSize initialSize() const;
    // Redraws the whole view.
    void setAllChanged();

    // Places the items for a page of w x h; called on every resize (failures are reported,
    // never thrown into Qt). The widget's own geometry is its parent's business.
    virtual void layoutItems(int w, int h) = 0;

protected:
    // Shows the scene from its top-left corner at one pixel per pixel and lays the items out.
    void resizeEvent(QResizeEvent* event) override;

private:
    QGraphicsScene* canvas_;
};
