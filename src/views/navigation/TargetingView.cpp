#include "views/navigation/TargetingView.h"

#include "planning/model/ITargetingViewDataSource.h"
#include "planning/objects/Implant.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Line3.h"
#include "vexa/math/Plane.h"
#include "views/ViewFailure.h"
#include "views/navigation/CanvasEllipse.h"
#include "views/navigation/CanvasRectangle.h"
#include "views/navigation/CanvasText.h"
#include "views/navigation/CanvasTransparentEllipse.h"

#include <QCoreApplication>
#include <QGraphicsLineItem>
#include <QGraphicsScene>
#include <QPen>
#include <QResizeEvent>
#include <algorithm>
#include <cmath>

namespace {

constexpr double fiveSevenPi = 2.243994752564138;
// Limits hold for values that reach them only up to rounding (0.2 x 6 mm is a hair above 1.2).
constexpr double rounding = 1e-9;
const QColor darkGreen(0, 200, 0);
const QColor discGreen(78, 140, 4);


double clampedAcos(double v)
{
    return std::acos(std::isfinite(v) ? std::clamp(v, -1.0, 1.0) : 0.0);
}

QString translated(const char* text)
{
    return QCoreApplication::translate("TargetingView", text);
}

CanvasTransparentEllipse* shape(QGraphicsScene* scene, const QBrush& brush, const QPen& pen, double z)
{
    auto* item = new CanvasTransparentEllipse(scene);
    item->setBrush(brush);
    item->setPen(pen);
    item->setZValue(z);
    item->show();
    return item;
}

CanvasTransparentEllipse* disc(QGraphicsScene* scene, const QColor& color, double z)
{
    return shape(scene, color, QPen(color, 0), z);
}

QGraphicsLineItem* line(QGraphicsScene* scene, const QColor& color, double z)
{
    auto* item = scene->addLine(QLineF(), QPen(color, 0));
    item->setZValue(z);
    return item;
}

void setPenWidth(QAbstractGraphicsShapeItem* item, int width)
{
    QPen pen = item->pen();
    pen.setWidth(width);
    item->setPen(pen);
}

void setLine(QGraphicsLineItem* item, double x1, double y1, double x2, double y2, int width)
{
    QPen pen = item->pen();
    pen.setWidth(std::max(0, width));
    item->setPen(pen);
    item->setLine(CanvasView::toPixels(x1), CanvasView::toPixels(y1), CanvasView::toPixels(x2), CanvasView::toPixels(y2));
}

void place(CanvasTransparentEllipse* item, int width, int height, double x, double y)
{
    item->setSize(std::max(0, width), std::max(0, height));
    item->setPos(x, y);
}

}

TargetingView::CylinderGeometry::CylinderGeometry(int w, int h, double depth, bool exactUpper)
{
    const int m = std::min(w, h);
    frame = QRect(QPoint(toPixels(0.867 * w), toPixels(0.02 * h)), QPoint(toPixels(0.98 * w), toPixels(0.9 * h)));
    const int rw = frame.width();
    faceHeight = rw / 2.571;
    const double e = faceHeight;
    height = std::max(0, toPixels(frame.height() - e));
    const int gh = height * 10 / 13, rh = height * 3 / 13;
    const double dd = std::isfinite(depth) ? height * depth / 13.0 : 0.0;
    upper = QRect(frame.left(), toPixels(frame.top() + e / 2), rw, gh);
    const double upperHeight = exactUpper ? height * 10.0 / 13.0 : gh;
    lower = QRect(frame.left(), toPixels(frame.top() + upperHeight + e / 2 - dd - 2), rw, rh);
    gap = QRect(upper.bottomLeft(), lower.topRight());
    tipFace = QRect(gap.left() + 1, toPixels(gap.bottom() - e / 2 + 1), rw - 1, toPixels(e - 1));
    const double s = 0.005 * m;
    topFace = QRect(toPixels(upper.left() + 1 + s), toPixels(upper.top() - e / 2 + s + 2), toPixels(rw - 2 * s - 1), toPixels(e - 2 * s));
}

TargetingView::TargetingView(std::shared_ptr<ITargetingViewDataSource> source, QWidget* parent)
    : CanvasView(parent, Qt::black), source_(std::move(source))
{
    const QSize size = initialSize();
    const int w = size.width(), h = size.height();
    setupPosition(w, h);
    setupExcursion(w, h);
    setupTargetCross(w, h);
    setupVisibilities(w, h);
    setupImplantDetails(w, h);
    setupRegistration(w, h);
    setupDepthCylinder(w, h);
    setupDrill(w, h);
    setAllChanged();
}

TargetingView::~TargetingView() = default;

QSize TargetingView::sizeHint() const
{
    return parentWidget() ? parentWidget()->size() : CanvasView::sizeHint();
}

void TargetingView::layoutItems(int w, int h) try
{
    resizePosition(w, h);
    resizeExcursion(w, h);
    resizeTargetCross(w, h);
    resizeVisibilities(w, h);
    resizeImplantDetails(w, h);
    resizeRegistration(w, h);
    resizeDepthCylinder(w, h);
    resizeDrill(w, h);
}
VEXA_RETHROW

void TargetingView::refresh() try
{
    if (!isVisible())
        return;
    calcDrillValues();
    updatePosition();
    updateExcursion();
    updateTargetCross();
    updateVisibilities();
    updateImplantDetails();
    updateRegistration();
    updateDepthCylinder();
    updateDrill();
    viewport()->update();
}
VEXA_RETHROW

void TargetingView::calcDrillValues() try
{
    values_ = DrillValues();
    nearestImplant_ = source_ ? source_->getNearestImplantToDrill() : nullptr;
    if (!nearestImplant_)
        return;
    const Vexa::Matrix44<double> implant = nearestImplant_->getTransform();
    const Vexa::Matrix44<double> m = Vexa::inverse(source_->getPatientTDrill()) * implant;
    const Vexa::Vector3D axis(m[8], m[9], m[10]), origin(m[12], m[13], m[14]);
    const Vexa::Vector3D across(0, 0, 1);
    const auto position = Vexa::Plane<double>(Vexa::Vector3D(0, 0, 0), across).getIntersection(Vexa::Line3<double>(origin, axis));
    const auto excursion = Vexa::Plane<double>(Vexa::Vector3D(0, 0, 10), across).getIntersection(Vexa::Line3<double>(Vexa::Vector3D(0, 0, 0), axis));
    DrillValues v;
    v.positionX = 0.2 * position.second.x;
    v.positionY = 0.2 * position.second.y;
    v.excursionX = 0.4 * excursion.second.x;
    v.excursionY = 0.4 * excursion.second.y;
    const double depth = source_->getDrillDepthAtImplant(implant);
    // The implant's axis and the drill's z both point out of the bone when they are coaxial
    // (the handpiece colour turns green then); an axis across or against the drill crosses
    // the planes nowhere useful, and a parallel fallback point would read as "on target".
    const double length = axis.length();
    v.aligned = position.first == 3 && excursion.first == 3 && length > 0.0 && axis.z / length >= 0.001;
    if (!(std::isfinite(v.positionX) && std::isfinite(v.positionY) && std::isfinite(v.excursionX)
          && std::isfinite(v.excursionY)))
        v = DrillValues();
    v.depth = std::isfinite(depth) ? depth : 0.0;
    values_ = v;
}
VEXA_RETHROW

bool TargetingView::isGuiding() const
{
    return source_ && nearestImplant_ && values_.aligned && source_->isDrillRegistered()
           && source_->isPatientLocTrackerValid() && source_->isHandpieceTrackerValid();
}

void TargetingView::placeDot(CanvasTransparentEllipse* dot, double vx, double vy) const
{
    const int w = width(), h = height(), m = std::min(w, h);
    dot->setPos(0.558 * w + 0.3 * m * vy, 0.517 * h + 0.3 * m * vx);
}

// ---- position -------------------------------------------------------------------------

void TargetingView::setupPosition(int w, int h) try
{
    positionDot_ = disc(canvas(), Qt::blue, 6);
    resizePosition(w, h);
}
VEXA_RETHROW

void TargetingView::resizePosition(int w, int h) try
{
    const int m = std::min(w, h);
    place(positionDot_, toPixels(0.07 * m), toPixels(0.07 * m), 0.558 * w, 0.517 * h);
}
VEXA_RETHROW

void TargetingView::updatePosition() try
{
    const double r = std::hypot(values_.positionX, values_.positionY);
    const bool shown = r <= 1.2 + rounding && isGuiding();
    positionDot_->setVisible(shown);
    if (shown)
        placeDot(positionDot_, values_.positionX, values_.positionY);
}
VEXA_RETHROW

// ---- excursion ------------------------------------------------------------------------

void TargetingView::setupExcursion(int w, int h) try
{
    excursionDot_ = disc(canvas(), Qt::red, 7);
    excursionDisc_ = disc(canvas(), discGreen, 5);
    resizeExcursion(w, h);
}
VEXA_RETHROW

void TargetingView::resizeExcursion(int w, int h) try
{
    const int m = std::min(w, h);
    place(excursionDot_, toPixels(0.024 * m), toPixels(0.024 * m), 0.558 * w, 0.517 * h);
    place(excursionDisc_, toPixels(0.14 * m), toPixels(0.14 * m), 0.558 * w, 0.517 * h);
}
VEXA_RETHROW

void TargetingView::updateExcursion() try
{
    const double r = std::hypot(values_.excursionX, values_.excursionY);
    const bool shown = r <= 1.3 + rounding && isGuiding();
    for (CanvasTransparentEllipse* item : {excursionDot_, excursionDisc_}) {
        item->setVisible(shown);
        if (shown)
            placeDot(item, values_.excursionX, values_.excursionY);
    }
}
VEXA_RETHROW

// ---- target cross ---------------------------------------------------------------------

void TargetingView::setupTargetCross(int w, int h) try
{
    innerRing_ = shape(canvas(), Qt::NoBrush, QPen(Qt::black), 10);
    middleRing_ = shape(canvas(), Qt::NoBrush, QPen(Qt::black), 10);
    maskRing_ = shape(canvas(), Qt::NoBrush, QPen(Qt::black), 10);
    targetDisc_ = disc(canvas(), Qt::green, 0);
    centreDisc_ = disc(canvas(), Qt::white, 1);
    horizontalLine_ = line(canvas(), Qt::black, 10);
    verticalLine_ = line(canvas(), Qt::black, 10);
    resizeTargetCross(w, h);
}
VEXA_RETHROW

void TargetingView::resizeTargetCross(int w, int h) try
{
    const int m = std::min(w, h), p = toPixels(0.005 * m);
    const double cx = 0.558 * w, cy = 0.517 * h;
    place(innerRing_, toPixels(0.18 * m), toPixels(0.18 * m), cx, cy);
    place(middleRing_, toPixels(0.36 * m), toPixels(0.36 * m), cx, cy);
    place(maskRing_, toPixels(0.8 * m), toPixels(0.8 * m), cx, cy);
    place(targetDisc_, toPixels(0.6 * m), toPixels(0.6 * m), cx, cy);
    place(centreDisc_, toPixels(0.36 * m), toPixels(0.36 * m), cx, cy);
    setPenWidth(innerRing_, p);
    setPenWidth(middleRing_, p);
    setPenWidth(maskRing_, toPixels(0.2 * m));
    setLine(verticalLine_, cx, cy - 0.3 * m, cx, cy + 0.3 * m, p);
    setLine(horizontalLine_, cx - 0.3 * m, cy, cx + 0.3 * m, cy, p);
}
VEXA_RETHROW

void TargetingView::updateTargetCross() try
{
    const bool onTarget = source_ && source_->isDrillRegistered()
                          && Vexa::isEqual(source_->getHandpieceColor(), Vexa::Vector4<float>(0, 1, 0, 1), 0.001f);
    const QColor color = onTarget ? Qt::green : Qt::white;
    targetDisc_->setBrush(color);
    targetDisc_->setPen(QPen(color, 0));
}
VEXA_RETHROW

// ---- lamps ----------------------------------------------------------------------------

void TargetingView::setupVisibilities(int w, int h) try
{
    patientLamp_ = shape(canvas(), QColor(Qt::red), Qt::NoPen, 20);
    patientText_ = new CanvasText(canvas(), translated("Patient"), Qt::AlignLeft | Qt::AlignVCenter, 20);
    toolLamp_ = shape(canvas(), QColor(Qt::red), Qt::NoPen, 20);
    toolText_ = new CanvasText(canvas(), "Tool", Qt::AlignLeft | Qt::AlignVCenter, 20);
    resizeVisibilities(w, h);
}
VEXA_RETHROW

void TargetingView::resizeVisibilities(int w, int h) try
{
    const int m = std::min(w, h), lamp = toPixels(0.0832 * m);
    place(toolLamp_, lamp, lamp, 0.055 * w, 0.5 * h);
    place(patientLamp_, lamp, lamp, 0.055 * w, 0.942 * h);
    for (CanvasText* text : {toolText_, patientText_})
        text->setFont(CanvasText::arial(0.045 * w));
    toolText_->setPos(0.055 * w + 0.0624 * m, 0.5 * h);
    patientText_->setPos(0.055 * w + 0.0624 * m, 0.942 * h);
}
VEXA_RETHROW

void TargetingView::updateVisibilities() try
{
    const bool tool = source_ && source_->isHandpieceTrackerValid();
    const bool patient = source_ && source_->isPatientLocTrackerValid();
    toolLamp_->setBrush(tool ? Qt::green : Qt::red);
    patientLamp_->setBrush(patient ? Qt::green : Qt::red);
    QString name = source_ ? source_->getPatientName() : QString();
    if (name.size() > 18)
        name = name.left(16) + "..";
    patientText_->setText(translated("Patient") + ": " + name);
}
VEXA_RETHROW

// ---- implant details ------------------------------------------------------------------

void TargetingView::setupImplantDetails(int w, int h) try
{
    diameterText_ = new CanvasText(canvas(), QString::fromUtf8("Ø "), Qt::AlignLeft | Qt::AlignVCenter, 20);
    lengthText_ = new CanvasText(canvas(), "L ", Qt::AlignLeft | Qt::AlignVCenter, 20);
    resizeImplantDetails(w, h);
}
VEXA_RETHROW

void TargetingView::resizeImplantDetails(int w, int h) try
{
    for (CanvasText* text : {diameterText_, lengthText_})
        text->setFont(CanvasText::arial(0.045 * w));
    diameterText_->setPos(0.03 * w, 0.69 * h);
    lengthText_->setPos(0.03 * w, 0.782 * h);
}
VEXA_RETHROW

void TargetingView::updateImplantDetails() try
{
    QString diameter = "-.--", length = " -.--";
    if (source_ && source_->isDrillRegistered() && nearestImplant_) {
        diameter = QString::number(nearestImplant_->getDiameter(), 'f', 2);
        length = QString::number(nearestImplant_->getLength(), 'f', 2);
    }
    diameterText_->setText(QString::fromUtf8("Ø ") + diameter);
    lengthText_->setText("L " + length);
}
VEXA_RETHROW

// ---- registration ---------------------------------------------------------------------

void TargetingView::setupRegistration(int w, int h) try
{
    registrationLamp_ = shape(canvas(), QColor(Qt::red), Qt::NoPen, 20);
    registrationText_ = new CanvasText(canvas(), translated("Registration"), Qt::AlignLeft | Qt::AlignVCenter, 20);
    resizeRegistration(w, h);
}
VEXA_RETHROW

void TargetingView::resizeRegistration(int w, int h) try
{
    const int m = std::min(w, h), lamp = toPixels(0.0832 * m);
    place(registrationLamp_, lamp, lamp, 0.055 * w, 0.08 * h);
    registrationText_->setFont(CanvasText::arial(0.045 * w));
    registrationText_->setPos(0.055 * w + 0.0624 * m, 0.08 * h);
}
VEXA_RETHROW

void TargetingView::updateRegistration() try
{
    const bool registered = source_ && source_->isDrillRegistered();
    const QString number = registered ? QString::number(source_->getVisualizedDrillLength(), 'f', 0) : QString();
    registrationLamp_->setBrush(registered ? Qt::green : Qt::red);
    registrationText_->setText(translated("Registration") + " " + number);
}
VEXA_RETHROW

// ---- depth cylinder -------------------------------------------------------------------

void TargetingView::setupDepthCylinder(int w, int h) try
{
    QGraphicsScene* scene = canvas();
    upperPart_ = new CanvasRectangle(scene, Qt::green, 30);
    gapBar_ = new CanvasRectangle(scene, darkGreen, 30);
    lowerPart_ = new CanvasRectangle(scene, Qt::red, 28);
    topFace_ = shape(scene, QColor(Qt::green), QPen(Qt::black, 0), 31);
    boundaryFace_ = disc(scene, Qt::green, 32);
    bottomFace_ = shape(scene, QColor(Qt::red), QPen(Qt::black, 0), 29);
    bottomFace_->setAngles(32, -2944);
    for (auto*& arc : scaleArcs_) {
        arc = shape(scene, Qt::NoBrush, QPen(Qt::black, 0), 40);
        arc->setAngles(32, -2944);
    }
    tipDisc_ = disc(scene, Qt::blue, 33);
    topCrossA_ = line(scene, Qt::white, 33);
    topCrossB_ = line(scene, Qt::white, 33);
    tipCrossA_ = line(scene, Qt::white, 33);
    tipCrossB_ = line(scene, Qt::white, 33);
    drillLine_ = line(scene, Qt::blue, 35);
    drillShadow_ = line(scene, QColor(0, 0, 170), 34);
    resizeDepthCylinder(w, h);
}
VEXA_RETHROW

void TargetingView::setMovingCylinderItemsVisible(bool visible)
{
    tipDisc_->setVisible(visible);
    gapBar_->setVisible(visible);
    for (QGraphicsLineItem* item : {topCrossA_, topCrossB_, tipCrossA_, tipCrossB_, drillLine_, drillShadow_})
        item->setVisible(visible);
}

void TargetingView::resizeDepthCylinder(int w, int h) try
{
    const CylinderGeometry g(w, h, 0.0, false);
    // Too small to read: the whole cylinder goes (it comes back with a larger size).
    const bool readable = g.height >= minimumCylinderHeight && g.frame.width() > 2;
    for (QGraphicsItem* item : std::initializer_list<QGraphicsItem*>{upperPart_, lowerPart_, topFace_, boundaryFace_, bottomFace_})
        item->setVisible(readable);
    for (auto* arc : scaleArcs_)
        arc->setVisible(readable);
    if (!readable) {
        setMovingCylinderItemsVisible(false);
        return;
    }
    const int m = std::min(w, h), p = toPixels(0.005 * m), rw = g.frame.width(), e = toPixels(g.faceHeight);
    upperPart_->setSize(g.upper.width(), g.upper.height());
    upperPart_->setPos(g.upper.topLeft());
    gapBar_->setSize(g.gap.width(), g.gap.height());
    gapBar_->setPos(g.gap.topLeft());
    lowerPart_->setSize(g.lower.width(), g.lower.height());
    lowerPart_->setPos(g.lower.topLeft());
    place(topFace_, rw - 1, e, (g.upper.left() + g.upper.right()) / 2 + 1, g.upper.top());
    setPenWidth(topFace_, p);
    place(boundaryFace_, rw - 1, e, (g.gap.left() + g.gap.right()) / 2 + 1, g.gap.bottom());
    place(bottomFace_, rw - 1, e, (g.lower.left() + g.lower.right()) / 2 + 1, g.lower.bottom());
    setPenWidth(bottomFace_, p);
    for (int i = 0; i < 12; ++i) {
        place(scaleArcs_[i], rw, e, g.upper.left() + rw / 2, g.upper.top() + (i + 1) * g.height / 13 - 2);
        setPenWidth(scaleArcs_[i], p);
    }
    place(tipDisc_, rw - 1, e, (g.gap.left() + g.gap.right()) / 2 + 1, g.gap.bottom());
    const Vexa::Vector3D position(values_.positionX, values_.positionY, values_.depth);
    const Vexa::Vector3D excursion(values_.excursionX, values_.excursionY, 1.0);
    drawDepthCylinderLineCross(tipCrossA_, tipCrossB_, g.tipFace, position);
    drawDepthCylinderLineCross(topCrossA_, topCrossB_, g.topFace, excursion);
    drawDepthCylinderDrillLine(g.topFace, g.tipFace, position, excursion);
}
VEXA_RETHROW

void TargetingView::updateDepthCylinder() try
{
    const DrillValues& v = values_;
    const bool shown = isGuiding() && v.depth >= -3.0 && v.depth <= 9.5 && std::abs(v.positionX) <= 0.3 + rounding
                       && std::abs(v.positionY) <= 0.3 + rounding && std::abs(v.excursionX) <= 0.3 + rounding
                       && std::abs(v.excursionY) <= 0.3 + rounding;
    const CylinderGeometry g(width(), height(), v.depth, true);
    if (!shown || g.height < minimumCylinderHeight || g.frame.width() <= 2) {
        setMovingCylinderItemsVisible(false);
        return;
    }
    setMovingCylinderItemsVisible(true);
    place(tipDisc_, g.frame.width() - 1, toPixels(g.faceHeight), (g.gap.left() + g.gap.right()) / 2 + 1, g.gap.bottom());
    gapBar_->setSize(g.gap.width(), g.gap.height());
    gapBar_->setPos(g.gap.topLeft());
    const Vexa::Vector3D position(v.positionX, v.positionY, v.depth), excursion(v.excursionX, v.excursionY, 1.0);
    drawDepthCylinderLineCross(tipCrossA_, tipCrossB_, g.tipFace, position);
    drawDepthCylinderLineCross(topCrossA_, topCrossB_, g.topFace, excursion);
    drawDepthCylinderDrillLine(g.topFace, g.tipFace, position, excursion);
    const bool below = v.depth < 0.0;
    gapBar_->setBrush(below ? QColor(Qt::green) : darkGreen);
    boundaryFace_->setZValue(below ? 36 : 32);
    boundaryFace_->setBrush(below ? Qt::red : Qt::green);
}
VEXA_RETHROW

void TargetingView::drawDepthCylinderLineCross(QGraphicsLineItem* a, QGraphicsLineItem* b, const QRect& r,
                                               const Vexa::Vector3D& v) try
{
    const int m = std::min(width(), height()), pen = toPixels(0.005 * m);
    const QPoint c = r.center();
    const double hw = r.width() / 2.0, hh = r.height() / 2.0;
    const double angleA = clampedAcos(-3.2 * v.x) + fiveSevenPi, angleB = clampedAcos(3.2 * v.y) + fiveSevenPi;
    setLine(a, c.x() - hw * std::cos(angleA), c.y() - hh * std::sin(angleA), c.x() + hw * std::sin(angleA),
            c.y() + hh * std::cos(angleA), pen);
    setLine(b, c.x() + hw * std::cos(angleB), c.y() - hh * std::sin(angleB), c.x() - hw * std::sin(angleB),
            c.y() + hh * std::cos(angleB), pen);
}
VEXA_RETHROW

void TargetingView::drawDepthCylinderDrillLine(const QRect& top, const QRect& tip, const Vexa::Vector3D& p,
                                               const Vexa::Vector3D& q) try
{
    const int m = std::min(width(), height());
    const Vexa::Vector3D axis(0, 0, 1);
    const Vexa::Vector3D e = Vexa::Vector3D(3.2 * q.y, -3.2 * q.x, 3.2 * q.z).getRotated(axis, -fiveSevenPi);
    const Vexa::Vector3D t = Vexa::Vector3D(3.2 * p.y, -3.2 * p.x, 3.2 * p.z).getRotated(axis, -fiveSevenPi);
    const int x1 = toPixels(top.center().x() + top.width() * e.x / 2), y1 = toPixels(top.center().y() + top.height() * e.y / 2);
    const int x2 = toPixels(tip.center().x() + tip.width() * t.x / 2), y2 = toPixels(tip.center().y() + tip.height() * t.y / 2);
    setLine(drillLine_, x1, y1, x2, y2, toPixels(0.01 * m));
    setLine(drillShadow_, x1, y1 + 4, x2, y2 - 4, toPixels(0.02 * m));
}
VEXA_RETHROW

// ---- drill (no items) -----------------------------------------------------------------

void TargetingView::setupDrill(int w, int h)
{
    resizeDrill(w, h);
}

void TargetingView::resizeDrill(int, int) {}

void TargetingView::updateDrill() {}
