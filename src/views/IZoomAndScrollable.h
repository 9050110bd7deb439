#pragma once
// Zoom, filtering and the identifying colour of a view whose picture scrolls in its frame.
#include <QColor>

namespace Quorvane {

class IZoomAndScrollable
{
public:
    virtual ~IZoomAndScrollable() = default;
    virtual void zoomIn() = 0;
    virtual void zoomOut() = 0;
    // Read once by the frame: scroll to the centre when the view first outgrows it.
    virtual bool isScrollCentered() const = 0;
    // true: linear texture filtering; false: nearest.
    virtual void toggleFiltering(bool on) = 0;
    virtual bool isFiltering() const = 0;
    // The colour the frame writes the view's description in.
    virtual QColor getColorID() const = 0;
};

}
