#pragma once
// The perspective view of the surface jaw model with the planned implants and the nerve and,
// while navigating, the handpiece with its drill. The user turns, pans and zooms it with the
// mouse (a joystick: the camera keeps moving at a speed set by the distance from the press
// point, on a 40 ms timer) or with the 3D mouse; nothing is edited here. It hides itself
// while the planning has no 3D model.
//
// In navigation, when the tracker keeps it busy (camera adjustment, or a registered drill
// near an implant), the model is drawn in 1 to 5 parts over as many paints, the count adapted
// so that one part takes 15 to 30 ms; the parts go into a framebuffer of our own and the
// widget shows the last complete picture. The camera is frozen for each picture. Each paint
// takes all it draws of the tools (and whether it is progressive) from one navigation tick.
//
// Camera geometry is in CameraRig; this class owns the state, the input and the drawing.
#include "views/ISpaceballSupport.h"
#include "views/OpenGLView.h"
#include "views/navigation/SnapshotDataSource.h"
#include "views/scene/ProgressiveFramebuffer.h"
#include "views/scene/RegisteredDrill.h"

#include "vexa/math/Matrix44.h"

#include <QPoint>
#include <cstdint>
#include <functional>
#include <memory>

class Implant;

namespace Vexa {
class IndexedTriangleMesh;
}

class OpenGL3DView : public OpenGLView, public Quorvane::ISpaceballSupport
{
    Q_OBJECT

public:
    using Clock = std::function<std::uint32_t()>;

    // Ignored size policy, 10 updates per second while navigating; attached to the Model and
    // to its reset() signal.
    OpenGL3DView(std::shared_ptr<Model> model, QWidget* parent, const char* name, Qt::WindowFlags flags = {});
    ~OpenGL3DView() override;

    Quorvane::IView* clone(QWidget* parent) const override;
    bool isEmpty() const override;
    bool isAvailableInPlanning() const override { return true; }
    bool isAvailableInNavigation() const override { return true; }
    std::shared_ptr<Model> getModel() const override { return model_; }

    // The centre of the 3D model's bounding box; the origin without a model.
    virtual Vexa::Vector3D getRotationCenter() const;
    // Whether the 3D model lies before the live camera and not too far off: the 15 test
    // points of its box through GL feedback (GL context current). True without a model.
    bool are3DModelsVisible();
    // How far along the implant's axis its number stands.
    virtual double getDigitZOffset(std::shared_ptr<Implant> implant) const;
    // The pose of one digit of an implant's number, `offset` left of the units digit; it
    // faces the live camera upright.
    Vexa::Matrix44<double> getImplantNumberTransform(std::shared_ptr<Implant> implant, double offset) const;

    const Vexa::Matrix44<double>& getCameraTransform() const { return cameraTransform_; }
    void setCameraTransform(const Vexa::Matrix44<double>& camera) { cameraTransform_ = camera; }
    int getRenderPass() const { return renderPass_; }
    int getRenderPassCount() const { return renderPassCount_; }
    int getMouseTimerId() const { return mouseTimerId_; }
    const ProgressiveFramebuffer& getFramebuffer() const { return framebuffer_; }
    // The millisecond clock that times the model's parts (Vexa::timeGetTime by default).
    void setClock(Clock clock);

public slots:
    void reset() override;
    void processSpaceballMotion(const Vexa::Vector3D& translation, const Vexa::Vector3D& rotation) override;
    void processSpaceballZero() override;

public:
    void update() override;

protected:
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void initializeGL() override;
    void paintGL() override;

    void setupCamera(const Vexa::Matrix44<double>& camera) const;
    void resetCamera();
    void setLightColor(const float* rgba) const;
    virtual void drawElementsForPlanningMode();
    virtual void drawElementsForNavigationMode();
    void drawImplantNumber(std::shared_ptr<Implant> implant, unsigned number) const;

private:
    void paintCycle();
    bool isProgressive() const;
    unsigned heldButtons() const;
    void stopDrag();
    void drawNerve();
    // Every implant of the list that exists, with its 1-based position.
    void forEachImplant(const std::function<void(const std::shared_ptr<Implant>&, unsigned)>& draw) const;
    void drawImplantAxis(double radius, double length) const;
    // False (with one trail record per kind and view) for a null or empty mesh.
    bool isDrawable(const std::shared_ptr<Vexa::IndexedTriangleMesh>& mesh, unsigned kind) const;

    std::shared_ptr<Model> model_;
    Vexa::Matrix44<double> cameraTransform_;
    double speedX_ = 0.0;
    double speedY_ = 0.0;
    bool leftButtonPressed_ = false;
    bool midButtonPressed_ = false;
    bool rightButtonPressed_ = false;
    bool cameraInitialized_ = false;
    QPoint pressPosition_;
    int mouseTimerId_ = 0;
    int renderPass_ = 0;
    int renderPassCount_ = 2;
    Vexa::Matrix44<double> frameCameraTransform_;

    Clock clock_;
    ProgressiveFramebuffer framebuffer_;
    mutable unsigned reportedMeshKinds_ = 0;
    RegisteredDrill drill_;
    SnapshotDataSource tick_; // the tick of the paint
};
