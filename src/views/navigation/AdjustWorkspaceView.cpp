#include "views/navigation/AdjustWorkspaceView.h"

#include "navigation/NavigationController.h"
#include "navigation/Workspace.h"
#include "vexa/core/ExceptionStack.h"
#include "views/ViewFailure.h"
#include "views/navigation/CanvasEllipse.h"
#include "views/navigation/CanvasRectangle.h"
#include "views/navigation/CanvasText.h"

#include <QGraphicsLineItem>
#include <QGraphicsScene>
#include <QPen>
#include <QResizeEvent>
#include <algorithm>
#include <cmath>

namespace {


// A finite ratio, 0 where the divisor is none.
double ratio(double value, double divisor)
{
    const double r = value / divisor;
    return std::isfinite(r) ? r : 0.0;
}

void placeDisc(CanvasEllipse* item, int diameter, double x, double y)
{
    item->setSize(diameter, diameter);
    item->setPos(x, y);
}

}

AdjustWorkspaceView::AdjustWorkspaceView(std::shared_ptr<NavigationController> controller, QWidget* parent)
    : CanvasView(parent, Qt::black), controller_(std::move(controller))
{
    const QSize size = initialSize();
    const int w = size.width(), h = size.height();
    setupPosition(w, h);
    setupHeadline(w, h);
    setupBody(w, h);
    setupExcursion(w, h);
    setupVisibility(w, h);
    setupDistance(w, h);
    setAllChanged();
}

AdjustWorkspaceView::~AdjustWorkspaceView() = default;

void AdjustWorkspaceView::layoutItems(int w, int h) try
{
    resizePosition(w, h);
    resizeHeadline(w, h);
    resizeBody(w, h);
    resizeExcursion(w, h);
    resizeVisibility(w, h);
    resizeDistance(w, h);
}
VEXA_RETHROW

void AdjustWorkspaceView::refresh() try
{
    if (!isVisible() || !controller_ || !controller_->isNavigationEnabled())
        return;
    workspace_ = controller_->getCameraWorkspace();
    const auto snapshot = controller_->getSnapshot();
    if (!snapshot || snapshot->patientLocator == sample_)
        return;
    sample_ = snapshot->patientLocator;
    referencePoint_ = snapshot->patientLocReferencePoint;
    workspaceQuality_ = snapshot->workspaceQuality;
    updatePosition();
    updateExcursion();
    updateBody();
    updateVisibility();
    updateDistance();
    viewport()->update();
}
VEXA_RETHROW

bool AdjustWorkspaceView::referencePoint(Vexa::Vector3D& p, Vexa::Vector3D& low, Vexa::Vector3D& high) const
{
    if (!workspace_)
        return false;
    p = workspace_->toWorkspace(referencePoint_);
    const auto& box = workspace_->getBoundingBox();
    low = Vexa::Vector3D(box[0], box[1], box[2]);
    high = Vexa::Vector3D(box[3], box[4], box[5]);
    return true;
}

QPointF AdjustWorkspaceView::markerPosition(int w, int h) const
{
    Vexa::Vector3D p, low, high;
    double nx = 0.0, ny = 0.0;
    if (referencePoint(p, low, high)) {
        nx = ratio(2 * p.x, high.x - low.x);
        ny = ratio(2 * p.y, high.y - low.y);
    }
    const int m = std::min(w, h);
    return QPointF(0.578 * w - 0.146 * m * nx, 0.521 * h + 0.146 * m * ny);
}

// ---- position marker -------------------------------------------------------------------

void AdjustWorkspaceView::setupPosition(int w, int h) try
{
    marker_ = new CanvasEllipse(canvas(), Qt::red, 127);
    marker_->hide();
    resizePosition(w, h);
}
VEXA_RETHROW

void AdjustWorkspaceView::resizePosition(int w, int h) try
{
    marker_->setSize(toPixels(0.0832 * std::min(w, h)), toPixels(0.0832 * std::min(w, h)));
    marker_->setPos(markerPosition(w, h));
}
VEXA_RETHROW

void AdjustWorkspaceView::updatePosition() try
{
    marker_->setVisible(sample_.isVisible());
    marker_->setPos(markerPosition(width(), height()));
}
VEXA_RETHROW

// ---- headline --------------------------------------------------------------------------

void AdjustWorkspaceView::setupHeadline(int w, int h) try
{
    headlineBar_ = new CanvasRectangle(canvas(), Qt::blue, 254);
    headline_ = new CanvasText(canvas(), "Please Adjust Camera", Qt::AlignCenter, 255);
    headline_->setColor(Qt::black);
    resizeHeadline(w, h);
}
VEXA_RETHROW

void AdjustWorkspaceView::resizeHeadline(int w, int h) try
{
    headlineBar_->setSize(w, toPixels(0.1 * h));
    headlineBar_->setPos(0, 0);
    headline_->setFont(CanvasText::arial(toPixels(0.06 * std::min(w, h))));
    headline_->setPos(0.5 * w, 0.05 * h);
}
VEXA_RETHROW

// ---- patient figure --------------------------------------------------------------------

void AdjustWorkspaceView::setupBody(int w, int h) try
{
    QGraphicsScene* scene = canvas();
    neck_ = new CanvasRectangle(scene, Qt::white, 0);
    shoulderMiddle_ = new CanvasRectangle(scene, Qt::white, 0);
    shoulderBody_ = new CanvasRectangle(scene, Qt::white, 0);
    for (CanvasRectangle* item : {neck_, shoulderMiddle_, shoulderBody_})
        item->setPen(QPen(Qt::white, 0));
    leftShoulder_ = new CanvasEllipse(scene, Qt::white, 0);
    rightShoulder_ = new CanvasEllipse(scene, Qt::white, 0);
    head_ = new CanvasEllipse(scene, Qt::white, 2);
    headOutline_ = new CanvasEllipse(scene, Qt::black, 1);
    leftEye_ = new CanvasEllipse(scene, Qt::black, 3);
    rightEye_ = new CanvasEllipse(scene, Qt::black, 3);
    mouth_ = new CanvasEllipse(scene, Qt::black, 3);
    mouth_->setAngles(3200, 2240);
    mouthCut_ = new CanvasEllipse(scene, Qt::white, 4);
    mouthCut_->setAngles(3040, 2560);
    crossHorizontal_ = scene->addLine(QLineF(), QPen(Qt::black, 0));
    crossVertical_ = scene->addLine(QLineF(), QPen(Qt::black, 0));
    crossHorizontal_->setZValue(5);
    crossVertical_->setZValue(5);
    resizeBody(w, h);
}
VEXA_RETHROW

void AdjustWorkspaceView::resizeBody(int w, int h) try
{
    const double m = std::min(w, h), x0 = 0.578 * w, y0 = 0.521 * h;
    neck_->setSize(toPixels(0.125 * m), toPixels(0.479 * h));
    neck_->setPos(x0 - 0.0625 * m, y0);
    shoulderMiddle_->setSize(toPixels(0.453 * m - 0.312 * m), toPixels(0.479 * h));
    shoulderMiddle_->setPos(x0 - 0.2265 * m + 0.156 * m, y0 + 0.156 * m);
    const double sx = shoulderMiddle_->x(), sy = shoulderMiddle_->y(), sw = shoulderMiddle_->rect().width();
    shoulderBody_->setSize(toPixels(sw + 0.312 * m), toPixels(0.479 * h));
    shoulderBody_->setPos(sx - 0.156 * m, sy + 0.156 * m);
    placeDisc(leftShoulder_, toPixels(0.312 * m), sx, sy + 0.156 * m);
    placeDisc(rightShoulder_, toPixels(0.312 * m), sx + sw, sy + 0.156 * m);
    placeDisc(head_, toPixels(0.292 * m), x0, y0);
    placeDisc(headOutline_, toPixels(0.302 * m), x0, y0);
    placeDisc(leftEye_, toPixels(0.062 * m), x0 + 0.051 * m, y0 - 0.051 * m);
    placeDisc(rightEye_, toPixels(0.062 * m), x0 - 0.051 * m, y0 - 0.051 * m);
    placeDisc(mouth_, toPixels(0.166 * m), x0, y0);
    placeDisc(mouthCut_, toPixels(0.166 * m - 0.03 * m), x0, y0);
    const QPen pen(Qt::black, toPixels(0.005 * m));
    crossHorizontal_->setPen(pen);
    crossVertical_->setPen(pen);
    crossHorizontal_->setLine(toPixels(x0 - 0.146 * m), toPixels(y0), toPixels(x0 + 0.146 * m), toPixels(y0));
    crossVertical_->setLine(toPixels(x0), toPixels(y0 - 0.146 * m), toPixels(x0), toPixels(y0 + 0.146 * m));
}
VEXA_RETHROW

void AdjustWorkspaceView::updateBody() try
{
    const QColor color = sample_.isVisible() && workspaceQuality_ == Vexa::Workspace::Good ? Qt::green : Qt::white;
    for (CanvasRectangle* item : {neck_, shoulderMiddle_, shoulderBody_}) {
        item->setBrush(color);
        item->setPen(QPen(color, 0));
    }
    for (CanvasEllipse* item : {head_, leftShoulder_, rightShoulder_, mouthCut_})
        item->setBrush(color);
}
VEXA_RETHROW

// ---- excursion rings -------------------------------------------------------------------

void AdjustWorkspaceView::setupExcursion(int w, int h) try
{
    for (int i = 0; i < 5; ++i) {
        rings_[i] = new CanvasEllipse(canvas(), Qt::white, 2 * i);
        discs_[i] = new CanvasEllipse(canvas(), Qt::green, 2 * i + 1);
    }
    resizeExcursion(w, h);
}
VEXA_RETHROW

void AdjustWorkspaceView::resizeExcursion(int w, int h) try
{
    const double m = std::min(w, h);
    for (int i = 0; i < 5; ++i) {
        const double f = 1.0 - 0.2 * i;
        placeDisc(rings_[i], toPixels((0.28 * f + 0.02) * m), 0.83 * w, 0.32 * h);
        placeDisc(discs_[i], toPixels(0.28 * f * m), 0.83 * w, 0.32 * h);
    }
    if (sample_.isVisible())
        updateExcursion();
}
VEXA_RETHROW

void AdjustWorkspaceView::updateExcursion() try
{
    if (!sample_.isVisible()) {
        discs_[0]->setBrush(Qt::black);
        for (int i = 1; i < 5; ++i) {
            rings_[i]->hide();
            discs_[i]->hide();
        }
        return;
    }
    double ex = 0.0, ey = 0.0;
    QColor color = Qt::black;
    if (workspace_) {
        const Vexa::Vector3D axis = sample_.getTransform().getColumn(2);
        const auto excursion = workspace_->getExcursion(axis);
        ex = ratio(excursion[0], workspace_->getGoodAngle());
        ey = ratio(excursion[1], workspace_->getGoodAngle());
        if (workspace_->getExcursionQuality(axis) == Vexa::Workspace::Good)
            color = Qt::green;
    }
    const double m = std::min(width(), height());
    for (int i = 0; i < 5; ++i) {
        const QPointF at(0.83 * width() + i * ex * 0.25 * m * 0.14, 0.32 * height() + i * ey * 0.25 * m * 0.14);
        rings_[i]->show();
        discs_[i]->show();
        rings_[i]->setPos(at);
        discs_[i]->setPos(at);
        discs_[i]->setBrush(color);
    }
}
VEXA_RETHROW

// ---- lights ----------------------------------------------------------------------------

void AdjustWorkspaceView::setupVisibility(int w, int h) try
{
    visibilityLight_ = new CanvasEllipse(canvas(), Qt::red, 0);
    visibilityLabel_ = new CanvasText(canvas(), "Patient", Qt::AlignLeft | Qt::AlignVCenter, 0);
    resizeVisibility(w, h);
}
VEXA_RETHROW

void AdjustWorkspaceView::resizeVisibility(int w, int h) try
{
    const double m = std::min(w, h);
    placeDisc(visibilityLight_, toPixels(0.0832 * m), 0.055 * w, 0.937 * h);
    visibilityLabel_->setFont(CanvasText::arial(toPixels(0.045 * w)));
    visibilityLabel_->setPos(0.055 * w + 0.0624 * m, 0.937 * h);
}
VEXA_RETHROW

void AdjustWorkspaceView::updateVisibility() try
{
    visibilityLight_->setBrush(sample_.isVisible() ? Qt::green : Qt::red);
}
VEXA_RETHROW

void AdjustWorkspaceView::setupDistance(int w, int h) try
{
    distanceLight_ = new CanvasEllipse(canvas(), Qt::red, 0);
    distanceLabel_ = new CanvasText(canvas(), "Distance", Qt::AlignLeft | Qt::AlignVCenter, 0);
    tooClose_ = new CanvasText(canvas(), "too close", Qt::AlignLeft | Qt::AlignVCenter, 0);
    tooFar_ = new CanvasText(canvas(), "too far", Qt::AlignLeft | Qt::AlignVCenter, 0);
    tooClose_->hide();
    tooFar_->hide();
    resizeDistance(w, h);
}
VEXA_RETHROW

void AdjustWorkspaceView::resizeDistance(int w, int h) try
{
    const double m = std::min(w, h), x = 0.055 * w + 0.0624 * m;
    placeDisc(distanceLight_, toPixels(0.0832 * m), 0.055 * w, 0.5 * h);
    for (CanvasText* text : {distanceLabel_, tooClose_, tooFar_})
        text->setFont(CanvasText::arial(toPixels(0.045 * w)));
    distanceLabel_->setPos(x, 0.5 * h);
    tooClose_->setPos(x, 0.5 * h - 0.146 * m);
    tooFar_->setPos(x, 0.5 * h + 0.146 * m);
}
VEXA_RETHROW

void AdjustWorkspaceView::updateDistance() try
{
    tooClose_->hide();
    tooFar_->hide();
    Vexa::Vector3D p, low, high;
    if (!sample_.isVisible() || !referencePoint(p, low, high)) {
        distanceLight_->setBrush(Qt::red);
        return;
    }
    QColor color = Qt::green;
    if (p.z < low.z) {
        tooClose_->show();
        color = Qt::red;
    } else if (p.z > high.z) {
        tooFar_->show();
        color = Qt::red;
    }
    distanceLight_->setBrush(color);
}
VEXA_RETHROW
