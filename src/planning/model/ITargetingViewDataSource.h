#pragma once
// What the targeting display asks of the planning while navigating.
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector4.h"

#include <QString>
#include <memory>

class Implant;

class ITargetingViewDataSource
{
public:
    virtual ~ITargetingViewDataSource() = default;

    virtual bool isNavigating() const = 0;
    virtual bool isDrillRegistered() const = 0;
    virtual bool isHandpieceTrackerValid() const = 0;
    virtual bool isPatientLocTrackerValid() const = 0;
    virtual QString getPatientName() const = 0;
    virtual std::shared_ptr<Implant> getNearestImplantToDrill() const = 0;
    virtual Vexa::Matrix44<double> getPatientTDrill() const = 0;
    virtual double getDrillLength() const = 0;
    virtual double getVisualizedDrillLength() const = 0;
    virtual double getDrillDepthAtImplant(const Vexa::Matrix44<double>& implantTransform) const = 0;
    virtual Vexa::Vector4<float> getHandpieceColor() const = 0;
};
