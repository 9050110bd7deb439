#pragma once
// The drill registration: measures the drill tip relative to the drill origin (the length of
// the mounted drill) while the user holds the tip still on one of two registration points of
// the patient locator. States: 0 not registering, 1 registering (28 samples), 2 registered.
// Stepped by the navigation controller under its lock; the display getters take a small
// lock of their own.
#include "vexa/core/StateMachine.h"
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"

#include <list>
#include <mutex>
#include <utility>
#include <vector>

namespace Vexa {
class TrackerData;
}

class Registration : public StateMachine
{
public:
    enum State
    {
        NotRegistering = 0,
        Registering = 1,
        Registered = 2
    };
    static constexpr unsigned samplesNeeded = 28;

    explicit Registration(const Vexa::Matrix44<double>& handpieceLocTDrillOrigin);

    void updateRegistration();
    bool isRegistrationConditionOK(const Vexa::TrackerData& patientLocator, const Vexa::TrackerData& handpiece);
    void setHandpieceLocTDrillOrigin(const Vexa::Matrix44<double>& m);
    Vexa::Matrix44<double> getDrillOriginTDrillTip() const;
    unsigned getNumberOfSamples() const;
    std::pair<double, double> getAccuracy() const;
    int getCurrentState() const;
    // Requests a state for the next update (the controller's hand-back after a result).
    void requestState(State state);

    // Frame A (the locator reference frame) and frame B (the locator's own frame).
    static const Vexa::Matrix44<double>& frameA();

protected:
    bool updateStates(StateMachine::Event event, int state) override;

private:
    void resetSamples();
    void doRegistrating();
    // Side (drill origin on the frame's positive z side) and axis distance for a frame.
    std::pair<bool, double> sideAndDistance(const Vexa::Matrix44<double>& frame) const;

    mutable std::mutex mutex_;
    unsigned samples_ = 0;
    std::list<Vexa::Vector3D> offsets_;
    std::vector<double> axisDistances_;
    Vexa::Matrix44<double> patientLoc_, handpiece_, result_, chosenFrame_, drillOrigin_;
    double startA_ = 0.0, startB_ = 0.0;
    bool registered_ = false;
};
