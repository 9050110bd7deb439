#include "navigation/NavigationSnapshot.h"

#include "planning/model/Model.h"
#include "vexa/core/ExceptionStack.h"

void NavigationSnapshot::readModel(const Model& model) try
{
    navigating = model.isNavigating();
    handpieceValid = model.isHandpieceTrackerValid();
    patientLocValid = model.isPatientLocTrackerValid();
    drillRegistered = model.isDrillRegistered();
    patientTDrillOrigin = model.getPatientTDrillOrigin();
    patientTDrill = model.getPatientTDrill();
    drillLength = model.getDrillLength();
    nearestImplant = model.getDistanceAndAngleFromNearestImplantToDrill(nearestImplantDistance, nearestImplantAngle);
    handpieceColor = model.getHandpieceColor();
}
VEXA_RETHROW
