#pragma once
// What the navigation displays read, taken at the end of every tick and never changed
// afterwards: displays hold one snapshot per refresh and see one consistent tick.
#include "navigation/TrackerData.h"
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector4.h"

#include <memory>
#include <utility>

class Implant;
class Model;

struct NavigationSnapshot
{
    using Accuracy = std::pair<double, double>;

    int controllerState = 1;
    int cameraState = 0;
    int workspaceQuality = 0;
    bool updatesEnabled = false;
    bool enforced = false;
    Vexa::TrackerData handpiece;
    Vexa::TrackerData patientLocator;
    bool handpieceValid = false;
    bool patientLocValid = false;
    Vexa::Vector3D patientLocReferencePoint;

    int calibrationState = 0;
    unsigned calibrationSamples = 0;
    int calibrationConditionLevel = 0;
    Accuracy preCalibrationAccuracy{-1, -1}, calibrationAccuracy{0, -1}, postCalibrationAccuracy{-1, -1};
    int registrationState = 0;
    unsigned registrationSamples = 0;
    Accuracy registrationAccuracy{0, 0};

    // The Model's part: what the pictures and the strip draw of the tools.
    bool navigating = false;
    bool drillRegistered = false;
    Vexa::Matrix44<double> patientTDrillOrigin;
    Vexa::Matrix44<double> patientTDrill;
    double drillLength = 0.0;
    std::shared_ptr<Implant> nearestImplant;
    // The drill tip's distance from the nearest implant's axis and the angle between them.
    double nearestImplantDistance = 0.0, nearestImplantAngle = 0.0;
    Vexa::Vector4<float> handpieceColor{1, 0, 0, 1};

    // Takes the Model's part (the tracker validity above too) from the Model as it is now.
    void readModel(const Model& model);
};
