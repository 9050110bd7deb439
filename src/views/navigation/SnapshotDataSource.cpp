#include "views/navigation/SnapshotDataSource.h"

#include "navigation/NavigationController.h"
#include "planning/model/Model.h"
#include "vexa/core/ExceptionStack.h"

namespace {
const std::shared_ptr<const NavigationSnapshot> nothingTracked = std::make_shared<NavigationSnapshot>();
}

SnapshotDataSource::SnapshotDataSource(std::shared_ptr<Model> model, std::shared_ptr<NavigationController> controller)
    : model_(std::move(model)), controller_(std::move(controller)), snapshot_(nothingTracked)
{
}

std::shared_ptr<NavigationController> SnapshotDataSource::controllerOf(const std::shared_ptr<Model>& model)
{
    return model ? std::dynamic_pointer_cast<NavigationController>(model->getNavigationController()) : nullptr;
}

void SnapshotDataSource::capture() try
{
    if (controller_) {
        std::shared_ptr<const NavigationSnapshot> latest = controller_->getSnapshot();
        snapshot_ = latest ? latest : nothingTracked;
        return;
    }
    // A controller stepped in the GUI thread publishes nothing: its state and the Model now.
    const auto other = model_ ? model_->getNavigationController() : nullptr;
    if (!other || std::dynamic_pointer_cast<NavigationController>(other)) {
        snapshot_ = nothingTracked;
        return;
    }
    auto now = std::make_shared<NavigationSnapshot>();
    now->controllerState = other->getShownState();
    now->calibrationState = other->getCalibrationState();
    now->calibrationConditionLevel = other->getCalibrationConditionLevel();
    now->readModel(*model_);
    snapshot_ = std::move(now);
}
VEXA_RETHROW

bool SnapshotDataSource::isNavigating() const
{
    return snapshot_->navigating;
}

bool SnapshotDataSource::isDrillRegistered() const
{
    return snapshot_->drillRegistered;
}

bool SnapshotDataSource::isHandpieceTrackerValid() const
{
    return snapshot_->handpieceValid;
}

bool SnapshotDataSource::isPatientLocTrackerValid() const
{
    return snapshot_->patientLocValid;
}

QString SnapshotDataSource::getPatientName() const
{
    return model_ ? model_->getPatientName() : QString();
}

std::shared_ptr<Implant> SnapshotDataSource::getNearestImplantToDrill() const
{
    return snapshot_->nearestImplant;
}

Vexa::Matrix44<double> SnapshotDataSource::getPatientTDrill() const
{
    return snapshot_->patientTDrill;
}

double SnapshotDataSource::getDrillLength() const
{
    return snapshot_->drillLength;
}

double SnapshotDataSource::getVisualizedDrillLength() const
{
    return snapshot_->drillLength + 2.6;
}

double SnapshotDataSource::getDrillDepthAtImplant(const Vexa::Matrix44<double>& implantTransform) const
{
    // As the Model measures it, for the snapshot's drill.
    const Vexa::Vector3D axis = implantTransform.getColumn(2);
    return axis.dot(snapshot_->patientTDrill.getTranslation()) - axis.dot(implantTransform.getTranslation()) + 1.0;
}

Vexa::Vector4<float> SnapshotDataSource::getHandpieceColor() const
{
    return snapshot_->handpieceColor;
}
