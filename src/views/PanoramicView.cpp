#include "views/PanoramicView.h"

#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/objects/OrthoSlicePositioner.h"
#include "planning/objects/PanoramicLine.h"
#include "vexa/core/CommandProcessor.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Geometry.h"
#include "vexa/slice/Slice.h"
#include "vexa/volume/VolumeData.h"
#include "views/ViewFailure.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <mutex>

#include <GL/gl.h>

using Vexa::Vector3D;

namespace {
constexpr float green[4] = {0.0f, 1.0f, 0.0f, 1.0f};
}

PanoramicView::PanoramicView(std::shared_ptr<Model> model, QWidget* parent, const char* name, Qt::WindowFlags flags)
    : OpenGL2DView(model, parent, name, flags)
    , panoramicLine_(model ? model->getPanoramicLine() : nullptr)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setRate(15.0);
}

Quorvane::IView* PanoramicView::clone(QWidget* parent) const try
{
    const QByteArray name = objectName().toUtf8();
    return new PanoramicView(model_, parent, name.constData());
}
VEXA_RETHROW

bool PanoramicView::isEmpty() const
{
    // One corner makes no curve to unroll.
    return !panoramicLine_ || panoramicLine_->numberOfCorners() < 2;
}

double PanoramicView::height3D() const
{
    const auto volume = model_ ? model_->getVolumeData() : nullptr;
    return volume ? volume->getExtentZ() : 0.0;
}

QSize PanoramicView::sizeHint() const
{
    const auto volume = model_ ? model_->getVolumeData() : nullptr;
    if (!volume || isEmpty() || !(volume->getSpacingX() > 0.0))
        return QSize(0, 0);
    const double s = volume->getSpacingX();
    const int w = int(panoramicLine_->getLength() / (0.5 * s));
    const int h = int(volume->getExtentZ() / (0.5 * s));
    return QSize(int(w * zoom_), int(h * zoom_));
}

Vexa::Size2<double> PanoramicView::getMMSize() const
{
    if (isEmpty())
        return Vexa::Size2<double>(0.0, 0.0);
    return Vexa::Size2<double>(panoramicLine_->getLength(), height3D());
}

Vexa::Size2<double> PanoramicView::getPixelMMSize() const
{
    if (width() <= 0 || height() <= 0)
        return Vexa::Size2<double>(0.0, 0.0);
    const auto mm = getMMSize();
    return Vexa::Size2<double>(mm.width / width(), mm.height / height());
}

Vector3D PanoramicView::getWorldPos(const double x, const double y) const try
{
    if (isEmpty() || width() <= 0 || height() <= 0)
        return Vector3D();
    const double length = panoramicLine_->getLength(), h = height3D();
    // The right edge is the last corner; nothing lies beyond either edge.
    const double offset = std::clamp(x, 0.0, double(width())) * length / width();
    const Vector3D p = panoramicLine_->getWorldPos(std::min(offset, length));
    return Vector3D(p.x, p.y, h - y * h / height());
}
VEXA_RETHROW

Vexa::Ray3<double> PanoramicView::getWorldPickRay(const double x, const double y) const try
{
    const Vector3D p = getWorldPos(x, y);
    if (isEmpty())
        return Vexa::Ray3<double>(p, Vector3D(0.0, 1.0, 0.0));
    return Vexa::Ray3<double>(p, -panoramicLine_->getNearestSectionPlane(p).second.getNormal());
}
VEXA_RETHROW

Vexa::Line3<double> PanoramicView::getWorldPickLine(const double x, const double y) const try
{
    const auto ray = getWorldPickRay(x, y);
    return Vexa::Line3<double>(ray.getPoint(), ray.getDirection());
}
VEXA_RETHROW

Vexa::Plane<double> PanoramicView::getPositionPlane(const Vector3D& position) const try
{
    return panoramicLine_ ? panoramicLine_->getNearestSectionPlane(position).second : Vexa::Plane<double>();
}
VEXA_RETHROW

std::shared_ptr<Vexa::Slice> PanoramicView::getNearestSlice(const Vector3D& position) const try
{
    if (!panoramicLine_)
        return nullptr;
    const auto& slices = panoramicLine_->getSlices();
    return nearestSliceOf(slices.begin(), slices.end(), position);
}
VEXA_RETHROW

double PanoramicView::getSliceViewOffset(std::shared_ptr<Vexa::Slice> slice) const try
{
    if (!panoramicLine_)
        return 0.0;
    const auto& slices = panoramicLine_->getSlices();
    return offsetOf(slices.begin(), slices.end(), slice);
}
VEXA_RETHROW

std::optional<int> PanoramicView::getDividePlaneColumn() const try
{
    const double length = isEmpty() ? 0.0 : panoramicLine_->getLength();
    if (!(length > 0.0) || !model_)
        return std::nullopt;
    const auto [ok, d] = model_->getNerve()->getDividePlaneOffset();
    if (!ok)
        return std::nullopt;
    return int(width() / length * d);
}
VEXA_RETHROW

std::vector<Vexa::Plane<double>> PanoramicView::getBandCell(const std::shared_ptr<Vexa::Slice>& slice) const try
{
    std::vector<Vexa::Plane<double>> planes;
    if (!panoramicLine_ || !slice)
        return planes;
    const auto& slices = panoramicLine_->getSlices();
    const auto found = std::find(slices.begin(), slices.end(), slice);
    if (found == slices.end())
        return planes;
    // Slice k spans corners k and k + 1.
    const auto first = std::next(panoramicLine_->cornersBegin(), found - slices.begin());
    if (first == panoramicLine_->cornersEnd() || std::next(first) == panoramicLine_->cornersEnd())
        return planes;
    const auto& a = **first;
    const auto& b = **std::next(first);
    const auto world = [&](const Vector3D& p) { return panoramicLine_->toWorld(p); };
    const Vector3D inside = world((a.getPosition() + b.getPosition()) * 0.5);
    const Vector3D up(0.0, 0.0, 1.0);
    const auto bound = [&](const Vector3D& p, const Vector3D& q) {
        const Vector3D along(q.x - p.x, q.y - p.y, 0.0);
        if (!(along.length() > 1e-9))
            return; // a collapsed edge bounds nothing
        Vexa::Plane<double> plane(p, along.cross(up));
        if (plane.getSignedDistance(inside) < 0.0)
            plane = Vexa::Plane<double>(p, up.cross(along));
        planes.push_back(plane);
    };
    bound(world(a.getLowerPoint()), world(b.getLowerPoint()));
    bound(world(a.getUpperPoint()), world(b.getUpperPoint()));
    bound(world(a.getLowerPoint()), world(a.getUpperPoint()));
    bound(world(b.getLowerPoint()), world(b.getUpperPoint()));
    return planes;
}
VEXA_RETHROW

// ---- updates and painting ----------------------------------------------------------------

void PanoramicView::update() try
{
    if (handOverToGuiThread())
        return;
    TimedView::update();
    const double length = isEmpty() ? 0.0 : panoramicLine_->getLength();
    const bool drawing = model_ && model_->getState() == Model::PanoramicLineInput;
    // The whole image is fitted into the frame whenever a planning shows one: while the curve is
    // drawn, when an image comes (a reload, a new curve) and when the Panoramic button is pressed.
    // Other changes of the curve keep the user's zoom.
    if (drawing && !wasDrawing_)
        fitWanted_ = true;
    wasDrawing_ = drawing;
    if (!Vexa::isEqual(lastLength_, length, 0.001)) {
        fitWanted_ = fitWanted_ || drawing || !(lastLength_ > 0.0);
        lastLength_ = length;
        updateGeometry();
    }
    if (fitWanted_ && length > 0.0 && fitIntoFrame())
        fitWanted_ = false;
    checkSliceVisualizer();
    if (showWhenNotEmpty())
        OpenGL2DView::update();
}
VEXA_RETHROW

void PanoramicView::initializeGL()
{
    OpenGL2DView::initializeGL();
}

void PanoramicView::drawSlices()
{
    if (isEmpty())
        return;
    const auto& slices = panoramicLine_->getSlices();
    visualizer_->setTextureCacheLimit(unsigned(2 * slices.size()));
    const bool drill = drawsHandpiece();
    const Model::CrossSections sections = model_->getCrossSections();
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    for (const auto& slice : slices) {
        setCameraForSlice(slice);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        drawImageDataAtSlice(slice);
        drawImplantsAtSlice(slice);
        drawNerveAtSlice(slice);
        if (drill)
            drawHandpieceAtSlice(slice);
        drawCrossSectionsAtSlice(slice, sections.begin, sections.end);
        if (model_->getState() == Model::MarkerDetected)
            drawMarkerAtSlice(slice, true, -1);
    }
    drawLengthMeasuringAtSlice();
    drawSlicePositioner();
    drawBorder();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
}

void PanoramicView::drawHandpieceAtSlice(std::shared_ptr<Vexa::Slice> slice) try
{
    // Each segment projects what it draws onto its own plane: the whole tool on every segment
    // would show it again wherever its silhouette reaches another segment's rectangle (the
    // other leg of a curved arch). The view transform is in the projection matrix, so with an
    // identity model-view the clip planes are given in world coordinates.
    const auto planes = getBandCell(slice);
    if (planes.empty())
        return;
    // The planes and their switches go back also when the drawing fails.
    struct Restore
    {
        Restore() { glPushAttrib(GL_TRANSFORM_BIT | GL_ENABLE_BIT); }
        ~Restore() { glPopAttrib(); }
    } restore;
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    for (std::size_t i = 0; i < planes.size(); ++i) {
        // A hair wider, so that a line lying in a dividing plane is drawn.
        const Vector3D n = planes[i].getNormal();
        const GLdouble equation[4] = {n.x, n.y, n.z, planes[i].getDistance() + 0.001};
        glClipPlane(GLenum(GL_CLIP_PLANE0 + i), equation);
        glEnable(GLenum(GL_CLIP_PLANE0 + i));
    }
    glPopMatrix();
    OpenGL2DView::drawHandpieceAtSlice(slice);
}
VEXA_RETHROW

void PanoramicView::drawImageDataAtSlice(std::shared_ptr<Vexa::Slice> slice) try
{
    visualizer_->render(slice);
}
VEXA_RETHROW

void PanoramicView::drawCrossSectionsAtSlice(std::shared_ptr<Vexa::Slice> slice,
                                             std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator begin,
                                             std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator end) try
{
    const Vexa::Matrix44<double> frame = slice->getTransform();
    drawPlaneCuts(Vexa::Plane<double>(frame.getTranslation(), frame.getColumn(2)), begin, end, green);
}
VEXA_RETHROW

void PanoramicView::drawNervePoints(std::shared_ptr<Vexa::Slice> slice, Nerve::ElementIterator element) try
{
    if (!slice || element->second->getType() == Nerve::Element::OldFormat || width() <= 0)
        return;
    glColor4f(1.0f, 1.0f, 0.0f, 1.0f);
    glLineWidth(1.0f);
    const double t = 5.0 * getMMSize().width / width();
    const Vexa::Plane<double> plane = slice->getPlane();
    for (const auto& point : element->second->getPointContainer())
        if (std::abs(plane.getSignedDistance(point->position)) < t)
            drawCircleAtSlice(slice, point->position, 5.0);
}
VEXA_RETHROW

// ---- mouse -------------------------------------------------------------------------------

void PanoramicView::releaseAt(const QPointF&)
{
    transversalSliceDrag_ = false;
    releaseImplantTransform();
    if (model_)
        releaseNerveAndMarker();
    unclipMouse();
    if (model_)
        updateAll();
}

void PanoramicView::doubleClickAt(const QPointF& position)
{
    askDeleteNerve(getWorldPos(position.x(), position.y()));
    updateAll();
}

// A nerve point held is confined to its side of the divide plane: the widget columns from the
// plane's column towards the first corner, or away from it.
void PanoramicView::grabAndConfine(const Vector3D& pos, bool traced)
{
    const bool held = traced ? traceNerve(pos) : grabNerve(pos);
    const auto column = getDividePlaneColumn();
    if (!held || !movingNervePoint_ || !column) {
        clipMouseToView();
        return;
    }
    const auto nerve = model_->getNerve();
    // Both in world coordinates.
    const Vector3D first = panoramicLine_->toWorld((*panoramicLine_->cornersBegin())->getPosition());
    const int xd = std::clamp(*column, 0, width());
    if (nerve->isAboveDividePlane(movingNervePoint_->position) == nerve->isAboveDividePlane(first))
        clipMouse(QRect(0, 0, std::max(1, xd), height()));
    else
        clipMouse(QRect(xd, 0, std::max(1, width() - xd), height()));
}

void PanoramicView::pressAt(const QPointF& position)
{
    if (!model_->getVolumeData())
        return;
    const double x = position.x(), y = position.y();
    const Vector3D pos = getWorldPos(x, y);
    const Vexa::Line3<double> line = getWorldPickLine(x, y);
    const int state = model_->getState();
    switch (state) {
    case Model::NormalInput:
    case Model::PanoramicLineInput:
    case Model::NerveTracing: {
        const unsigned mask = Model::NerveElement | Model::TransversalSliceElement |
                              (state == Model::NerveTracing ? 0u : unsigned(Model::ImplantElement));
        const unsigned found = model_->getElementsNearToPos(pos, mask);
        if (found & Model::ImplantElement) {
            prepareImplantTransform(getWorldPickRay(x, y));
            setCursor(Qt::CrossCursor);
            clipMouseToView();
        } else if (found & Model::NerveElement) {
            grabAndConfine(pos, false);
        } else if (found & Model::TransversalSliceElement) {
            transversalSliceDrag_ = true;
            clipMouseToView();
        } else if (state == Model::NerveTracing) {
            grabAndConfine(pos, true);
        } else {
            clipMouseToView();
        }
        break;
    }
    case Model::MarkerDetected: {
        dragStartPosition_ = dragCurrentPosition_ = pos;
        if (model_->getElementsNearToLine(line, Model::MarkerElement) & Model::MarkerElement) {
            movingMarker_ = model_->getMarkerNear(line);
            if (movingMarker_) {
                dragStartPosition_ = dragCurrentPosition_ = movingMarker_->getPosition();
                dragOffset_ = movingMarker_->getPosition() - pos;
                model_->selectMarker(movingMarker_);
            }
            clipMouseToView();
            break;
        }
        const unsigned found = model_->getElementsNearToPos(
            pos, Model::NerveElement | Model::ImplantElement | Model::TransversalSliceElement);
        if (found & Model::NerveElement) {
            grabAndConfine(pos, false);
            break;
        }
        if (found & Model::ImplantElement)
            prepareImplantTransform(getWorldPickRay(x, y));
        else if (found & Model::TransversalSliceElement)
            transversalSliceDrag_ = true;
        clipMouseToView();
        break;
    }
    default:
        pressInOtherStates(pos, QRect(0, 0, width(), height()));
        break;
    }
    updateAll();
}

void PanoramicView::moveAt(const QPointF& position)
{
    if (!model_->getVolumeData())
        return;
    const double x = position.x(), y = position.y();
    const Vector3D pos = getWorldPos(x, y);
    const Vexa::Ray3<double> ray = getWorldPickRay(x, y);
    if (dragWithinSlices(pos, ray))
        updateAll();
    else
        setCurveViewCursor(pos, ray,
                           model_->getState() == Model::MarkerDetected &&
                               (model_->getElementsNearToLine(getWorldPickLine(x, y), Model::MarkerElement) &
                                Model::MarkerElement));
}
