#include "views/OpenGL3DView.h"

#include "navigation/NavigationController.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/objects/Implant.h"
#include "planning/objects/Nerve.h"
#include "vexa/core/Clock.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/math/GLMatrixStack.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "views/ViewFailure.h"
#include "views/scene/CameraRig.h"

#include <QMouseEvent>
#include <QTimer>
#include <algorithm>
#include <array>
#include <mutex>

#include <GL/gl.h>
#include <GL/glu.h>

using Vexa::Matrix44;
using Vexa::Vector3D;

namespace {

constexpr float implantBlue[4] = {0.0f, 0.0f, 1.0f, 1.0f};
constexpr float transformingOrange[4] = {1.0f, 0.647f, 0.0f, 1.0f};
constexpr float nerveYellow[4] = {1.0f, 1.0f, 0.0f, 1.0f};
constexpr float navigationRed[4] = {1.0f, 0.0f, 0.0f, 1.0f};
constexpr float signalGreen[4] = {0.0f, 1.0f, 0.0f, 1.0f};
constexpr float boneWithMarkers[4] = {1.0f, 0.941176f, 0.862745f, 1.0f};
constexpr float bonePlain[4] = {1.0f, 0.706f, 0.706f, 1.0f};
constexpr float seeThroughAlpha = 0.3f;

constexpr double planningAxisLength = 80.0;
constexpr double planningAxisRadius = 0.5;
constexpr double navigationRodLength = 30.0;
constexpr double navigationRodRadius = 1.0;
constexpr double digitScale = 0.07;
constexpr double digitGap = 2.0;
constexpr double signalDistance = 140.0;
constexpr double signalRadius = 60.0;

// Kinds of mesh the scene skips when they are missing (bits of reportedMeshKinds_).
enum MeshKind : unsigned
{
    ImplantSurface = 1,
    DigitMesh = 2,
    ToolMesh = 4
};

// The calibration's state that the view tests.
constexpr int collectingCalibrationState = 1;
constexpr int bestConditionLevel = 2;

// glPushAttrib/glPopAttrib that survive an exception between them.
struct PushedAttributes
{
    PushedAttributes() { glPushAttrib(GL_ALL_ATTRIB_BITS); }
    ~PushedAttributes() { glPopAttrib(); }
    PushedAttributes(const PushedAttributes&) = delete;
    PushedAttributes& operator=(const PushedAttributes&) = delete;
};

struct PushedModelView
{
    PushedModelView()
    {
        glMatrixMode(GL_MODELVIEW);
        glPushMatrix();
    }
    ~PushedModelView()
    {
        glMatrixMode(GL_MODELVIEW);
        glPopMatrix();
    }
    PushedModelView(const PushedModelView&) = delete;
    PushedModelView& operator=(const PushedModelView&) = delete;
};

struct Quadric
{
    Quadric() : q(gluNewQuadric()) { gluQuadricDrawStyle(q, GLU_FILL); }
    ~Quadric() { gluDeleteQuadric(q); }
    Quadric(const Quadric&) = delete;
    Quadric& operator=(const Quadric&) = delete;
    GLUquadric* q;
};

float seeThrough(const float* rgba, float out[4])
{
    std::copy(rgba, rgba + 3, out);
    out[3] = seeThroughAlpha;
    return out[3];
}

}

OpenGL3DView::OpenGL3DView(std::shared_ptr<Model> model, QWidget* parent, const char* name, Qt::WindowFlags flags)
    : OpenGLView(parent, name, flags)
    , model_(std::move(model))
    , clock_(Vexa::timeGetTime)
    , tick_(model_, SnapshotDataSource::controllerOf(model_))
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    resetCamera();
    setRate(10.0);
    followModel(model_);
}

OpenGL3DView::~OpenGL3DView()
{
    unfollowModel(model_);
    stopDrag();
    // The framebuffers belong to this view's context.
    makeCurrent();
    framebuffer_.release();
    doneCurrent();
}

Quorvane::IView* OpenGL3DView::clone(QWidget* parent) const try
{
    const QByteArray name = objectName().toUtf8();
    return new OpenGL3DView(model_, parent, name.constData());
}
VEXA_RETHROW

bool OpenGL3DView::isEmpty() const
{
    return !model_ || !model_->get3DModel();
}

void OpenGL3DView::reset()
{
    cameraInitialized_ = false;
}

void OpenGL3DView::setClock(Clock clock)
{
    clock_ = clock ? std::move(clock) : Clock(Vexa::timeGetTime);
}

void OpenGL3DView::update() try
{
    if (handOverToGuiThread())
        return;
    TimedView::update();
    if (isEmpty()) {
        if (!isHidden())
            hide();
        return;
    }
    if (!isVisible() && parentWidget())
        show();
    if (isVisible())
        OpenGLView::update();
}
VEXA_RETHROW

void OpenGL3DView::initializeGL()
{
    OpenGLView::initializeGL();
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    glDepthFunc(GL_LESS);
}

// ---- camera ------------------------------------------------------------------------------

Vector3D OpenGL3DView::getRotationCenter() const try
{
    const auto mesh = model_ ? model_->get3DModel() : nullptr;
    if (!mesh)
        return Vector3D();
    const auto& b = mesh->getBoundingBox();
    const Vector3D min(b[0], b[1], b[2]), max(b[3], b[4], b[5]);
    return min + (max - min) / 2.0;
}
VEXA_RETHROW

void OpenGL3DView::setupCamera(const Matrix44<double>& camera) const
{
    gluPerspective(CameraRig::fieldOfView, CameraRig::aspectRatio(width(), height()), CameraRig::nearPlane,
                   CameraRig::farPlane);
    const Vector3D eye = camera.getTranslation();
    Vexa::lookAt(eye, eye + camera.getColumn(2), camera.getColumn(1));
}

void OpenGL3DView::resetCamera() try
{
    cameraTransform_ = CameraRig::resetPose(getRotationCenter());
}
VEXA_RETHROW

void OpenGL3DView::setLightColor(const float* rgba) const
{
    glLightfv(GL_LIGHT0, GL_DIFFUSE, rgba);
    glEnable(GL_LIGHT0);
    glColor4f(1.0f, 1.0f, 1.0f, rgba[3]);
}

bool OpenGL3DView::are3DModelsVisible() try
{
    const auto mesh = model_ ? model_->get3DModel() : nullptr;
    if (!mesh)
        return true;
    const auto& b = mesh->getBoundingBox();
    const auto points = CameraRig::testPoints(Vector3D(b[0], b[1], b[2]), Vector3D(b[3], b[4], b[5]));

    PushedAttributes attributes;
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    setupCamera(cameraTransform_);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    std::array<GLfloat, 4 * std::tuple_size_v<decltype(points)> + 4> feedback{};
    glFeedbackBuffer(GLsizei(feedback.size()), GL_3D, feedback.data());
    glRenderMode(GL_FEEDBACK);
    glBegin(GL_POINTS);
    for (const Vector3D& p : points)
        glVertex3d(p.x, p.y, p.z);
    glEnd();
    const GLint values = glRenderMode(GL_RENDER);
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();

    int count = 0;
    double depth = 0.0;
    for (GLint i = 0; i + 3 < values; i += 4)
        if (GLint(feedback[i]) == GL_POINT_TOKEN) {
            ++count;
            depth += feedback[i + 3];
        }
    CameraRig::Depths depths;
    depths.inside = count;
    depths.meanDepth = count ? depth / count : 0.0;
    return CameraRig::isVisible(depths);
}
VEXA_RETHROW

void OpenGL3DView::processSpaceballMotion(const Vector3D& translation, const Vector3D& rotation)
{
    try {
        cameraTransform_ = CameraRig::spaceballMotion(cameraTransform_, translation, rotation, getRotationCenter());
        QOpenGLWidget::update();
    }
    VIEW_CATCH_ALL
}

void OpenGL3DView::processSpaceballZero()
{
}

// ---- mouse -------------------------------------------------------------------------------

unsigned OpenGL3DView::heldButtons() const
{
    return (leftButtonPressed_ ? CameraRig::LeftButton : 0u) | (midButtonPressed_ ? CameraRig::MiddleButton : 0u) |
           (rightButtonPressed_ ? CameraRig::RightButton : 0u);
}

void OpenGL3DView::mousePressEvent(QMouseEvent* event)
{
    try {
        pressPosition_ = event->position().toPoint();
        switch (event->button()) {
        case Qt::LeftButton: leftButtonPressed_ = true; break;
        case Qt::MiddleButton: midButtonPressed_ = true; break;
        case Qt::RightButton: rightButtonPressed_ = true; break;
        default: break;
        }
        // One drag timer however many buttons go down.
        if (!mouseTimerId_)
            mouseTimerId_ = startTimer(40);
    }
    VIEW_CATCH_ALL
}

void OpenGL3DView::mouseMoveEvent(QMouseEvent* event)
{
    try {
        if (!heldButtons())
            return;
        const QPoint p = event->position().toPoint();
        std::tie(speedX_, speedY_) =
            CameraRig::dragSpeed(p.x() - pressPosition_.x(), p.y() - pressPosition_.y(), width(), height());
    }
    VIEW_CATCH_ALL
}

void OpenGL3DView::mouseReleaseEvent(QMouseEvent* event)
{
    try {
        switch (event->button()) {
        case Qt::LeftButton: leftButtonPressed_ = false; break;
        case Qt::MiddleButton: midButtonPressed_ = false; break;
        case Qt::RightButton: rightButtonPressed_ = false; break;
        default: break;
        }
        speedX_ = speedY_ = 0.0;
        if (!heldButtons())
            stopDrag();
    }
    VIEW_CATCH_ALL
}

void OpenGL3DView::hideEvent(QHideEvent* event)
{
    // A hidden view sees no release.
    leftButtonPressed_ = midButtonPressed_ = rightButtonPressed_ = false;
    speedX_ = speedY_ = 0.0;
    stopDrag();
    OpenGLView::hideEvent(event);
}

void OpenGL3DView::stopDrag()
{
    if (mouseTimerId_)
        killTimer(mouseTimerId_);
    mouseTimerId_ = 0;
}

void OpenGL3DView::timerEvent(QTimerEvent* event)
{
    if (!mouseTimerId_ || event->timerId() != mouseTimerId_) {
        OpenGLView::timerEvent(event);
        return;
    }
    try {
        cameraTransform_ =
            CameraRig::dragTick(cameraTransform_, heldButtons(), speedX_, speedY_, getRotationCenter());
        QOpenGLWidget::update();
    }
    VIEW_CATCH_ALL
}

// ---- paint cycle ---------------------------------------------------------------------------

bool OpenGL3DView::isProgressive() const
{
    if (model_->getState() != Model::Navigation)
        return false;
    const NavigationSnapshot& tick = tick_.snapshot();
    return tick.controllerState == NavigationController::CameraAdjustment || (tick.drillRegistered && tick.nearestImplant);
}

void OpenGL3DView::paintGL()
{
    try {
        paintCycle();
    }
    VIEW_CATCH_ALL
    try {
        const double ratio = devicePixelRatioF();
        framebuffer_.present(defaultFramebufferObject(), QSize(int(width() * ratio), int(height() * ratio)));
    }
    VIEW_CATCH_ALL
}

void OpenGL3DView::paintCycle()
{
    const double ratio = devicePixelRatioF();
    // A new size starts a new picture: the parts drawn so far are gone.
    if (framebuffer_.bindDrawing(QSize(int(width() * ratio), int(height() * ratio))))
        renderPass_ = 0;
    if (!model_)
        return;
    // A planning being put into the Model: keep the last picture and paint again once it is in.
    const auto planning = model_->tryReadLock();
    if (!planning.owns_lock()) {
        QTimer::singleShot(20, this, [this] { QOpenGLWidget::update(); });
        return;
    }
    // All this paint draws of the tools comes from one tick.
    tick_.capture();
    const bool progressive = isProgressive();
    if (!progressive || renderPass_ == 0) {
        glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        frameCameraTransform_ = cameraTransform_;
    }
    const auto mesh = model_->get3DModel();
    if (!isVisible() || !mesh)
        return;
    if (!are3DModelsVisible() || !cameraInitialized_) {
        resetCamera();
        cameraInitialized_ = true;
        if (renderPass_ == 0)
            frameCameraTransform_ = cameraTransform_;
    }

    std::uint32_t dt = 0;
    {
        PushedAttributes attributes;
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        setupCamera(frameCameraTransform_);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();

        const Vector3D eye = frameCameraTransform_.getTranslation();
        const GLfloat light[4] = {GLfloat(eye.x), GLfloat(eye.y), GLfloat(eye.z), 1.0f};
        glLightfv(GL_LIGHT0, GL_POSITION, light);
        glEnable(GL_LIGHT0);
        glEnable(GL_LIGHTING);
        glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
        glDisable(GL_COLOR_MATERIAL);
        glEnable(GL_CULL_FACE);
        glEnable(GL_DEPTH_TEST);
        glDepthFunc(GL_LESS);
        const bool markers = model_->isMarkerDetected() && model_->getState() != Model::MarkerDetected;
        setLightColor(markers ? boneWithMarkers : bonePlain);

        const std::uint32_t t0 = clock_();
        if (progressive)
            mesh->render(renderPass_ + 1, renderPassCount_);
        else
            mesh->render(1, 1);
        dt = clock_() - t0;

        if (!progressive || renderPass_ == renderPassCount_ - 1) {
            if (model_->getState() == Model::Navigation)
                drawElementsForNavigationMode();
            else
                drawElementsForPlanningMode();
            framebuffer_.complete();
        }
    }

    renderPass_ = progressive ? (renderPass_ + 1) % renderPassCount_ : 0;
    const int before = renderPassCount_;
    if (dt < 15)
        --renderPassCount_;
    else if (dt > 30)
        ++renderPassCount_;
    renderPassCount_ = std::clamp(renderPassCount_, 1, 5);
    if (renderPassCount_ < before)
        renderPass_ = 0;
}

// ---- scene elements ------------------------------------------------------------------------

bool OpenGL3DView::isDrawable(const std::shared_ptr<Vexa::IndexedTriangleMesh>& mesh, unsigned kind) const
{
    if (mesh && mesh->getTriangleCount() > 0)
        return true;
    if (!(reportedMeshKinds_ & kind)) {
        reportedMeshKinds_ |= kind;
        Vexa::ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
    }
    return false;
}

double OpenGL3DView::getDigitZOffset(std::shared_ptr<Implant> implant) const try
{
    if (model_ && model_->getState() == Model::Navigation)
        return 35.0;
    return implant->getLength() * 0.5 + 45.0;
}
VEXA_RETHROW

Matrix44<double> OpenGL3DView::getImplantNumberTransform(std::shared_ptr<Implant> implant, double offset) const try
{
    const double d = getDigitZOffset(implant);
    const Matrix44<double> pose = implant->getTransform();
    const Vector3D cameraX = cameraTransform_.getColumn(0), cameraY = cameraTransform_.getColumn(1);
    const Vector3D origin = pose.getTranslation() + pose.getColumn(2) * d - cameraX * offset;
    return Matrix44<double>(cameraX, cameraY.cross(cameraX).getNormalized(), cameraY, origin);
}
VEXA_RETHROW

void OpenGL3DView::drawImplantNumber(std::shared_ptr<Implant> implant, unsigned number) const try
{
    double offset = 0.0;
    do {
        const auto mesh = model_->getDigitMesh(number % 10);
        if (isDrawable(mesh, DigitMesh)) {
            glMatrixMode(GL_MODELVIEW);
            glLoadMatrixd(getImplantNumberTransform(implant, offset).data());
            glScaled(digitScale, digitScale, digitScale);
            mesh->render(1, 1);
            const auto& b = mesh->getBoundingBox();
            offset += (b[3] - b[0] + digitGap) * digitScale;
        }
        number /= 10;
    } while (number > 0);
}
VEXA_RETHROW

void OpenGL3DView::forEachImplant(const std::function<void(const std::shared_ptr<Implant>&, unsigned)>& draw) const
{
    // Numbers are list positions counted afresh in every drawing.
    const auto manager = model_->getImplantManager();
    unsigned n = 0;
    for (auto it = manager->implantsBegin(); it != manager->implantsEnd(); ++it)
        if (++n, *it)
            draw(*it, n);
}

void OpenGL3DView::drawImplantAxis(double radius, double length) const
{
    Quadric quadric;
    gluCylinder(quadric.q, radius, radius, length, 10, 1);
    glPushMatrix();
    glRotated(180.0, 1.0, 0.0, 0.0);
    gluDisk(quadric.q, 0.0, radius, 25, 25);
    glPopMatrix();
    glPushMatrix();
    glTranslated(0.0, 0.0, length);
    gluDisk(quadric.q, 0.0, radius, 25, 25);
    glPopMatrix();
}

void OpenGL3DView::drawElementsForPlanningMode() try
{
    {
        PushedAttributes outer;
        glColorMaterial(GL_FRONT, GL_DIFFUSE);
        const auto transforming = model_->getImplantManager()->getTransformingImplant();
        forEachImplant([&](const std::shared_ptr<Implant>& implant, unsigned n) {
            const float* solid = implant == transforming ? transformingOrange : implantBlue;
            float faint[4];
            seeThrough(solid, faint);
            const auto surface = implant->getSurfaceModel();
            const bool hasSurface = isDrawable(surface, ImplantSurface);
            const double h = hasSurface ? surface->getBoundingBox()[5] - surface->getBoundingBox()[2] : 0.0;
            for (const float* colour : {solid, static_cast<const float*>(faint)}) {
                PushedAttributes pass;
                setLightColor(colour);
                if (colour == faint) {
                    glEnable(GL_BLEND);
                    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
                    glDisable(GL_DEPTH_TEST);
                    glEnable(GL_COLOR_MATERIAL);
                }
                glMatrixMode(GL_MODELVIEW);
                glLoadMatrixd(implant->getTransform().data());
                if (hasSurface)
                    surface->render(1, 1);
                glTranslated(0.0, 0.0, -(planningAxisLength - h) / 2.0);
                drawImplantAxis(planningAxisRadius, planningAxisLength);
                glDisable(GL_LIGHTING);
                glEnable(GL_COLOR_MATERIAL);
                glColor4fv(colour);
                drawImplantNumber(implant, n);
            }
        });
    }
    drawNerve();
}
VEXA_RETHROW

void OpenGL3DView::drawNerve() try
{
    const auto nerve = model_->getNerve();
    if (!nerve)
        return;
    PushedAttributes attributes;
    PushedModelView modelView;
    glLoadIdentity();
    glEnable(GL_LIGHTING);
    glShadeModel(GL_SMOOTH);
    glColorMaterial(GL_FRONT, GL_DIFFUSE);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glPolygonMode(GL_FRONT, GL_FILL);
    const auto drawElements = [&] {
        const auto [begin, end] = nerve->getElements();
        for (auto it = begin; it != end; ++it)
            if (it->second)
                if (const auto mesh = it->second->getMesh())
                    mesh->render(1, 1);
    };
    setLightColor(nerveYellow);
    drawElements();
    float faint[4];
    seeThrough(nerveYellow, faint);
    glEnable(GL_COLOR_MATERIAL);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glDisable(GL_DEPTH_TEST);
    setLightColor(faint);
    drawElements();
    glDisable(GL_COLOR_MATERIAL);
}
VEXA_RETHROW

void OpenGL3DView::drawElementsForNavigationMode()
{
    // Whatever fails here, the picture is finished and navigation goes on.
    try {
        {
            PushedAttributes outer;
            forEachImplant([&](const std::shared_ptr<Implant>& implant, unsigned n) {
                glMatrixMode(GL_MODELVIEW);
                glLoadMatrixd(implant->getTransform().data());
                PushedAttributes rod;
                setLightColor(navigationRed);
                drawImplantAxis(navigationRodRadius, navigationRodLength);
                glDisable(GL_LIGHTING);
                glEnable(GL_COLOR_MATERIAL);
                glColor4fv(navigationRed);
                drawImplantNumber(implant, n);
            });
        }
        drawNerve();
        glEnable(GL_DEPTH_TEST);

        const NavigationSnapshot& tick = tick_.snapshot();
        if (tick.controllerState == NavigationController::HandpieceCalibration
            && tick.calibrationState == collectingCalibrationState) {
            PushedAttributes attributes;
            Matrix44<double> frame = frameCameraTransform_;
            const Vector3D y = frame.getColumn(1), z = frame.getColumn(2);
            const Vector3D x = y.cross(z);
            frame.setColumn(0, x);
            frame.setColumn(1, z.cross(x));
            frame = frame * Matrix44<double>(Vector3D(0.0, 0.0, signalDistance));
            glMatrixMode(GL_MODELVIEW);
            glLoadMatrixd(frame.data());
            setLightColor(tick.calibrationConditionLevel == bestConditionLevel ? signalGreen : navigationRed);
            Quadric quadric;
            gluSphere(quadric.q, signalRadius, 20, 20);
        }

        PushedModelView modelView;
        glLoadMatrixd(tick.patientTDrillOrigin.data());
        const Vexa::Vector4<float> colour = tick.handpieceColor;
        const float rgba[4] = {colour.x, colour.y, colour.z, colour.w};
        setLightColor(rgba);
        glEnable(GL_LIGHT0);
        for (const auto& tool : {model_->getHandpieceMesh(), drill_.meshFor(tick, *model_)})
            if (tool && isDrawable(tool, ToolMesh))
                tool->render(1, 1);
    }
    VIEW_CATCH_ALL
}
