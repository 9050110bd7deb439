#include "views/OpenGL2DView.h"

#include "navigation/NavigationController.h"
#include "planning/commands/AddImplantCommand.h"
#include "planning/commands/AddNerveElementPointCommand.h"
#include "planning/commands/DeleteNerveElementCommand.h"
#include "planning/commands/DeleteNerveElementPointCommand.h"
#include "planning/commands/MoveImplantCommand.h"
#include "planning/commands/MoveMarkerCommand.h"
#include "planning/commands/MoveNerveElementCommand.h"
#include "planning/commands/MoveNerveElementPointCommand.h"
#include "planning/commands/RotateImplantGroupCommand.h"
#include "planning/model/IPlanningUi.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/Utilities.h"
#include "planning/model/Model.h"
#include "planning/objects/Implant.h"
#include "planning/model/VolumeSlice.h"
#include "planning/objects/OrthoSlicePositioner.h"
#include "vexa/core/CommandProcessor.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Box3.h"
#include "vexa/math/GLMatrixStack.h"
#include "vexa/math/Geometry.h"
#include "vexa/math/Scalar.h"
#include "vexa/math/Triangle3.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/slice/Slice.h"
#include "views/ViewFailure.h"

#include <QAbstractScrollArea>
#include <QCoreApplication>
#include <QEvent>
#include <QMouseEvent>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <shared_mutex>

#include <GL/gl.h>
#include <GL/glu.h>

using Vexa::Vector3D;

namespace {

void glColor(const float (&c)[4])
{
    glColor4f(c[0], c[1], c[2], c[3]);
}

constexpr float blue[4] = {0.0f, 0.0f, 1.0f, 1.0f};
constexpr float orange[4] = {1.0f, 0.647f, 0.0f, 1.0f};
constexpr float yellow[4] = {1.0f, 1.0f, 0.0f, 1.0f};
constexpr float green[4] = {0.0f, 1.0f, 0.0f, 1.0f};
constexpr float red[4] = {1.0f, 0.0f, 0.0f, 1.0f};

Vector3D unitOrZero(const Vector3D& v)
{
    const double length = v.length();
    return length > 0.0 ? v / length : Vector3D();
}

}

OpenGL2DView::OpenGL2DView(std::shared_ptr<Model> model, QWidget* parent, const char* name, Qt::WindowFlags flags)
    : OpenGLView(parent, name, flags)
    , model_(std::move(model))
    , tick_(model_, SnapshotDataSource::controllerOf(model_))
{
    setMouseTracking(true);
    followModel(model_);
}

OpenGL2DView::~OpenGL2DView()
{
    unfollowModel(model_);
    // The textures belong to this view's context.
    makeCurrent();
    visualizer_.reset();
    doneCurrent();
}

int OpenGL2DView::modelState() const
{
    return model_ ? model_->getState() : -1;
}

void OpenGL2DView::clipMouse(const QRect& rectangle)
{
    clip_ = rectangle.normalized();
    Utilities::clipMouseCursor(this, *clip_);
}

void OpenGL2DView::unclipMouse()
{
    clip_.reset();
    Utilities::unclipMouseCursor();
}

QPointF OpenGL2DView::clampToClip(const QPointF& position) const
{
    const QPointF p = clampToWidget(position);
    if (!clip_ || clip_->isEmpty())
        return p;
    return QPointF(std::clamp(p.x(), double(clip_->left()), double(clip_->right())),
                   std::clamp(p.y(), double(clip_->top()), double(clip_->bottom())));
}

QPointF OpenGL2DView::clampToWidget(const QPointF& position) const
{
    const double x = std::isfinite(position.x()) ? position.x() : 0.0;
    const double y = std::isfinite(position.y()) ? position.y() : 0.0;
    return QPointF(std::clamp(x, 0.0, std::max(0.0, double(width() - 1))),
                   std::clamp(y, 0.0, std::max(0.0, double(height() - 1))));
}

void OpenGL2DView::initializeGL()
{
    OpenGLView::initializeGL();
    glDisable(GL_DEPTH_TEST);
}

void OpenGL2DView::paintGL()
{
    beginText();
    try {
        const QColor c = backgroundColor();
        glClearColor(float(c.redF()), float(c.greenF()), float(c.blueF()), float(c.alphaF()));
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        if (model_) {
            // A planning being put into the Model: paint again once it is in.
            const auto planning = model_->tryReadLock();
            if (!planning.owns_lock()) {
                QTimer::singleShot(20, this, [this] { QOpenGLWidget::update(); });
            } else if (checkSliceVisualizer()) {
                // Every slice of this picture shows the tools of one tick.
                tick_.capture();
                drawSlices();
            }
        }
    }
    VIEW_CATCH_ALL
    try {
        finishText();
    }
    VIEW_CATCH_ALL
}

bool OpenGL2DView::showWhenNotEmpty() try
{
    if (isEmpty()) {
        if (!isHidden())
            hide();
        return false;
    }
    if (isHidden() && parentWidget()) {
        if (QWidget* grandParent = parentWidget()->parentWidget())
            QCoreApplication::postEvent(grandParent, new QEvent(QEvent::LayoutRequest));
        show();
    }
    return isVisible();
}
VEXA_RETHROW

bool OpenGL2DView::fitIntoFrame() try
{
    // The view lies in the frame's description widget, which lies in the scroll area's viewport.
    QWidget* description = parentWidget();
    QWidget* viewport = description ? description->parentWidget() : nullptr;
    // A frame not on the screen has not been given its size yet.
    if (!viewport || !viewport->isVisible())
        return false;
    const double zoom = zoom_;
    zoom_ = 1.0;
    const QSize image = sizeHint();
    zoom_ = zoom;
    QSize room = viewport->size();
    if (const auto* scroll = qobject_cast<const QAbstractScrollArea*>(viewport->parentWidget()))
        room = scroll->maximumViewportSize();
    // What the description widget shows besides the view (the caption) takes its height.
    room.rheight() -= std::max(0, description->sizeHint().height() - sizeHint().height());
    if (image.width() <= 0 || image.height() <= 0 || room.width() <= 0 || room.height() <= 0)
        return false;
    zoom_ = std::min(double(room.width()) / image.width(), double(room.height()) / image.height());
    updateGeometry();
    return true;
}
VEXA_RETHROW

void OpenGL2DView::mousePressEvent(QMouseEvent* event)
{
    handleMouse(event, &OpenGL2DView::pressAt, false);
}

void OpenGL2DView::mouseMoveEvent(QMouseEvent* event)
{
    handleMouse(event, &OpenGL2DView::moveAt, false);
}

void OpenGL2DView::mouseReleaseEvent(QMouseEvent* event)
{
    handleMouse(event, &OpenGL2DView::releaseAt, true);
}

void OpenGL2DView::mouseDoubleClickEvent(QMouseEvent* event)
{
    handleMouse(event, &OpenGL2DView::doubleClickAt, false);
}

void OpenGL2DView::handleMouse(QMouseEvent* event, void (OpenGL2DView::*handler)(const QPointF&), bool always)
{
    try {
        if (!model_)
            return;
        std::shared_lock<std::shared_mutex> planning;
        if (always) {
            // A drag must end, and the Model is replaced only in one short step.
            planning = model_->readLock();
        } else if (isEmpty() || width() <= 0 || height() <= 0 || !(planning = model_->tryReadLock()).owns_lock()) {
            return;
        }
        // A turn is measured from the pose at the press (the cross-sections, and so the ray,
        // follow the implant): where the mouse is decides it, not how many move events brought
        // it there, which a replay or a busy view delivers fewer or more of.
        if (handler == &OpenGL2DView::moveAt && rotatingImplant_) {
            const auto manager = model_->getImplantManager();
            for (const auto& [implant, before] : manager->getTransformSnapshot())
                manager->setImplantTransform(implant, before);
        }
        (this->*handler)(clampToClip(event->position()));
    }
    VIEW_CATCH_ALL
}

bool OpenGL2DView::dragWithinSlices(const Vector3D& pos, const Vexa::Ray3<double>& ray) try
{
    if (transversalSliceDrag_) {
        model_->getTransversalSlicePositioner()->setSlicePosition(pos.z);
        return true;
    }
    if (transformImplant(ray) || dragNerve(pos))
        return true;
    if (!movingMarker_)
        return false;
    // Only the height follows the mouse.
    const Vector3D p(dragStartPosition_.x - dragOffset_.x, dragStartPosition_.y - dragOffset_.y, pos.z);
    dragCurrentPosition_ = p + dragOffset_;
    model_->setMarkerPosition(movingMarker_, dragCurrentPosition_);
    return true;
}
VEXA_RETHROW

void OpenGL2DView::pressInOtherStates(const Vector3D& pos, const QRect& measuringClip) try
{
    switch (model_->getState()) {
    case Model::ImplantPlacing:
        Vexa::CommandProcessor::getInstance()->execute(AddImplantCommand::create(
            model_->getImplantManager(), Vexa::Matrix44<double>(pos), model_->getJaw(), false));
        model_->setStateAndUpdate(Model::NormalInput);
        break;
    case Model::LengthMeasuring:
        if (!measureLength(pos))
            clipMouse(measuringClip);
        break;
    case Model::Navigation:
        if (model_->getElementsNearToPos(pos, Model::TransversalSliceElement) & Model::TransversalSliceElement)
            transversalSliceDrag_ = true;
        clipMouseToView();
        break;
    default:
        clipMouseToView();
        break;
    }
}
VEXA_RETHROW

void OpenGL2DView::setCurveViewCursor(const Vector3D& pos, const Vexa::Ray3<double>& ray, bool marker) try
{
    const int state = model_->getState();
    switch (state) {
    case Model::NormalInput:
    case Model::PanoramicLineInput:
    case Model::NerveTracing:
    case Model::MarkerDetected: {
        unsigned mask = Model::NerveElement | Model::TransversalSliceElement;
        if (state != Model::NerveTracing)
            mask |= Model::ImplantElement;
        const unsigned found = model_->getElementsNearToPos(pos, mask);
        if (state == Model::MarkerDetected && (marker || (found & Model::NerveElement)))
            setCursor(Qt::CrossCursor);
        else if (found & Model::ImplantElement)
            setCursor(implantCursor(pos, ray));
        else if (found & Model::NerveElement)
            setCursor(Qt::CrossCursor);
        else if (found & Model::TransversalSliceElement)
            setCursor(Qt::SizeVerCursor);
        else
            setCursor(Qt::ArrowCursor);
        break;
    }
    case Model::ImplantPlacing:
    case Model::LengthMeasuring:
        setCursor(Qt::CrossCursor);
        break;
    case Model::Navigation:
        setCursor(model_->getElementsNearToPos(pos, Model::TransversalSliceElement) & Model::TransversalSliceElement
                      ? Qt::SizeVerCursor
                      : Qt::ArrowCursor);
        break;
    default:
        break;
    }
}
VEXA_RETHROW

Qt::CursorShape OpenGL2DView::implantCursor(const Vector3D& pos, const Vexa::Ray3<double>& ray) const try
{
    const auto implant = model_->getImplantManager()->getImplantNearPos(pos, 10.0);
    return implant && isImplantRotation(implant, ray) ? Qt::SizeHorCursor : Qt::SizeAllCursor;
}
VEXA_RETHROW

void OpenGL2DView::update() try
{
    if (handOverToGuiThread())
        return;
    if (visualizer_)
        setSliceVisualizerFunctions();
    OpenGLView::update();
}
VEXA_RETHROW

void OpenGL2DView::updateAll() try
{
    OpenGLView::update();
    if (model_)
        model_->notify();
}
VEXA_RETHROW

void OpenGL2DView::reset() try
{
    zoom_ = 1.0;
    transversalSliceDrag_ = coronalSliceDrag_ = sagittalSliceDrag_ = false;
    movingNervePoint_.reset();
    movingNerveElement_.reset();
    filtering_ = false;
    if (visualizer_)
        visualizer_->setFiltering(Vexa::SliceVisualizer::NearestFiltering);
    updateGeometry();
    OpenGLView::update();
    emit filteringChanged(false);
}
VEXA_RETHROW

void OpenGL2DView::toggleFiltering(bool on) try
{
    filtering_ = on;
    if (visualizer_) {
        visualizer_->setFiltering(on ? Vexa::SliceVisualizer::LinearFiltering : Vexa::SliceVisualizer::NearestFiltering);
        OpenGLView::update();
    }
    emit filteringChanged(on);
}
VEXA_RETHROW

void OpenGL2DView::zoomIn() try
{
    if (!model_ || !model_->getData())
        return;
    if (zoom_ <= 4.0) {
        zoom_ *= zoomStep;
        updateGeometry();
    }
}
VEXA_RETHROW

void OpenGL2DView::zoomOut() try
{
    if (!model_ || !model_->getData())
        return;
    if (zoom_ >= 0.25) {
        zoom_ /= zoomStep;
        updateGeometry();
    }
}
VEXA_RETHROW

bool OpenGL2DView::checkSliceVisualizer() try
{
    const auto volume = model_ ? model_->getVolumeData() : nullptr;
    if (!volume) {
        if (visualizer_)
            visualizer_->clearTextureCache();
        return false;
    }
    if (!visualizer_ || visualizer_->getVolume() != volume) {
        visualizer_ = Visualizer::create(volume);
        visualizer_->setTextureByteLimit(textureByteLimit);
        visualizer_->setFiltering(filtering_ ? Vexa::SliceVisualizer::LinearFiltering
                                             : Vexa::SliceVisualizer::NearestFiltering);
        setSliceVisualizerFunctions();
    }
    return true;
}
VEXA_RETHROW

void OpenGL2DView::setSliceVisualizerFunctions() try
{
    if (!visualizer_ || !model_)
        return;
    visualizer_->getFunction().setWindow(model_->getMinVoxelValue(), model_->getMaxVoxelValue());
}
VEXA_RETHROW

void OpenGL2DView::setCameraOrientationForSlice(std::shared_ptr<Vexa::Slice> slice) try
{
    const Vexa::Matrix44<double> frame = slice->getTransform();
    const Vector3D origin = frame.getTranslation();
    Vexa::lookAt(origin + frame.getColumn(2), origin, frame.getColumn(1));
}
VEXA_RETHROW

void OpenGL2DView::setCameraForSlice(std::shared_ptr<Vexa::Slice> slice) try
{
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    const double p = getPixelMMSize().width;
    if (!slice || !(p > 0.0) || !std::isfinite(p))
        return;
    const double o = getSliceViewOffset(slice);
    const double s = 1.0 / p;
    const int x0 = static_cast<int>(Vexa::round(s * o));
    const int x1 = static_cast<int>(Vexa::round(s * slice->getWidth() + s * o));
    const double ratio = devicePixelRatioF();
    glViewport(GLint(std::lround(x0 * ratio)), 0, GLsizei(std::lround((x1 - x0) * ratio)),
               GLsizei(std::lround(height() * ratio)));
    glOrtho(0.0, slice->getWidth(), 0.0, slice->getHeight(), -1000.0, 1000.0);
    setCameraOrientationForSlice(slice);
    glMatrixMode(GL_MODELVIEW);
}
VEXA_RETHROW

// ---- overlays ----------------------------------------------------------------------------

void OpenGL2DView::drawSlicedMesh(std::shared_ptr<Vexa::Slice> slice, std::shared_ptr<Vexa::IndexedTriangleMesh> mesh,
                                  const Vexa::Matrix44<double>& transform) try
{
    if (!slice || !mesh)
        return;
    const Vexa::Contour* contour = contours_.contourFor(*slice, mesh, transform);
    if (!contour)
        return;
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glMultMatrixd(transform.data());
    glBegin(GL_LINES);
    for (const auto& [a, b] : *contour) {
        glVertex3d(a.x, a.y, a.z);
        glVertex3d(b.x, b.y, b.z);
        glVertex3d(b.x, b.y, b.z);
        glVertex3d(a.x, a.y, a.z);
    }
    glEnd();
    glPopMatrix();
}
VEXA_RETHROW

void OpenGL2DView::drawCircleAtSlice(std::shared_ptr<Vexa::Slice> slice, const Vector3D& position, const double size) try
{
    if (!slice || width() <= 0)
        return;
    const double m = getMMSize().width / width();
    Vexa::Matrix44<double> frame = slice->getTransform();
    frame.setTranslation(position);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadMatrixd(frame.data());
    GLUquadric* quadric = gluNewQuadric();
    gluQuadricDrawStyle(quadric, GLU_SILHOUETTE);
    gluDisk(quadric, size * m, size * m, 25, 25);
    gluDeleteQuadric(quadric);
    glPopMatrix();
}
VEXA_RETHROW

void OpenGL2DView::drawCrossAtSlice(std::shared_ptr<Vexa::Slice> slice, const Vector3D& position, const double size) try
{
    if (!slice || width() <= 0)
        return;
    const double h = size * (getMMSize().width / width()) * 0.5;
    Vexa::Matrix44<double> frame = slice->getTransform();
    frame.setTranslation(position);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadMatrixd(frame.data());
    glBegin(GL_LINES);
    const double v[8][2] = {{-h, 0}, {h, 0}, {0, -h}, {0, h}, {0, h}, {0, -h}, {h, 0}, {-h, 0}};
    for (const auto& p : v)
        glVertex3d(p[0], p[1], 0.0);
    glEnd();
    glPopMatrix();
}
VEXA_RETHROW

void OpenGL2DView::drawImplantsAtSlice(std::shared_ptr<Vexa::Slice> slice) try
{
    if (!slice || !model_)
        return;
    const auto manager = model_->getImplantManager();
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glLineWidth(2.0f);
    const auto transforming = manager->getTransformingImplant();
    for (auto it = manager->implantsBegin(); it != manager->implantsEnd(); ++it) {
        glColor(*it == transforming ? orange : blue);
        drawSlicedMesh(slice, (*it)->getSurfaceModel(), (*it)->getTransform());
    }
    glPopMatrix();
}
VEXA_RETHROW

void OpenGL2DView::drawNerveAtSlice(std::shared_ptr<Vexa::Slice> slice) try
{
    if (!slice || !model_)
        return;
    const auto nerve = model_->getNerve();
    for (auto it = nerve->elementsBegin(); it != nerve->elementsEnd(); ++it) {
        glColor(yellow);
        glLineWidth(2.0f);
        if (const auto mesh = it->second->getMesh())
            drawSlicedMesh(slice, mesh, Vexa::Matrix44<double>());
        drawNervePoints(slice, it);
    }
}
VEXA_RETHROW

bool OpenGL2DView::drawsHandpiece() const
{
    const NavigationSnapshot& tick = tick_.snapshot();
    return tick.drillRegistered && tick.controllerState != NavigationController::CameraAdjustment;
}

void OpenGL2DView::drawHandpieceAtSlice(std::shared_ptr<Vexa::Slice> slice) try
{
    if (!model_ || model_->getState() != Model::Navigation)
        return;
    const NavigationSnapshot& tick = tick_.snapshot();
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glDisable(GL_DEPTH_TEST);
    const auto color = tick.handpieceColor;
    glColor4f(color.x, color.y, color.z, 0.3f);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadMatrixd(tick.patientTDrillOrigin.data());
    if (const auto handpiece = model_->getHandpieceMesh())
        handpiece->render(1, 1);
    if (const auto drill = drill_.meshFor(tick, *model_))
        drill->render(1, 1);
    drawReferenceLineAtSlice(slice);
    glPopMatrix();
    glPopAttrib();
}
VEXA_RETHROW

void OpenGL2DView::drawReferenceLineAtSlice(std::shared_ptr<Vexa::Slice>) try
{
    glDisable(GL_BLEND);
    glLineStipple(4, 0xAAAA);
    glEnable(GL_LINE_STIPPLE);
    glBegin(GL_LINES);
    glVertex3d(0.0, 0.0, 0.0);
    glVertex3d(-50.0, 0.0, 0.0);
    glEnd();
    glDisable(GL_LINE_STIPPLE);
}
VEXA_RETHROW

void OpenGL2DView::drawSlicePositioner() try
{
    const auto size = getMMSize();
    if (!model_ || !(size.width > 0.0) || !(size.height > 0.0))
        return;
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    const double ratio = devicePixelRatioF();
    glViewport(0, 0, GLsizei(std::lround(width() * ratio)), GLsizei(std::lround(height() * ratio)));
    gluOrtho2D(0.0, size.width, 0.0, size.height);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glLineWidth(1.0f);
    glColor(red);
    const double t = model_->getTransversalSlicePositioner()->getSlicePosition(true);
    glBegin(GL_LINE_STRIP);
    glVertex2d(0.0, t);
    glVertex2d(size.width, t);
    glEnd();
}
VEXA_RETHROW

void OpenGL2DView::drawMarkerAtSlice(std::shared_ptr<Vexa::Slice> slice, bool showAll, int index) try
{
    if (!model_ || !slice)
        return;
    glLineWidth(1.0f);
    const auto& markers = model_->getMarkers();
    const auto draw = [&](const Marker& marker) {
        glColor(marker.isSelected() ? orange : green);
        drawCircleAtSlice(slice, marker.getPosition(), 10.0);
        drawCrossAtSlice(slice, marker.getPosition(), 13.0);
    };
    if (index != -1) {
        if (index >= 0 && index < int(markers.size()))
            draw(*markers[std::size_t(index)]);
        return;
    }
    const Vexa::Plane<double> plane = slice->getPlane();
    for (const auto& marker : markers)
        if (showAll || std::abs((marker->getPosition() - plane.getPoint()).dot(plane.getNormal())) < 10.0)
            draw(*marker);
}
VEXA_RETHROW

bool OpenGL2DView::measureLength(const Vector3D& point) try
{
    if (!model_)
        return false;
    switch (model_->getMeasuringState()) {
    case 0:
        model_->setFirstMeasuringPoint(point);
        return false;
    case 1: {
        model_->setSecondMeasuringPoint(point);
        OpenGLView::update();
        const double length = (model_->getSecondMeasuringPoint() - model_->getFirstMeasuringPoint()).length();
        const QString text = QStringLiteral("\n") + tr("Length is ") + QString::number(length, 'f', 2) +
                             QStringLiteral("     ");
        if (const auto ui = IPlanningUi::get())
            ui->showMessage(QStringLiteral("Morvanta Planning"), text);
        model_->resetMeasuringState();
        return true;
    }
    default:
        return false;
    }
}
VEXA_RETHROW

void OpenGL2DView::drawLengthMeasuringPointAtSlice(const Vector3D& point) try
{
    if (const auto slice = getNearestSlice(point)) {
        glLineWidth(1.0f);
        drawCircleAtSlice(slice, point, 10.0);
        drawCrossAtSlice(slice, point, 13.0);
    }
}
VEXA_RETHROW

void OpenGL2DView::drawLengthMeasuringAtSlice() try
{
    if (!model_ || model_->getState() != Model::LengthMeasuring)
        return;
    glColor(orange);
    const int state = model_->getMeasuringState();
    const Vector3D first = model_->getFirstMeasuringPoint();
    const Vector3D second = model_->getSecondMeasuringPoint();
    if (state == 1 || state == 2) {
        if (const auto s1 = getNearestSlice(first)) {
            setCameraForSlice(s1);
            drawLengthMeasuringPointAtSlice(first);
        }
    }
    if (state != 2)
        return;
    const auto s1 = getNearestSlice(first);
    const auto s2 = getNearestSlice(second);
    if (s2) {
        setCameraForSlice(s2);
        drawLengthMeasuringPointAtSlice(second);
    }
    const auto size = getMMSize();
    if (s1 && s2 && *s1 == *s2 && size.width > 0.0 && size.height > 0.0) {
        glMatrixMode(GL_PROJECTION);
        glPushMatrix();
        glLoadIdentity();
        const double ratio = devicePixelRatioF();
        glViewport(0, 0, GLsizei(std::lround(width() * ratio)), GLsizei(std::lround(height() * ratio)));
        const double o = getSliceViewOffset(s1);
        glOrtho(-o, size.width - o, 0.0, size.height, -1000.0, 1000.0);
        setCameraOrientationForSlice(s1);
        glMatrixMode(GL_MODELVIEW);
        glLineWidth(2.0f);
        glBegin(GL_LINES);
        glVertex3d(first.x, first.y, first.z);
        glVertex3d(second.x, second.y, second.z);
        glEnd();
        glMatrixMode(GL_PROJECTION);
        glPopMatrix();
        glMatrixMode(GL_MODELVIEW);
    }
}
VEXA_RETHROW

void OpenGL2DView::drawBorder() try
{
    const auto size = getMMSize();
    if (!(size.width > 0.0) || !(size.height > 0.0))
        return;
    const auto pixel = getPixelMMSize();
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    const double ratio = devicePixelRatioF();
    glViewport(0, 0, GLsizei(std::lround(width() * ratio)), GLsizei(std::lround(height() * ratio)));
    gluOrtho2D(0.0, size.width, 0.0, size.height);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    // Through the centres of the outermost pixels, so that all four sides land inside.
    const double x0 = 0.5 * pixel.width, y0 = 0.5 * pixel.height;
    const double w = size.width - x0, h = size.height - y0;
    glLineWidth(1.0f);
    const QColor c = getColorID();
    glColor4f(float(c.redF()), float(c.greenF()), float(c.blueF()), float(c.alphaF()));
    glBegin(GL_LINE_LOOP);
    glVertex2d(x0, y0);
    glVertex2d(w, y0);
    glVertex2d(w, h);
    glVertex2d(x0, h);
    glEnd();
}
VEXA_RETHROW

void OpenGL2DView::setHandpieceProperties() const try
{
    if (!model_)
        return;
    const auto color = tick_.snapshot().handpieceColor;
    glColor4f(color.x, color.y, color.z, color.w);
    glLineWidth(1.0f);
}
VEXA_RETHROW

// ---- implant drags -----------------------------------------------------------------------

double OpenGL2DView::getAngleBetweenMouseAndImplantZAxis(std::shared_ptr<Implant> implant,
                                                         const Vexa::Plane<double> plane, Vexa::Ray3<double> ray) const
try {
    const Vexa::Matrix44<double> t = implant->getTransform();
    const Vector3D end = t.getTranslation() + t.getColumn(2) * implant->getLength();
    const Vector3D e = Vexa::projectOntoPlane(plane, end);
    const Vector3D a = Vexa::projectOntoPlane(plane, t.getTranslation()) - e;
    const Vector3D b = Vexa::projectOntoPlane(plane, ray.getPoint()) - e;
    // The mouse on the end point (or an implant seen end-on) has no direction.
    if (a.length() < 1e-9 || b.length() < 1e-9)
        return std::numeric_limits<double>::quiet_NaN();
    const Vector3D ua = a / a.length(), ub = b / b.length();
    double angle = std::acos(std::clamp(ua.dot(ub), -1.0, 1.0));
    if (ua.cross(plane.getNormal()).dot(ub) < 0.0)
        angle = -angle;
    return angle;
}
VEXA_RETHROW

bool OpenGL2DView::isImplantRotation(std::shared_ptr<Implant> implant, const Vexa::Ray3<double>& ray) const try
{
    if (!implant)
        return false;
    const Vexa::Matrix44<double> transform = implant->getTransform();
    const Vector3D direction = unitOrZero(ray.getDirection());
    const double angle =
        Vexa::radToDeg(std::acos(std::clamp(direction.dot(unitOrZero(transform.getColumn(2))), -1.0, 1.0)));
    if (angle < 45.0 || angle > 135.0)
        return false;
    const auto mesh = implant->getSurfaceModel();
    if (!mesh)
        return false;
    const auto& bb = mesh->getBoundingBox();
    Vexa::Box3<double> box({Vector3D(bb[0], bb[1], bb[2]), Vector3D(bb[3], bb[4], bb[5])});
    const double h = bb[5] - bb[2];
    box.scale(Vector3D(1.5, 1.5, 0.5));
    box.transform(Vexa::Matrix44<double>(Vector3D(0.0, 0.0, -0.5 * h)));

    const Vexa::Matrix44<double> toImplant = Vexa::inverse(transform);
    const Vexa::Ray3<double> local(toImplant * (ray.getPoint() - direction * 100.0), toImplant.rotate(direction));
    for (unsigned f = 0; f < 6; ++f) {
        Vexa::Rectangle3<double> face;
        box.getFace(face, f);
        const Vector3D normal = (face[1] - face[2]).cross(face[3] - face[2]);
        if (normal.dot(local.getDirection()) >= 0.0)
            continue;
        const Vexa::Triangle3<double> triangles[2] = {{face[0], face[1], face[2]}, {face[2], face[3], face[0]}};
        for (const auto& triangle : triangles) {
            double t = 0.0;
            Vector3D point;
            if (Vexa::intersects(local, triangle, t, point) && t >= 0.0)
                return true;
        }
    }
    return false;
}
VEXA_RETHROW

void OpenGL2DView::prepareImplantTransform(const Vexa::Ray3<double>& ray) try
{
    if (!model_)
        return;
    const auto manager = model_->getImplantManager();
    const auto implant = manager->selectImplantNearPos(ray.getPoint(), 10.0);
    if (!implant)
        return;
    manager->setTransformingImplant(implant);
    if (isImplantRotation(implant, ray)) {
        const Vexa::Matrix44<double> t = implant->getTransform();
        const Vector3D end = t.getTranslation() + t.getColumn(2) * implant->getLength();
        const double angle = getAngleBetweenMouseAndImplantZAxis(implant, getPositionPlane(end), ray);
        if (std::isfinite(angle)) {
            rotationStartTransform_ = t;
            rotationStartAngle_ = angle;
            rotatingImplant_ = implant;
            manager->prepareTransforming(implant);
            return;
        }
    }
    movingImplant_ = implant;
    dragStartPosition_ = implant->getTransform().getTranslation();
    dragOffset_ = dragStartPosition_ - ray.getPoint();
}
VEXA_RETHROW

bool OpenGL2DView::transformImplant(const Vexa::Ray3<double>& ray) try
{
    if (movingImplant_) {
        model_->getImplantManager()->setImplantPosition(movingImplant_, ray.getPoint() + dragOffset_);
        return true;
    }
    if (rotatingImplant_) {
        rotateImplant(ray);
        return true;
    }
    return false;
}
VEXA_RETHROW

void OpenGL2DView::rotateImplant(const Vexa::Ray3<double>& ray) try
{
    const Vexa::Plane<double> plane = getRotationPlane();
    const double angle = getAngleBetweenMouseAndImplantZAxis(rotatingImplant_, plane, ray);
    // No direction to the mouse: the pose at the press rather than a turn by NaN.
    if (!std::isfinite(angle))
        return;
    model_->getImplantManager()->rotateImplant(rotatingImplant_, -plane.getNormal(), angle - rotationStartAngle_);
}
VEXA_RETHROW

void OpenGL2DView::releaseImplantTransform() try
{
    if (!model_)
        return;
    const auto manager = model_->getImplantManager();
    const auto processor = Vexa::CommandProcessor::getInstance();
    if (movingImplant_) {
        const auto implant = std::move(movingImplant_);
        movingImplant_.reset();
        const Vector3D to = implant->getTransform().getTranslation();
        if (Vexa::isEqual(dragStartPosition_, to, dragTolerance))
            manager->setImplantPosition(implant, dragStartPosition_);
        else
            processor->execute(MoveImplantCommand::create(manager, implant, dragStartPosition_, to));
    }
    if (rotatingImplant_) {
        rotatingImplant_.reset();
        bool moved = false;
        for (const auto& [implant, before] : manager->getTransformSnapshot()) {
            const Vexa::Matrix44<double> now = implant->getTransform();
            const double length = implant->getLength();
            const auto tip = [length](const Vexa::Matrix44<double>& m) {
                return m.getTranslation() + m.getColumn(2) * length;
            };
            if (!Vexa::isEqual(before.getTranslation(), now.getTranslation(), dragTolerance) ||
                !Vexa::isEqual(tip(before), tip(now), dragTolerance))
                moved = true;
        }
        if (moved) {
            processor->execute(RotateImplantGroupCommand::create(manager));
        } else {
            for (const auto& [implant, before] : manager->getTransformSnapshot())
                manager->setImplantTransform(implant, before);
        }
    }
    manager->setTransformingImplant(nullptr);
}
VEXA_RETHROW

Vexa::Plane<double> OpenGL2DView::getRotationPlane() const try
{
    return getPositionPlane(rotatingImplant_->getRotationPoint());
}
VEXA_RETHROW

// ---- nerve editing and shared geometry ---------------------------------------------------

bool OpenGL2DView::grabNerve(const Vector3D& pos) try
{
    const auto nerve = model_->getNerve();
    dragStartPosition_ = dragCurrentPosition_ = pos;
    const auto element = nerve->getElementNear(pos);
    if (!element)
        return false;
    if ((*element)->second->getType() != Nerve::Element::UserDefined) {
        movingNerveElement_ = (*element)->second;
        dragOffset_ = movingNerveElement_->getCenter() - pos;
        return true;
    }
    return traceNerve(pos);
}
VEXA_RETHROW

bool OpenGL2DView::traceNerve(const Vector3D& pos) try
{
    const auto nerve = model_->getNerve();
    dragStartPosition_ = dragCurrentPosition_ = pos;
    if (const auto element = nerve->getElementNear(pos))
        if ((*element)->second->getType() != Nerve::Element::UserDefined)
            return false;
    auto point = nerve->getPointNear(pos);
    if (!point) {
        Vexa::CommandProcessor::getInstance()->execute(AddNerveElementPointCommand::create(nerve, pos, 3.0));
        point = nerve->getPointNear(pos);
    }
    if (!point)
        return false;
    movingNervePoint_ = **point;
    dragStartPosition_ = dragCurrentPosition_ = movingNervePoint_->position;
    dragOffset_ = movingNervePoint_->position - pos;
    return true;
}
VEXA_RETHROW

bool OpenGL2DView::dragNerve(const Vector3D& pos) try
{
    const auto nerve = model_->getNerve();
    if (movingNervePoint_) {
        nerve->movePoint(movingNervePoint_, pos + dragOffset_);
        dragCurrentPosition_ = movingNervePoint_->position;
        return true;
    }
    if (movingNerveElement_) {
        if (const auto element = nerve->findElement(movingNerveElement_))
            nerve->moveElement(*element, pos + dragOffset_);
        dragCurrentPosition_ = pos + dragOffset_;
        return true;
    }
    return false;
}
VEXA_RETHROW

void OpenGL2DView::releaseNerveAndMarker() try
{
    const auto processor = Vexa::CommandProcessor::getInstance();
    const bool moved = !Vexa::isEqual(dragStartPosition_, dragCurrentPosition_, dragTolerance);
    if (movingNervePoint_) {
        const auto point = std::move(movingNervePoint_);
        movingNervePoint_.reset();
        if (moved)
            processor->execute(
                MoveNerveElementPointCommand::create(model_->getNerve(), point, dragStartPosition_, dragCurrentPosition_));
        else if (point->position != dragStartPosition_)
            model_->getNerve()->movePoint(point, dragStartPosition_);
    }
    if (movingNerveElement_) {
        const auto element = std::move(movingNerveElement_);
        movingNerveElement_.reset();
        if (moved)
            processor->execute(
                MoveNerveElementCommand::create(model_->getNerve(), element, dragStartPosition_, dragCurrentPosition_));
    }
    if (movingMarker_) {
        const auto marker = std::move(movingMarker_);
        movingMarker_.reset();
        if (moved)
            processor->execute(MoveMarkerCommand::create(model_, marker, dragStartPosition_, dragCurrentPosition_));
        else
            model_->setMarkerPosition(marker, dragStartPosition_);
    }
}
VEXA_RETHROW

void OpenGL2DView::askDeleteNerve(const Vector3D& pos) try
{
    const int state = model_->getState();
    if (state != Model::NormalInput && state != Model::NerveTracing)
        return;
    if (!(model_->getElementsNearToPos(pos, Model::NerveElement) & Model::NerveElement))
        return;
    const auto nerve = model_->getNerve();
    const auto element = nerve->getElementNear(pos);
    const auto ui = IPlanningUi::get();
    if (!element || !ui)
        return;
    const auto processor = Vexa::CommandProcessor::getInstance();
    if ((*element)->second->getType() == Nerve::Element::UserDefined) {
        if (!nerve->getPointNear(pos))
            return;
        if (!ui->askBeforeDeleting(this, tr("Attention"), tr("Do you want to delete this nerve point?")))
            return;
        // Looked up again: the question's event loop may have let the nerve change.
        if (const auto point = nerve->getPointNear(pos))
            processor->execute(DeleteNerveElementPointCommand::create(nerve, *point));
        return;
    }
    const auto held = (*element)->second;
    if (!ui->askBeforeDeleting(this, tr("Attention"), tr("Do you want to delete this nerve element?")))
        return;
    if (const auto again = nerve->findElement(held))
        processor->execute(DeleteNerveElementCommand::create(nerve, *again));
}
VEXA_RETHROW

std::optional<std::pair<Vector3D, Vector3D>> OpenGL2DView::cutRectangle(const Vexa::Plane<double>& plane,
                                                                         const Vexa::Rectangle3<double>& rect)
{
    std::vector<Vector3D> points;
    int on = 0;
    for (int i = 0; i < 4; ++i) {
        const Vector3D a = rect[i], b = rect[(i + 1) % 4];
        const double da = plane.getSignedDistance(a), db = plane.getSignedDistance(b);
        const bool aOn = std::abs(da) < 0.001, bOn = std::abs(db) < 0.001;
        if (aOn) {
            ++on;
            points.push_back(a);
        } else if (!bOn && (da < 0.0) != (db < 0.0)) {
            points.push_back(a + (b - a) * (da / (da - db)));
        }
    }
    if (on == 4 || points.size() < 2)
        return std::nullopt;
    return std::make_pair(points[0], points[1]);
}

void OpenGL2DView::drawPlaneCuts(const Vexa::Plane<double>& plane,
                                 std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator begin,
                                 std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator end, const float (&colour)[4]) try
{
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glColor(colour);
    glLineWidth(1.0f);
    glLineStipple(3, 0xEAEA);
    glEnable(GL_LINE_STIPPLE);
    glBegin(GL_LINES);
    for (auto it = begin; it != end; ++it) {
        const auto section = std::dynamic_pointer_cast<VolumeSlice>(*it);
        if (!*it || (section && !section->isValid()))
            continue;
        if (const auto cut = cutRectangle(plane, (*it)->getRectangle())) {
            glVertex3d(cut->first.x, cut->first.y, cut->first.z);
            glVertex3d(cut->second.x, cut->second.y, cut->second.z);
        }
    }
    glEnd();
    glDisable(GL_LINE_STIPPLE);
    glPopMatrix();
}
VEXA_RETHROW

std::shared_ptr<Vexa::Slice> OpenGL2DView::nearestSliceOf(std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator begin,
                                                          std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator end,
                                                          const Vector3D& pos)
{
    std::shared_ptr<Vexa::Slice> best;
    double bestDistance = std::numeric_limits<double>::max();
    for (auto it = begin; it != end; ++it) {
        const auto& slice = *it;
        if (!slice || !(slice->getWidth() > 0.0))
            continue;
        const Vexa::Matrix44<double> t = slice->getTransform();
        const Vexa::Plane<double> plane = slice->getPlane();
        const Vector3D projected = Vexa::projectOntoPlane(plane, pos);
        const Vector3D d = projected - t.getTranslation();
        const Vector3D x = t.getColumn(0), y = t.getColumn(1);
        const double u = d.dot(x) / x.squaredLength(), v = d.dot(y) / y.squaredLength();
        const double tolerance = 1e-9;
        if (u < -tolerance || u > slice->getWidth() + tolerance || v < -tolerance || v > slice->getHeight() + tolerance)
            continue;
        const double distance = (pos - projected).length();
        if (distance < bestDistance) {
            bestDistance = distance;
            best = slice;
        }
    }
    return best;
}

double OpenGL2DView::offsetOf(std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator begin,
                              std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator end,
                              const std::shared_ptr<Vexa::Slice>& slice)
{
    // The slice itself, or one equal to it: a list made afresh (the cross sections are made
    // for every answer) holds new slices for the same places.
    for (const bool byValue : {false, true}) {
        double offset = 0.0;
        for (auto it = begin; it != end; ++it) {
            if (*it == slice || (byValue && slice && **it == *slice))
                return offset;
            offset += (*it)->getWidth();
        }
    }
    return 0.0;
}
