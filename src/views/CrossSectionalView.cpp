#include "views/CrossSectionalView.h"

#include "planning/model/Constants.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/VolumeSlice.h"
#include "planning/objects/Implant.h"
#include "planning/objects/OrthoSlicePositioner.h"
#include "planning/objects/PanoramicLine.h"
#include "vexa/core/CommandProcessor.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Geometry.h"
#include "vexa/slice/Slice.h"
#include "vexa/volume/VolumeData.h"
#include "views/ViewFailure.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QTimer>
#include <cmath>
#include <limits>
#include <mutex>

#include <GL/gl.h>

using Vexa::Vector3D;

namespace {
constexpr float yellow[4] = {1.0f, 1.0f, 0.0f, 1.0f};
}

CrossSectionalView::CrossSectionalView(std::shared_ptr<Model> model, QWidget* parent, const char* name,
                                       Qt::WindowFlags flags)
    : OpenGL2DView(std::move(model), parent, name, flags)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setRate(15.0);
}

Quorvane::IView* CrossSectionalView::clone(QWidget* parent) const try
{
    const QByteArray name = objectName().toUtf8();
    return new CrossSectionalView(model_, parent, name.constData());
}
VEXA_RETHROW

std::vector<std::shared_ptr<Vexa::Slice>> CrossSectionalView::sections() const
{
    if (!model_)
        return {};
    const Model::CrossSections list = model_->getCrossSections();
    return std::vector<std::shared_ptr<Vexa::Slice>>(list.begin, list.end);
}

unsigned CrossSectionalView::getNumberOfCrossSections() const
{
    return model_ ? model_->getCrossSections().count : 0u;
}

bool CrossSectionalView::isEmpty() const
{
    // The sections stand across the curve: without one (fewer than two corners, as after
    // deleting it) there is nothing to show, whatever implants there are.
    return getNumberOfCrossSections() == 0 || !model_ || model_->getPanoramicLine()->numberOfCorners() < 2;
}

QSize CrossSectionalView::sizeHint() const
{
    const auto volume = model_ ? model_->getVolumeData() : nullptr;
    const unsigned count = getNumberOfCrossSections();
    if (!volume || count == 0 || !(volume->getSpacingX() > 0.0))
        return QSize(0, 0);
    const double s = volume->getSpacingX();
    const int column = int(Constants::crossSectionWidth / (s * 0.5));
    return QSize(int(column * zoom_) * int(count), int(int(volume->getExtentZ() / (s * 0.5)) * zoom_));
}

double CrossSectionalView::getCrossSectionPixelWidth() const
{
    const unsigned count = getNumberOfCrossSections();
    if (count == 0)
        return 0.0;
    // Whole pixels, and at least one even when the widget is narrower than the count.
    return double(std::max(1, width() / int(count)));
}

bool CrossSectionalView::isInColumns(double x) const
{
    return x >= 0.0 && x < getCrossSectionPixelWidth() * getNumberOfCrossSections();
}

unsigned CrossSectionalView::getSliceIndex(double x) const
{
    const unsigned count = getNumberOfCrossSections();
    const double w = getCrossSectionPixelWidth();
    if (count == 0 || !(w > 0.0) || !(x > 0.0))
        return 0;
    return std::min(count - 1, unsigned(x / w));
}

std::shared_ptr<Vexa::Slice> CrossSectionalView::getSlice(double x) const
{
    const auto list = sections();
    return list.empty() ? nullptr : list[getSliceIndex(x)];
}

QRect CrossSectionalView::getCrossSectionRect(double x) const
{
    const double w = getCrossSectionPixelWidth();
    return QRect(int(getSliceIndex(x) * w + 1.0), 0, std::max(1, int(w - 2.0)), height());
}

QString CrossSectionalView::getLabel(unsigned index) const try
{
    QString label = QString::number(index + 1);
    if (!model_ || model_->getState() == Model::MarkerDetected)
        return label;
    const auto manager = model_->getImplantManager();
    if (index >= manager->numberOfImplants())
        return label;
    const unsigned group = manager->getImplants()[index]->getGroup();
    if (group == 0)
        return label;
    // Letters run out after Z: the group's number then.
    const QString name = group <= 26 ? QString(QChar(char16_t(64 + group))) : QString::number(group);
    return label + QStringLiteral(" (%1)").arg(name);
}
VEXA_RETHROW

Vexa::Size2<double> CrossSectionalView::getMMSize() const
{
    const auto list = sections();
    if (list.empty())
        return Vexa::Size2<double>(0.0, 0.0);
    return Vexa::Size2<double>(list.size() * Constants::crossSectionWidth, list.front()->getHeight());
}

Vexa::Size2<double> CrossSectionalView::getPixelMMSize() const
{
    const auto list = sections();
    const double w = getCrossSectionPixelWidth();
    if (list.empty() || height() <= 0 || !(w > 0.0))
        return Vexa::Size2<double>(0.0, 0.0);
    // One column of whole pixels per cross section, the drawing and the picking alike.
    return Vexa::Size2<double>(Constants::crossSectionWidth / w, list.front()->getHeight() / height());
}

Vector3D CrossSectionalView::getWorldPos(const double x, const double y) const try
{
    const auto slice = getSlice(x);
    const double w = getCrossSectionPixelWidth();
    if (!slice || !(w > 0.0) || height() <= 0)
        return Vector3D();
    const double clampedX = std::clamp(x, 0.0, w * getNumberOfCrossSections());
    const double u = std::clamp((clampedX - getSliceIndex(x) * w) / w, 0.0, 1.0);
    const double v = 1.0 - y / height();
    const Vexa::Matrix44<double> t = slice->getTransform();
    return t.getTranslation() + t.getColumn(0) * (u * slice->getWidth()) + t.getColumn(1) * (v * slice->getHeight());
}
VEXA_RETHROW

Vexa::Ray3<double> CrossSectionalView::getWorldPickRay(const double x, const double y) const try
{
    const auto slice = getSlice(x);
    const Vector3D normal = slice ? slice->getTransform().getColumn(2) : Vector3D(1.0, 0.0, 0.0);
    return Vexa::Ray3<double>(getWorldPos(x, y), normal);
}
VEXA_RETHROW

Vexa::Line3<double> CrossSectionalView::getWorldPickLine(const double x, const double y) const try
{
    const auto ray = getWorldPickRay(x, y);
    return Vexa::Line3<double>(ray.getPoint(), ray.getDirection());
}
VEXA_RETHROW

Vexa::Plane<double> CrossSectionalView::getPositionPlane(const Vector3D& position) const try
{
    Vexa::Plane<double> best(Vector3D(), Vector3D(1.0, 0.0, 0.0));
    double bestDistance = std::numeric_limits<double>::max();
    for (const auto& slice : sections()) {
        const Vexa::Plane<double> plane = slice->getPlane();
        const double distance = (position - Vexa::projectOntoPlane(plane, position)).length();
        if (distance < bestDistance) {
            bestDistance = distance;
            best = plane;
        }
    }
    return best;
}
VEXA_RETHROW

std::shared_ptr<Vexa::Slice> CrossSectionalView::getNearestSlice(const Vector3D& position) const try
{
    const auto list = sections();
    return nearestSliceOf(list.begin(), list.end(), position);
}
VEXA_RETHROW

double CrossSectionalView::getSliceViewOffset(std::shared_ptr<Vexa::Slice> slice) const try
{
    const auto list = sections();
    return offsetOf(list.begin(), list.end(), slice);
}
VEXA_RETHROW

// ---- updates and painting ----------------------------------------------------------------

void CrossSectionalView::update() try
{
    if (handOverToGuiThread())
        return;
    TimedView::update();
    // Counted as none while there is no curve to show them on.
    const unsigned count = isEmpty() ? 0u : getNumberOfCrossSections();
    if (count != numberOfCrossSections_) {
        numberOfCrossSections_ = count;
        updateGeometry();
        // Every section in sight at once, with the caption, whenever they come or their number
        // changes (a reload, an implant placed or removed); a zoom of the user's holds until then.
        fitWanted_ = true;
    }
    if (fitWanted_ && count > 0 && fitIntoFrame())
        fitWanted_ = false;
    checkSliceVisualizer();
    // Hidden whenever there is nothing to show; a frame relies on that.
    if (showWhenNotEmpty())
        OpenGL2DView::update();
}
VEXA_RETHROW

void CrossSectionalView::drawSlices()
{
    const auto list = sections();
    const unsigned target =
        drawsHandpiece() ? model_->getImplantManager()->getNumberOfImplant(tick_.snapshot().nearestImplant) : 0;
    visualizer_->setTextureCacheLimit(unsigned(2 * list.size()));
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    for (unsigned i = 0; i < list.size(); ++i) {
        const auto& slice = list[i];
        setCameraForSlice(slice);
        const auto section = std::dynamic_pointer_cast<VolumeSlice>(slice);
        if (section && section->isValid()) {
            glMatrixMode(GL_MODELVIEW);
            glLoadIdentity();
            visualizer_->render(slice);
            drawImplantsAtSlice(slice);
            drawNerveAtSlice(slice);
            if (i + 1 == target)
                drawHandpieceAtSlice(slice);
            drawPanoramicSliceProjectionsAtSlice(slice);
            if (model_->getState() == Model::MarkerDetected)
                drawMarkerAtSlice(slice, false, int(i));
        }
        drawBorderAndCrossSectionNumber(slice, i);
    }
    drawLengthMeasuringAtSlice();
    drawSlicePositioner();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
}

void CrossSectionalView::drawBorderAndCrossSectionNumber(std::shared_ptr<Vexa::Slice> slice, unsigned index) try
{
    const auto pixel = getPixelMMSize();
    const double w = slice->getWidth() - pixel.width, h = slice->getHeight() - pixel.height;
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    const Vexa::Matrix44<double> frame = slice->getTransform();
    glLoadMatrixd(frame.data());
    glLineWidth(1.0f);
    glColor4f(0.0f, 1.0f, 0.0f, 1.0f);
    glBegin(GL_LINE_LOOP);
    glVertex2d(0.0, 0.0);
    glVertex2d(w, 0.0);
    glVertex2d(w, h);
    glVertex2d(0.0, h);
    glEnd();
    glPushAttrib(GL_LIGHTING_BIT | GL_TEXTURE_BIT);
    glDisable(GL_LIGHTING);
    glDisable(GL_TEXTURE_2D);
    glColor4f(0.0f, 0.502f, 0.0f, 1.0f); // the named colour "green"
    QFont font(QStringLiteral("Arial"), 12, 75);
    font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    const QString label = getLabel(index);
    const QFontMetrics metrics(font);
    // Right-aligned in its own column, 5 pixels from the column's right edge.
    const double right = (index + 1) * getCrossSectionPixelWidth();
    renderText(right - (metrics.horizontalAdvance(label) + 5), metrics.height(), label, font);
    glPopAttrib();
    glPopMatrix();
}
VEXA_RETHROW

void CrossSectionalView::drawPanoramicSliceProjectionsAtSlice(std::shared_ptr<Vexa::Slice> slice) try
{
    const auto& line = model_->getPanoramicLine()->getSlices();
    drawPlaneCuts(Vexa::Plane<double>(slice->getTransform().getTranslation(), slice->getTransform().getColumn(2)),
                  line.begin(), line.end(), yellow);
}
VEXA_RETHROW

// ---- mouse -------------------------------------------------------------------------------

void CrossSectionalView::doubleClickAt(const QPointF& position)
{
    if (isInColumns(position.x()))
        askDeleteNerve(getWorldPos(position.x(), position.y()));
    updateAll();
}

void CrossSectionalView::pressAt(const QPointF& position)
{
    // Presses right of the last column hit no cross section.
    if (!isInColumns(position.x()))
        return;
    const double x = position.x(), y = position.y();
    const Vector3D pos = getWorldPos(x, y);
    const QRect column = getCrossSectionRect(x);
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
        } else if (found & Model::NerveElement) {
            grabNerve(pos);
        } else if (found & Model::TransversalSliceElement) {
            transversalSliceDrag_ = true;
        } else if (state == Model::NerveTracing) {
            traceNerve(pos);
        }
        clipMouse(column);
        break;
    }
    case Model::MarkerDetected: {
        dragStartPosition_ = dragCurrentPosition_ = pos;
        const unsigned found = model_->getElementsNearToPos(
            pos, Model::MarkerElement | Model::NerveElement | Model::ImplantElement | Model::TransversalSliceElement);
        if (found & Model::MarkerElement) {
            movingMarker_ = model_->getMarkerNear(pos);
            if (movingMarker_) {
                dragStartPosition_ = dragCurrentPosition_ = movingMarker_->getPosition();
                dragOffset_ = movingMarker_->getPosition() - pos;
                model_->selectMarker(movingMarker_);
            }
        } else if (found & Model::NerveElement) {
            grabNerve(pos);
        } else if (found & Model::ImplantElement) {
            prepareImplantTransform(getWorldPickRay(x, y));
        } else if (found & Model::TransversalSliceElement) {
            transversalSliceDrag_ = true;
        }
        clipMouse(column);
        break;
    }
    default:
        pressInOtherStates(pos, column);
        break;
    }
    updateAll();
}

void CrossSectionalView::moveAt(const QPointF& position)
{
    const bool markers = model_->getState() == Model::MarkerDetected;
    if (markers ? model_->getMarkers().empty() : model_->getImplantManager()->numberOfImplants() == 0)
        return;
    const Vector3D pos = getWorldPos(position.x(), position.y());
    const Vexa::Ray3<double> ray = getWorldPickRay(position.x(), position.y());
    if (dragWithinSlices(pos, ray))
        updateAll();
    else
        setCurveViewCursor(pos, ray, markers && (model_->getElementsNearToPos(pos, Model::MarkerElement) & Model::MarkerElement));
}

void CrossSectionalView::releaseAt(const QPointF& position)
{
    transversalSliceDrag_ = false;
    if (!model_) {
        unclipMouse();
        return;
    }
    releaseImplantTransform();
    releaseNerveAndMarker();
    if (!isEmpty() && width() > 0 && height() > 0 && model_->getState() == Model::NormalInput) {
        const Vector3D pos = getWorldPos(position.x(), position.y());
        if (model_->getElementsNearToPos(pos, Model::ImplantElement) & Model::ImplantElement)
            setCursor(implantCursor(pos, getWorldPickRay(position.x(), position.y())));
    }
    unclipMouse();
    updateAll();
}
