#pragma once
// The navigation state machine: turns the tracker samples of each 50 ms tick into navigation.
// States: 0 operation (watch for the calibration or registration gesture), 1 camera
// adjustment (wait until the patient locator lies well inside the working volume; initial),
// 2 registration (measure the drill, Registration), 3 calibration (Calibration). Keeps the
// three newest samples of each tool, hands validity and last visible poses to the Model, and
// keeps the two per-jaw handpiece calibrations with their files
// "HandpieceLocTDrillOriginMaxilla.txt" and "...Mandible.txt" in the application folder.
//
// Threads: `setTrackerData` runs in the timer thread; `enableNavigation`, `disableNavigation`,
// `enforceCalibration` and the acceptance answers in the GUI thread. One lock serialises a
// tick and those entry points and is never held across a dialog; dialogs and sounds asked
// for by a tick are queued to the GUI thread, and state updates stay off until a button
// answers. Displays read `getSnapshot`, made at the end of every tick.
//
// A missing, short, non-numeric, non-rigid or identity calibration file counts as "not
// calibrated": no drill registration starts, and the jaw's nominal handpiece geometry (the
// reference calibration) is used until a calibration is accepted, so that the calibration
// gesture is recognised. A calibration is written aside and renamed, and a failure to write
// it is shown to the user.
#include "navigation/ICalibrationAcceptor.h"
#include "navigation/NavigationSnapshot.h"
#include "navigation/TrackerData.h"
#include "navigation/Workspace.h"
#include "planning/model/Constants.h"
#include "planning/model/INavigationController.h"
#include "vexa/core/ControlledRingBuffer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Calibration;
class INavigationUi;
class Model;
class Registration;

namespace Vexa {
class NavigationCamera;
class Tracker;
}

class NavigationController : public INavigationController,
                             public ICalibrationAcceptor,
                             public std::enable_shared_from_this<NavigationController>
{
public:
    enum State
    {
        Operation = 0,
        CameraAdjustment = 1,
        DrillRegistration = 2,
        HandpieceCalibration = 3
    };
    static constexpr std::uint32_t qualityHoldMs = 2000;
    static constexpr std::uint32_t registrationTimeoutMs = 28000;

    // Makes every later Model build its controller with `create`.
    static void installModelFactory();
    static std::shared_ptr<NavigationController> create(Model* model);
    NavigationController(Model* model, const Vexa::Matrix44<double>& initialCalibration);
    ~NavigationController() override;

    // Where the calibration file of the jaw lies (1 maxilla, else mandible).
    static std::string calibrationFile(Constants::Jaw jaw);
    // The nominal handpiece calibration of the jaw (1 maxilla, else mandible).
    static const Vexa::Matrix44<double>& referenceCalibration(Constants::Jaw jaw);
    // The locator reference frame on the patient locator.
    static const Vexa::Matrix44<double>& locatorReferenceFrame();

    void setUi(std::shared_ptr<INavigationUi> ui);
    // The millisecond clock of the quality hold and the registration time-out.
    void setClock(std::function<std::uint32_t()> clock);

    virtual std::vector<std::shared_ptr<Vexa::Tracker>> getUsedTracker() const;
    virtual void enableNavigation(std::shared_ptr<Vexa::NavigationCamera> camera);
    virtual void disableNavigation();
    virtual bool isNavigationEnabled() const;
    // One tick: element 0 the handpiece locator, element 1 the patient locator. A tick in which
    // both are the camera's deliveries of the newest samples again (visible, the same delivery
    // number, TrackerData::getDelivery) is passed over; equal values of new deliveries count.
    // Throws std::runtime_error for fewer than two samples.
    virtual void setTrackerData(const std::vector<Vexa::TrackerData>& samples);
    // 0 without a camera.
    virtual Vexa::Workspace::Quality getCameraWorkspaceQuality() const;
    virtual void resetNavigation();

    std::shared_ptr<Calibration> getCalibration() const { return calibration_; }
    std::shared_ptr<Registration> getRegistration() const { return registration_; }
    std::shared_ptr<Vexa::Workspace> getCameraWorkspace() const;
    int getCameraState() const;
    int getCurrentState() const;
    Vexa::TrackerData getHandpieceTrackerData() const;
    Vexa::TrackerData getPatientLocTrackerData() const;
    Vexa::Vector3D getPatientLocReferencePoint() const;
    Vexa::Matrix44<double> getHandpieceLocTDrillOrigin(Constants::Jaw jaw) const override;
    // The calibration's state and condition level of the last tick.
    int getCalibrationState() const override;
    int getCalibrationConditionLevel() const override;
    // The state of the last tick's snapshot.
    int getShownState() const override;
    void setHandpieceLocTDrillOrigin(const Vexa::Matrix44<double>& m);
    bool wasCalibrationDoneBefore() const;
    // Asks for the jaw (GUI thread), then forces a handpiece calibration of that jaw.
    void enforceCalibration();
    void acceptLastCalibration(bool accept) override;
    bool setStateUpdatesEnabled(bool enabled) override;
    bool areStateUpdatesEnabled() const { return updateEnabled_; }
    std::shared_ptr<const NavigationSnapshot> getSnapshot() const;

    void navigationStateEvent(StateMachine::Event event) override;

protected:
    bool updateStates(StateMachine::Event event, int state) override;

private:
    std::uint32_t now() const;
    Vexa::Workspace::Quality quality() const;
    void checkRegistrationTimeout();
    void updateOperation();
    void updateCameraAdjustment();
    void updateRegistration();
    void updateCalibration();
    void acceptLocked(bool accept);
    void playSound(const std::string& name);
    void inGuiThread(std::function<void(INavigationUi&)> request);
    void publishSnapshot();
    void loadCalibrations();

    Model* const model_;
    mutable std::recursive_mutex mutex_; // a tick and the GUI entry points
    std::shared_ptr<Vexa::NavigationCamera> camera_;
    std::shared_ptr<INavigationUi> ui_;
    const std::shared_ptr<Calibration> calibration_;
    const std::shared_ptr<Registration> registration_;
    std::atomic<bool> updateEnabled_{false};
    std::atomic<bool> enforced_{false};
    Vexa::ControlledRingBuffer<Vexa::TrackerData> handpieceSamples_{3};
    Vexa::ControlledRingBuffer<Vexa::TrackerData> patientLocSamples_{3};
    Vexa::Matrix44<double> handpieceTransform_;
    Vexa::Matrix44<double> patientLocTransform_;
    mutable std::mutex calibrationsMutex_;
    Vexa::Matrix44<double> maxillaCalibration_, mandibleCalibration_;
    bool maxillaCalibrated_ = false, mandibleCalibrated_ = false;
    std::uint32_t holdStart_ = 0;
    int lastQuality_ = -1; // no quality yet (set on entering adjustment): the first update starts a hold
    std::uint32_t handpieceLastSeen_ = 0;
    std::function<std::uint32_t()> clock_;
    // Swapped whole under its own lock (libstdc++'s atomic shared_ptr hides its lock from
    // ThreadSanitizer); readers keep their snapshot as long as they like.
    mutable std::mutex snapshotMutex_;
    std::shared_ptr<const NavigationSnapshot> snapshot_;
};
