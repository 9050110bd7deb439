#pragma once
// The drill-guidance page: a bull's-eye with the position dot (where the implant's axis crosses
// the plane across the drill tip) and the excursion dot (where it crosses the plane 10 mm along
// the drill), lamps for the drill registration and both trackers, the targeted implant's
// diameter and length, and the depth cylinder at the right edge. The drill frame's x runs down
// the screen and its y to the right; one display unit is the target disc's radius 0.3 m
// (m = min(width, height)): 5 mm of position, 2.5 mm of offset at 10 mm for the excursion.
//
// The dots and the cylinder's moving items show only while the implant's axis points along the
// drill (an axis across it or against it has no meaningful crossing). A null data source shows
// red lamps and nothing else. Everything is read once per `refresh`; GUI thread only.
#include "vexa/math/Vector3.h"

#include <QRect>
#include <memory>

#include "views/navigation/CanvasView.h"

class CanvasEllipse;
class CanvasRectangle;
class CanvasText;
class CanvasTransparentEllipse;
class ITargetingViewDataSource;
class Implant;
class QGraphicsLineItem;

class TargetingView : public CanvasView
{
public:
    // The five drill values.
    struct DrillValues
    {
        double positionX = 0.0, positionY = 0.0; // 0.2 per mm
        double depth = 0.0;                      // mm
        double excursionX = 0.0, excursionY = 0.0; // 0.4 per mm of offset at 10 mm
        bool aligned = false;                    // the implant's axis points along the drill
    };
    // The depth cylinder's boxes for a view of w x h and a depth (0 for the resting layout).
    struct CylinderGeometry
    {
        CylinderGeometry(int w, int h, double depth, bool exactUpper);
        QRect frame, upper, lower, gap, tipFace, topFace;
        double faceHeight = 0.0;
        int height = 0; // Hc, never negative
    };

    TargetingView(std::shared_ptr<ITargetingViewDataSource> source, QWidget* parent);
    ~TargetingView() override;

    void refresh();
    void layoutItems(int w, int h) override;
    QSize sizeHint() const override;
    void calcDrillValues();
    const DrillValues& drillValues() const { return values_; }
    // Below this Hc (px) the cylinder is too small to read and is hidden.
    static constexpr int minimumCylinderHeight = 13;

private:
    void setupPosition(int w, int h);
    void resizePosition(int w, int h);
    void updatePosition();
    void setupExcursion(int w, int h);
    void resizeExcursion(int w, int h);
    void updateExcursion();
    void setupTargetCross(int w, int h);
    void resizeTargetCross(int w, int h);
    void updateTargetCross();
    void setupVisibilities(int w, int h);
    void resizeVisibilities(int w, int h);
    void updateVisibilities();
    void setupImplantDetails(int w, int h);
    void resizeImplantDetails(int w, int h);
    void updateImplantDetails();
    void setupRegistration(int w, int h);
    void resizeRegistration(int w, int h);
    void updateRegistration();
    void setupDepthCylinder(int w, int h);
    void resizeDepthCylinder(int w, int h);
    void updateDepthCylinder();
    void setupDrill(int w, int h);
    void resizeDrill(int w, int h);
    void updateDrill();
    void drawDepthCylinderLineCross(QGraphicsLineItem* a, QGraphicsLineItem* b, const QRect& r, const Vexa::Vector3D& v);
    void drawDepthCylinderDrillLine(const QRect& top, const QRect& tip, const Vexa::Vector3D& p, const Vexa::Vector3D& q);
    // Tracked, registered and aimed at an implant: what the moving items need.
    bool isGuiding() const;
    void placeDot(CanvasTransparentEllipse* dot, double vx, double vy) const;
    void setMovingCylinderItemsVisible(bool visible);

    std::shared_ptr<ITargetingViewDataSource> source_;
    std::shared_ptr<Implant> nearestImplant_;
    DrillValues values_;

    CanvasTransparentEllipse *positionDot_, *excursionDot_, *excursionDisc_;
    CanvasTransparentEllipse *innerRing_, *middleRing_, *maskRing_, *targetDisc_, *centreDisc_;
    QGraphicsLineItem *horizontalLine_, *verticalLine_;
    CanvasTransparentEllipse *patientLamp_, *toolLamp_, *registrationLamp_;
    CanvasText *patientText_, *toolText_, *diameterText_, *lengthText_, *registrationText_;

    CanvasRectangle *upperPart_, *gapBar_, *lowerPart_;
    CanvasTransparentEllipse *topFace_, *boundaryFace_, *bottomFace_, *tipDisc_;
    CanvasTransparentEllipse* scaleArcs_[12];
    QGraphicsLineItem *topCrossA_, *topCrossB_, *tipCrossA_, *tipCrossB_, *drillLine_, *drillShadow_;
};
