#pragma once
// The Model's view of its navigation controller. The navigation library implements it and
// installs a factory (`Model::setNavigationControllerFactory`) before the Model is built;
// without one the Model has no controller. The controller is a state machine whose state the
// views read.
#include "planning/model/Constants.h"
#include "vexa/core/StateMachine.h"
#include "vexa/math/Matrix44.h"

class INavigationController : public StateMachine
{
public:
    ~INavigationController() override = default;

    // Called by the Model for every event of its navigation state (7): Enter when navigation
    // starts, Update for every update while navigating, Leave when it ends (after the Model's
    // own reset, warnings and treatment log).
    virtual void navigationStateEvent(StateMachine::Event event) = 0;

    // The handpiece calibration (handpiece locator to drill origin) kept for the jaw: the
    // maxilla's for 1, the mandible's for any other value. Safe from any thread.
    virtual Vexa::Matrix44<double> getHandpieceLocTDrillOrigin(Constants::Jaw jaw) const = 0;

    // The handpiece calibration as the 3D view shows it: the calibration's own state (0 not
    // calibrating, 1 collecting the samples before calibration, 2 calibration, 3 after
    // calibration, 4 done) and its condition level (2 best, 1 or 0 by how well the
    // calibration transforms agree).
    virtual int getCalibrationState() const = 0;
    virtual int getCalibrationConditionLevel() const = 0;

    // The controller's state as the views show it, safe from the GUI thread while another
    // thread steps the machine: the navigation controller answers with the state at the end
    // of its last tick. A controller stepped only in the GUI thread may answer `getState`.
    virtual int getShownState() const { return getState(); }
};
