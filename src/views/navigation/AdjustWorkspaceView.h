#pragma once
// The camera adjustment page: a stylised patient with a cross-hair, a red marker where the
// patient locator's reference point lies in the camera's inner working volume (its x and y
// extents map onto the cross-hair's arms), five ring pairs that drift with the locator's tilt,
// a "Patient" light for the locator's visibility and a "Distance" light with "too close" and
// "too far". `refresh` reads one navigation snapshot and redraws only for a new locator sample.
// Without a workspace, or with one of no extent or no good angle, the marker stays on the
// cross-hair's centre and the rings centred; a resize re-places everything from the last sample.
#include "navigation/TrackerData.h"
#include "views/navigation/CanvasView.h"

#include <memory>
#include <vector>

class CanvasEllipse;
class CanvasRectangle;
class CanvasText;
class NavigationController;
class QAbstractGraphicsShapeItem;
class QGraphicsLineItem;

namespace Vexa {
class Workspace;
}

class AdjustWorkspaceView : public CanvasView
{
public:
    AdjustWorkspaceView(std::shared_ptr<NavigationController> controller, QWidget* parent);
    ~AdjustWorkspaceView() override;

    void refresh();
    void layoutItems(int w, int h) override;
    // Where the marker goes for the last sample in a view of w x h.
    QPointF markerPosition(int w, int h) const;
    const CanvasEllipse* positionMarker() const { return marker_; }

private:
    void setupPosition(int w, int h);
    void resizePosition(int w, int h);
    void updatePosition();
    void setupHeadline(int w, int h);
    void resizeHeadline(int w, int h);
    void setupBody(int w, int h);
    void resizeBody(int w, int h);
    void updateBody();
    void setupExcursion(int w, int h);
    void resizeExcursion(int w, int h);
    void updateExcursion();
    void setupVisibility(int w, int h);
    void resizeVisibility(int w, int h);
    void updateVisibility();
    void setupDistance(int w, int h);
    void resizeDistance(int w, int h);
    void updateDistance();
    // The reference point in the workspace and the inner box's corners; false without a usable
    // workspace.
    bool referencePoint(Vexa::Vector3D& p, Vexa::Vector3D& low, Vexa::Vector3D& high) const;

    std::shared_ptr<NavigationController> controller_;
    std::shared_ptr<Vexa::Workspace> workspace_;
    Vexa::TrackerData sample_;
    Vexa::Vector3D referencePoint_;
    int workspaceQuality_ = 0;

    CanvasEllipse* marker_;
    CanvasRectangle* headlineBar_;
    CanvasText* headline_;
    CanvasRectangle *neck_, *shoulderMiddle_, *shoulderBody_;
    CanvasEllipse *leftShoulder_, *rightShoulder_, *head_, *headOutline_, *leftEye_, *rightEye_, *mouth_, *mouthCut_;
    QGraphicsLineItem *crossHorizontal_, *crossVertical_;
    CanvasEllipse *rings_[5], *discs_[5];
    CanvasEllipse* visibilityLight_;
    CanvasText* visibilityLabel_;
    CanvasEllipse* distanceLight_;
    CanvasText *distanceLabel_, *tooClose_, *tooFar_;
};
