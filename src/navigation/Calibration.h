#pragma once
// The handpiece calibration: finds the handpiece-locator-to-drill-origin transform while the
// user holds the drill at one of two calibration frames on the patient locator (the frame the
// drill matches decides the jaw). States: 0 not calibrating, 1 pre-calibration (100 samples
// measure the calibration in use), 2 calibration (20 samples give the new transform), 3
// post-calibration (20 samples measure it), 4 done (waits for `acceptCalibration`).
//
// Stepped by the navigation controller under its lock; the display getters take a small lock
// of their own, so they may be read from the GUI thread.
//
// A sample counts only when the condition check of the same tick saw both tools: a run never
// samples a frozen pose. A run whose jaw changes restarts at pre-calibration.
#include "vexa/core/StateMachine.h"
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"

#include <list>
#include <mutex>
#include <utility>

namespace Vexa {
class TrackerData;
}

class Calibration : public StateMachine
{
public:
    enum State
    {
        NotCalibrating = 0,
        PreCalibration = 1,
        Calibrating = 2,
        PostCalibration = 3,
        Done = 4
    };
    static constexpr unsigned preSamples = 100;
    static constexpr unsigned calibrationSamples = 20;
    static constexpr unsigned postSamples = 20;
    static constexpr unsigned pauseUpdates = 20;

    explicit Calibration(const Vexa::Matrix44<double>& handpieceLocTDrillOrigin);

    void updateCalibration();
    bool isCalibrationConditionOK(const Vexa::TrackerData& patientLocator, const Vexa::TrackerData& handpiece);
    int getCalibrationConditionLevel() const;
    void acceptCalibration(bool accept);
    void enforceCalibration(bool mandible);
    void setHandpieceLocTDrillOrigin(const Vexa::Matrix44<double>& m);

    bool isLastCalibrationAccurate() const;
    Vexa::Matrix44<double> getHandpieceLocTDrillOrigin() const;
    bool isMandible() const;
    bool isMaxilla() const { return !isMandible(); }
    unsigned getNumberOfSamples() const;
    int getCurrentState() const;
    // Requests a state for the next update (the controller's break-off).
    void requestState(State state);

    std::pair<double, double> getPreCalibrationAccuracy() const;
    std::pair<double, double> getCalibrationAccuracy() const;
    std::pair<double, double> getPostCalibrationAccuracy() const;
    std::pair<double, double> getLastPreCalibrationAccuracy() const;
    std::pair<double, double> getLastCalibrationAccuracy() const;
    std::pair<double, double> getLastPostCalibrationAccuracy() const;

    // The two calibration frames in patient-locator coordinates.
    static const Vexa::Matrix44<double>& mandibleFrame();
    static const Vexa::Matrix44<double>& maxillaFrame();
    // (|mean|, deviation of the lengths about it with n - 1) of the vectors.
    static std::pair<double, double> getTranslationStatistics(const std::list<Vexa::Vector3D>& samples);

protected:
    bool updateStates(StateMachine::Event event, int state) override;

private:
    void resetSamples();
    void doNotCalibrating();
    void doPreCalibration();
    void doCalibration();
    void doPostCalibration();
    const Vexa::Matrix44<double>& ownCandidate() const;

    mutable std::mutex mutex_; // guards everything the getters read
    unsigned pause_ = 0;
    unsigned samples_ = 0;
    double preMean_ = -1, preDeviation_ = -1, lastPreMean_ = -1, lastPreDeviation_ = -1;
    double deviation_ = -1, lastDeviation_ = -1;
    double postMean_ = -1, postDeviation_ = -1, lastPostMean_ = -1, lastPostDeviation_ = -1;
    std::list<Vexa::Vector3D> offsets_;
    std::list<std::pair<Vexa::Vector3D, Vexa::Vector3D>> pairs_;
    Vexa::Matrix44<double> patientLoc_, handpiece_;
    Vexa::Matrix44<double> mandibleCandidate_, maxillaCandidate_;
    Vexa::Matrix44<double> calibration_, newCalibration_;
    bool mandible_ = false;
    bool sawBothTools_ = false; // the latest condition check saw both tools
    bool runMandible_ = false;  // jaw of the running phase's samples
};
