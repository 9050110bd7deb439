#include "views/OrthoView.h"

#include "planning/commands/AddImplantCommand.h"
#include "planning/commands/AddMarkerCommand.h"
#include "planning/commands/AddPanoramicLinePointCommand.h"
#include "planning/commands/DeletePanoramicLinePointCommand.h"
#include "planning/commands/MovePanoramicLinePointCommand.h"
#include "planning/model/IPlanningUi.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Utilities.h"
#include "planning/model/VolumeSlice.h"
#include "planning/objects/OrthoSlicePositioner.h"
#include "vexa/core/CommandProcessor.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Geometry.h"
#include "vexa/slice/Slice.h"
#include "vexa/volume/VolumeData.h"
#include "views/ViewFailure.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMouseEvent>
#include <QTimer>
#include <mutex>

#include <GL/gl.h>

using Vexa::Vector3D;

OrthoView::OrthoView(std::shared_ptr<Model> model, std::shared_ptr<OrthoSlicePositioner> own,
                     std::shared_ptr<OrthoSlicePositioner> second, std::shared_ptr<OrthoSlicePositioner> third,
                     QWidget* parent, const char* name, Qt::WindowFlags flags)
    : OpenGL2DView(model, parent, name, flags)
    , slicePositioner_(std::move(own))
    , secondPositioner_(std::move(second))
    , thirdPositioner_(std::move(third))
    , panoramicLine_(model ? model->getPanoramicLine() : nullptr)
{
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setRate(15.0);
}

OrthoView::~OrthoView()
{
    if (Utilities::isMouseCursorClipped())
        unclipMouse();
}

OrthoView* OrthoView::createNamed(std::shared_ptr<Model> model, const QString& name, QWidget* parent) try
{
    if (!model)
        return nullptr;
    const auto transversal = model->getTransversalSlicePositioner();
    const auto coronal = model->getCoronalSlicePositioner();
    const auto sagittal = model->getSagitalSlicePositioner();
    const QByteArray n = name.toUtf8();
    if (name == QLatin1String("Axial"))
        return new OrthoView(model, transversal, sagittal, coronal, parent, n.constData());
    if (name == QLatin1String("Coronal"))
        return new OrthoView(model, coronal, sagittal, transversal, parent, n.constData());
    if (name == QLatin1String("Sagittal"))
        return new OrthoView(model, sagittal, coronal, transversal, parent, n.constData());
    return nullptr;
}
VEXA_RETHROW

Quorvane::IView* OrthoView::clone(QWidget* parent) const try
{
    const QByteArray name = objectName().toUtf8();
    auto* view = new OrthoView(model_, slicePositioner_, secondPositioner_, thirdPositioner_, parent, name.constData());
    view->volume_ = volume_;
    return view;
}
VEXA_RETHROW

bool OrthoView::isEmpty() const
{
    return !model_ || !model_->getVolumeData();
}

bool OrthoView::isAxial() const
{
    return slicePositioner_ && slicePositioner_->getOrientation() == 2;
}

QSize OrthoView::sizeHint() const
{
    if (isEmpty() || !slicePositioner_)
        return QSize(0, 0);
    const unsigned w = slicePositioner_->getSliceWidthInVoxels();
    const auto mm = slicePositioner_->getSliceMMSize();
    if (!(mm.width > 0.0))
        return QSize(0, 0);
    const int h = static_cast<int>(w / mm.width * mm.height);
    return QSize(static_cast<int>(w * zoom_), static_cast<int>(h * zoom_));
}

void OrthoView::stepUp() try
{
    if (isEmpty())
        return;
    slicePositioner_->stepSliceUp();
    model_->notify();
}
VEXA_RETHROW

void OrthoView::stepDown() try
{
    if (isEmpty())
        return;
    slicePositioner_->stepSliceDown();
    model_->notify();
}
VEXA_RETHROW

// ---- geometry ----------------------------------------------------------------------------

Vexa::Size2<double> OrthoView::getMMSize() const
{
    return slicePositioner_ ? slicePositioner_->getSlice(true)->getSize() : Vexa::Size2<double>();
}

Vexa::Size2<double> OrthoView::getPixelMMSize() const
{
    // A widget without pixels has no scale.
    if (width() <= 0 || height() <= 0)
        return Vexa::Size2<double>(0.0, 0.0);
    const auto mm = getMMSize();
    return Vexa::Size2<double>(mm.width / width(), mm.height / height());
}

Vector3D OrthoView::getWorldPos(const double x, const double y) const try
{
    const auto slice = slicePositioner_->getSlice(true);
    const auto pixel = getPixelMMSize();
    const double u = x * pixel.width;
    const double v = (height() - y) * pixel.height;
    return slice->getTransform() * Vector3D(u, v, 0.0);
}
VEXA_RETHROW

Vexa::Ray3<double> OrthoView::getWorldPickRay(const double x, const double y) const try
{
    // Along the slice normal: a pick ray along z would see a vertical implant end-on in the
    // coronal and sagittal views, which could then never be turned.
    return Vexa::Ray3<double>(getWorldPos(x, y), slicePositioner_->getSliceTransform(true).getColumn(2));
}
VEXA_RETHROW

Vexa::Line3<double> OrthoView::getWorldPickLine(const double x, const double y) const try
{
    Vector3D direction(0.0, 0.0, 1.0);
    if (const auto volume = model_ ? model_->getVolumeData() : nullptr) {
        const Vector3D column = volume->getTransform().getColumn(slicePositioner_->getOrientation());
        if (column.length() > 0.0)
            direction = column / column.length();
    }
    return Vexa::Line3<double>(getWorldPos(x, y), direction);
}
VEXA_RETHROW

Vexa::Plane<double> OrthoView::getPositionPlane(const Vector3D&) const try
{
    const auto t = slicePositioner_->getSliceTransform(true);
    return Vexa::Plane<double>(t.getTranslation(), t.getColumn(2));
}
VEXA_RETHROW

std::shared_ptr<Vexa::Slice> OrthoView::getNearestSlice(const Vector3D&) const try
{
    return slicePositioner_->getSlice(true);
}
VEXA_RETHROW

// ---- updates -----------------------------------------------------------------------------

void OrthoView::update() try
{
    if (handOverToGuiThread())
        return;
    TimedView::update();
    const auto volume = model_ ? model_->getVolumeData() : nullptr;
    if (volume != volume_) {
        volume_ = volume;
        updateGeometry();
    }
    // Hidden whenever there is nothing to show; a frame relies on that.
    if (!showWhenNotEmpty()) {
        checkSliceVisualizer();
        return;
    }
    if (isVisible() && checkSliceVisualizer()) {
        visualizer_->setTextureCacheLimit(slicePositioner_->getNumberOfSlices());
        OpenGL2DView::update();
    }
}
VEXA_RETHROW

void OrthoView::initializeGL()
{
    OpenGL2DView::initializeGL();
}

// ---- painting ----------------------------------------------------------------------------

void OrthoView::drawSlices()
{
    const auto slice = slicePositioner_->getSlice(true);
    setCameraForSlice(slice);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    visualizer_->render(slice);
    if (isAxial()) {
        drawPanormicLine(slice);
        const Model::CrossSections sections = model_->getCrossSections();
        drawCrosssectional(sections.begin, sections.end);
    }
    drawImplantsAtSlice(slice);
    drawNerveAtSlice(slice);
    if (drawsHandpiece())
        drawHandpieceAtSlice(slice);
    if (model_->getState() == Model::MarkerDetected)
        drawMarkerAtSlice(slice, true, -1);
    drawLengthMeasuringAtSlice();
    drawLeftRightDescription();
    drawBorder();
    const QString caption = slicePositioner_->getSliceDirectionDescription() + QStringLiteral(": ") +
                            QString::number(slicePositioner_->getSlicePosition(true), 'f', 2);
    renderText(10.0, 20.0, caption, GlTextOverlay::systemFont());
}

void OrthoView::drawPanormicLine(std::shared_ptr<Vexa::Slice> slice) try
{
    if (!panoramicLine_)
        return;
    const Vexa::Matrix44<double> transform = panoramicLine_->getTransform();
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadMatrixd(transform.data());
    glLineWidth(1.0f);
    glColor4f(1.0f, 1.0f, 0.0f, 1.0f);
    for (auto it = panoramicLine_->cornersBegin(); it != panoramicLine_->cornersEnd(); ++it)
        drawCircleAtSlice(slice, transform * (*it)->getPosition(), 2.5);
    glBegin(GL_LINE_STRIP);
    for (auto it = panoramicLine_->cornersBegin(); it != panoramicLine_->cornersEnd(); ++it) {
        const Vector3D& p = (*it)->getPosition();
        glVertex3d(p.x, p.y, p.z);
    }
    glEnd();
    glColor4f(1.0f, 0.0f, 0.0f, 1.0f);
    glLineStipple(4, 0xAAAA);
    glEnable(GL_LINE_STIPPLE);
    glBegin(GL_LINE_LOOP);
    for (auto it = panoramicLine_->cornersBegin(); it != panoramicLine_->cornersEnd(); ++it) {
        const Vector3D& p = (*it)->getUpperPoint();
        glVertex3d(p.x, p.y, p.z);
    }
    for (auto it = panoramicLine_->cornersEnd(); it != panoramicLine_->cornersBegin();) {
        const Vector3D& p = (*--it)->getLowerPoint();
        glVertex3d(p.x, p.y, p.z);
    }
    glEnd();
    glDisable(GL_LINE_STIPPLE);
    glPopMatrix();
}
VEXA_RETHROW

void OrthoView::drawCrosssectional(std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator begin,
                                   std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator end) try
{
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLineWidth(1.0f);
    glColor4f(0.0f, 1.0f, 0.0f, 1.0f);
    int n = 1;
    for (auto it = begin; it != end; ++it, ++n) {
        const auto section = std::dynamic_pointer_cast<VolumeSlice>(*it);
        if (!section || !section->isValid())
            continue;
        const Vexa::Matrix44<double> frame = section->getTransform();
        glLoadMatrixd(frame.data());
        glBegin(GL_LINES);
        glVertex3d(0.0, 0.0, 0.0);
        glVertex3d(section->getWidth(), 0.0, 0.0);
        glEnd();
        renderText(-2.0, 0.0, 0.0, QString::number(n), GlTextOverlay::systemFont());
    }
    glPopMatrix();
}
VEXA_RETHROW

void OrthoView::drawLeftRightDescription() try
{
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glPushAttrib(GL_LIGHTING_BIT | GL_TEXTURE_BIT);
    glDisable(GL_LIGHTING);
    glDisable(GL_TEXTURE_2D);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    const QFont font = GlTextOverlay::systemFont();
    renderText(10.0, height() / 2, slicePositioner_->getLeftDescription(), font);
    renderText(width() - 20.0, height() / 2, slicePositioner_->getRightDescription(), font);
    glPopAttrib();
    glPopMatrix();
}
VEXA_RETHROW

void OrthoView::drawSlicePositioner() try
{
    const auto size = getMMSize();
    if (!(size.width > 0.0) || !(size.height > 0.0))
        return;
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    const double ratio = devicePixelRatioF();
    glViewport(0, 0, GLsizei(width() * ratio), GLsizei(height() * ratio));
    glOrtho(0.0, size.width, 0.0, size.height, -1.0, 1.0);
    glMatrixMode(GL_MODELVIEW);
    glLineWidth(1.0f);
    glColor4f(1.0f, 0.0f, 0.0f, 1.0f);
    const double y = thirdPositioner_->getSlicePosition(true);
    const double x = secondPositioner_->getSlicePosition(true);
    glBegin(GL_LINES);
    glVertex2d(0.0, y);
    glVertex2d(size.width, y);
    glVertex2d(x, 0.0);
    glVertex2d(x, size.height);
    glEnd();
    glPopMatrix();
}
VEXA_RETHROW

// ---- mouse -------------------------------------------------------------------------------

void OrthoView::hideEvent(QHideEvent* event)
{
    // A drag cannot go on in a view that is gone.
    try {
        if (movingCorner_ || movingMarker_ || movingImplant_ || rotatingImplant_)
            releaseAt(QPointF());
    }
    VIEW_CATCH_ALL
    OpenGL2DView::hideEvent(event);
}

void OrthoView::pressAt(const QPointF& position)
{
    const double x = position.x(), y = position.y();
    const Vector3D pos = getWorldPos(x, y);
    const Vexa::Line3<double> line = getWorldPickLine(x, y);
    const unsigned axialMask = isAxial() ? Model::PanoramicLineElement : 0u;
    switch (model_->getState()) {
    case Model::PanoramicLineInput:
        addPanoramicPoint(pos, (model_->getElementsNearToPos(pos, Model::PanoramicLineElement) &
                                Model::PanoramicLineElement) != 0);
        break;
    case Model::NormalInput:
    case Model::NerveTracing: {
        const unsigned found = model_->getElementsNearToPos(pos, Model::ImplantElement | axialMask);
        if (found & Model::ImplantElement) {
            prepareImplantTransform(getWorldPickRay(x, y));
            setCursor(Qt::CrossCursor);
            clipMouseToView();
        } else if (found & Model::PanoramicLineElement) {
            addPanoramicPoint(pos, true);
        } else {
            clipMouseToView();
        }
        break;
    }
    case Model::ImplantPlacing:
        Vexa::CommandProcessor::getInstance()->execute(AddImplantCommand::create(
            model_->getImplantManager(), Vexa::Matrix44<double>(pos), model_->getJaw(), isAxial()));
        model_->setStateAndUpdate(Model::NormalInput);
        break;
    case Model::MarkerDetected: {
        dragStartPosition_ = dragCurrentPosition_ = pos;
        if (model_->getElementsNearToLine(line, Model::MarkerElement) & Model::MarkerElement) {
            movingMarker_ = model_->getMarkerNear(line);
        } else if (isAxial() &&
                   (model_->getElementsNearToPos(pos, Model::PanoramicLineElement) & Model::PanoramicLineElement)) {
            addPanoramicPoint(pos, true);
            break;
        } else if (model_->getMarkers().size() < 6) {
            Vexa::CommandProcessor::getInstance()->execute(AddMarkerCommand::create(model_, pos));
            movingMarker_ = model_->getMarkerNear(pos);
        }
        if (movingMarker_) {
            dragStartPosition_ = dragCurrentPosition_ = movingMarker_->getPosition();
            dragOffset_ = movingMarker_->getPosition() - pos;
            model_->selectMarker(movingMarker_);
        }
        clipMouseToView();
        break;
    }
    case Model::LengthMeasuring:
        if (!measureLength(pos))
            clipMouseToView();
        break;
    default:
        clipMouseToView();
        break;
    }
    updateAll();
}

void OrthoView::addPanoramicPoint(const Vector3D& pos, bool grab) try
{
    const auto line = model_->getPanoramicLine();
    movingCorner_.reset();
    if (const auto found = line->getPointAtPos(pos)) {
        movingCorner_ = **found;
        dragStartPosition_ = line->getTransform() * movingCorner_->getPosition();
    } else {
        Vexa::CommandProcessor::getInstance()->execute(AddPanoramicLinePointCommand::create(model_, pos));
        if (grab)
            if (const auto added = line->getPointAtPos(pos)) {
                movingCorner_ = **added;
                dragStartPosition_ = line->getTransform() * movingCorner_->getPosition();
            }
    }
    clipMouseToView();
}
VEXA_RETHROW

void OrthoView::moveAt(const QPointF& position)
{
    const double x = position.x(), y = position.y();
    const Vector3D pos = getWorldPos(x, y);
    const Vexa::Line3<double> line = getWorldPickLine(x, y);

    if (transversalSliceDrag_ || coronalSliceDrag_ || sagittalSliceDrag_) {
        if (transversalSliceDrag_)
            model_->getTransversalSlicePositioner()->setSlicePosition(pos.z);
        if (coronalSliceDrag_)
            model_->getCoronalSlicePositioner()->setSlicePosition(pos.y);
        if (sagittalSliceDrag_)
            model_->getSagitalSlicePositioner()->setSlicePosition(pos.x);
        updateAll();
        return;
    }
    if (movingCorner_) {
        model_->getPanoramicLine()->movePoint(movingCorner_, pos);
        updateAll();
        return;
    }
    if (transformImplant(getWorldPickRay(x, y))) {
        updateAll();
        return;
    }
    if (movingMarker_) {
        model_->setMarkerPosition(movingMarker_, pos + dragOffset_);
        dragCurrentPosition_ = pos + dragOffset_;
        updateAll();
        return;
    }
    switch (model_->getState()) {
    case Model::NormalInput:
    case Model::PanoramicLineInput:
    case Model::NerveTracing:
    case Model::MarkerDetected: {
        if (model_->getElementsNearToLine(line, Model::MarkerElement) & Model::MarkerElement) {
            setCursor(Qt::CrossCursor);
            break;
        }
        const unsigned mask = (isAxial() ? unsigned(Model::PanoramicLineElement) : 0u) |
                              (model_->getState() != Model::PanoramicLineInput ? unsigned(Model::ImplantElement) : 0u);
        const unsigned found = mask ? model_->getElementsNearToPos(pos, mask) : 0u;
        if (found & Model::ImplantElement)
            setCursor(Qt::SizeAllCursor);
        else if (found & Model::PanoramicLineElement)
            setCursor(Qt::CrossCursor);
        else
            setCursor(Qt::ArrowCursor);
        break;
    }
    case Model::ImplantPlacing:
    case Model::LengthMeasuring:
        setCursor(Qt::CrossCursor);
        break;
    default:
        break;
    }
}

void OrthoView::releaseAt(const QPointF&)
{
    transversalSliceDrag_ = coronalSliceDrag_ = sagittalSliceDrag_ = false;
    if (!model_) {
        unclipMouse();
        return;
    }
    const auto processor = Vexa::CommandProcessor::getInstance();
    if (movingCorner_) {
        const auto corner = std::move(movingCorner_);
        movingCorner_.reset();
        const auto line = model_->getPanoramicLine();
        const Vector3D to = line->getTransform() * corner->getPosition();
        if (!Vexa::isEqual(dragStartPosition_, to, dragTolerance))
            processor->execute(MovePanoramicLinePointCommand::create(line, corner, dragStartPosition_, to));
    }
    releaseNerveAndMarker();
    releaseImplantTransform();
    unclipMouse();
    updateAll();
}

void OrthoView::doubleClickAt(const QPointF& position)
{
    const Vector3D pos = getWorldPos(position.x(), position.y());
    const int state = model_->getState();
    const auto line = model_->getPanoramicLine();
    if ((state == Model::NormalInput || state == Model::PanoramicLineInput) && line->getPointAtPos(pos)) {
        const auto ui = IPlanningUi::get();
        const bool yes = ui && ui->askBeforeDeleting(this, tr("Attention"),
                                                       tr("Do you really want to delete this panoramic point?"));
        // Looked up again: the question's own event loop may have let the line change.
        if (yes)
            if (const auto corner = line->getPointAtPos(pos))
                Vexa::CommandProcessor::getInstance()->execute(DeletePanoramicLinePointCommand::create(model_, *corner));
    }
    updateAll();
}
