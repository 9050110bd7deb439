#pragma once
// The targeting questions answered from one navigation snapshot: `capture` takes the newest
// tick's snapshot, and every answer until the next `capture` comes from it, so one refresh
// (or one picture) sees one consistent tick however fast the ticks come. Without a controller
// or a snapshot yet, nothing is tracked or registered; a controller of the Model that is no
// NavigationController (one stepped in the GUI thread) is read once per `capture`, with the
// Model. The patient's name comes from the Model.
#include "navigation/NavigationSnapshot.h"
#include "planning/model/ITargetingViewDataSource.h"

#include <memory>

class Model;
class NavigationController;

class SnapshotDataSource : public ITargetingViewDataSource
{
public:
    SnapshotDataSource(std::shared_ptr<Model> model, std::shared_ptr<NavigationController> controller);
    // The controller of the Model, if it has one.
    static std::shared_ptr<NavigationController> controllerOf(const std::shared_ptr<Model>& model);

    void capture();
    const NavigationSnapshot& snapshot() const { return *snapshot_; }

    bool isNavigating() const override;
    bool isDrillRegistered() const override;
    bool isHandpieceTrackerValid() const override;
    bool isPatientLocTrackerValid() const override;
    QString getPatientName() const override;
    std::shared_ptr<Implant> getNearestImplantToDrill() const override;
    Vexa::Matrix44<double> getPatientTDrill() const override;
    double getDrillLength() const override;
    double getVisualizedDrillLength() const override;
    double getDrillDepthAtImplant(const Vexa::Matrix44<double>& implantTransform) const override;
    Vexa::Vector4<float> getHandpieceColor() const override;

private:
    std::shared_ptr<Model> model_;
    std::shared_ptr<NavigationController> controller_;
    std::shared_ptr<const NavigationSnapshot> snapshot_;
};
