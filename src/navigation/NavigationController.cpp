#include "navigation/NavigationController.h"

#include "navigation/Calibration.h"
#include "navigation/INavigationUi.h"
#include "navigation/NavigationCamera.h"
#include "navigation/Registration.h"
#include "navigation/Tracker.h"
#include "planning/model/Model.h"
#include "platform/ApplicationFolder.h"
#include "platform/DebugOutput.h"
#include "platform/PostedCall.h"
#include "platform/Sound.h"
#include "vexa/core/Clock.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"
#include "vexa/io/Reason.h"

#include <QCoreApplication>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <locale>
#include <sstream>
#include <stdexcept>

using Vexa::Matrix44;
using Vexa::TrackerData;
using Vexa::Vector3D;

namespace {

// The 16 numbers in the files' order (row by row).
Matrix44<double> fromRows(const double (&rows)[16])
{
    Matrix44<double> m;
    for (int row = 0; row < 4; ++row)
        for (int c = 0; c < 4; ++c)
            m[row + 4 * c] = rows[4 * row + c];
    return m;
}

}

const Matrix44<double>& NavigationController::referenceCalibration(Constants::Jaw jaw)
{
    static const Matrix44<double> maxilla = fromRows({0.362708, -0.931903, 0, -138.838, -0.0193106, -0.00751593,
                                                      -0.999785, -1.2128, 0.931703, 0.36263, -0.0207217, 38.4454, 0,
                                                      0, 0, 1});
    static const Matrix44<double> mandible = fromRows({0.35945, -0.933164, 0, -139.296, 0.0299582, 0.0115397,
                                                       0.999485, -0.139369, -0.932683, -0.359265, 0.0321038, 13.1873,
                                                       0, 0, 0, 1});
    return jaw == Constants::Maxilla ? maxilla : mandible;
}

namespace {

bool isRigidTransform(const Matrix44<double>& m)
{
    for (int a = 0; a < 3; ++a) {
        if (std::abs(m.getColumn(a).length() - 1.0) > 0.001)
            return false;
        for (int b = a + 1; b < 3; ++b)
            if (std::abs(m.getColumn(a).dot(m.getColumn(b))) > 0.001)
                return false;
    }
    return std::abs(m[3]) <= 0.001 && std::abs(m[7]) <= 0.001 && std::abs(m[11]) <= 0.001
           && std::abs(m[15] - 1.0) <= 0.001;
}

// The calibration in the file, or nothing when the file is missing, unreadable, short,
// not numeric, not rigid or the identity (which no calibration run produces).
bool readCalibration(const std::string& file, Matrix44<double>& result)
{
    std::ifstream in(file);
    if (!in)
        return false;
    in.imbue(std::locale::classic());
    double rows[16];
    int count = 0;
    while (count < 16 && in >> rows[count] && std::isfinite(rows[count]))
        ++count;
    std::string rest;
    in.clear();
    in >> rest;
    const Matrix44<double> m = count == 16 ? fromRows(rows) : Matrix44<double>();
    if (count != 16 || !rest.empty() || !isRigidTransform(m)) {
        Platform::outputDebugString("NavigationController: the calibration file " + file
                                    + " is not a rigid transform of 16 numbers; it is ignored\n");
        return false;
    }
    if (Vexa::isEqual(m, Matrix44<double>(), 0.001))
        return false;
    result = m;
    return true;
}

// Replaces the file whole or not at all; empty on success, else why not.
std::string writeCalibration(const std::string& file, const Matrix44<double>& m)
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << m;
    try {
        Vexa::AtomicFile::writeFile(file, text.str());
    } catch (const Vexa::WriteError& e) {
        // The file is named by the message already: the cause as the system gives it.
        return Vexa::reasonOf(e.error());
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

// Without a user interface: the lower jaw (as Escape chooses), an inaccurate calibration
// discarded, sounds played, failures to the debug output.
class DefaultNavigationUi : public INavigationUi
{
public:
    int chooseJaw() override { return 1; }
    void showCalibrationQuality(std::shared_ptr<ICalibrationAcceptor> acceptor, const Accuracy&, const Accuracy&,
                                const Accuracy&) override
    {
        acceptor->acceptLastCalibration(false);
        acceptor->setStateUpdatesEnabled(true);
    }
    void playSound(const std::string& wavFile) override { Platform::playSound(wavFile); }
    void showError(const std::string& text) override { Platform::outputDebugString(std::string(text) + "\n"); }
};

}

void NavigationController::installModelFactory()
{
    Model::setNavigationControllerFactory([](Model& model) { return create(&model); });
}

std::shared_ptr<NavigationController> NavigationController::create(Model* model) try
{
    return std::make_shared<NavigationController>(model, Matrix44<double>());
}
VEXA_RETHROW

NavigationController::NavigationController(Model* model, const Matrix44<double>& initialCalibration) try
    : model_(model), ui_(std::make_shared<DefaultNavigationUi>()),
      calibration_(std::make_shared<Calibration>(initialCalibration)),
      registration_(std::make_shared<Registration>(initialCalibration))
{
    handpieceLastSeen_ = now();
    loadCalibrations();
    std::lock_guard lock(mutex_);
    setNextState(CameraAdjustment);
    process(StateMachine::Enter);
    // The Model is still being built: the first tick publishes what it holds.
    snapshot_ = std::make_shared<const NavigationSnapshot>();
}
VEXA_RETHROW

NavigationController::~NavigationController() = default;

std::string NavigationController::calibrationFile(Constants::Jaw jaw)
{
    return Platform::applicationPath(jaw == Constants::Maxilla ? "HandpieceLocTDrillOriginMaxilla.txt"
                                                               : "HandpieceLocTDrillOriginMandible.txt");
}

const Matrix44<double>& NavigationController::locatorReferenceFrame()
{
    return Registration::frameA();
}

void NavigationController::loadCalibrations()
{
    std::lock_guard lock(calibrationsMutex_);
    // Without a calibration of its own a jaw starts from the nominal handpiece geometry, so
    // that the calibration gesture is recognised; it does not count as calibrated.
    maxillaCalibration_ = referenceCalibration(Constants::Maxilla);
    mandibleCalibration_ = referenceCalibration(Constants::Mandible);
    maxillaCalibrated_ = readCalibration(calibrationFile(Constants::Maxilla), maxillaCalibration_);
    mandibleCalibrated_ = readCalibration(calibrationFile(Constants::Mandible), mandibleCalibration_);
}

void NavigationController::setUi(std::shared_ptr<INavigationUi> ui)
{
    std::lock_guard lock(mutex_);
    ui_ = ui ? std::move(ui) : std::make_shared<DefaultNavigationUi>();
}

void NavigationController::setClock(std::function<std::uint32_t()> clock)
{
    std::lock_guard lock(mutex_);
    clock_ = std::move(clock);
    handpieceLastSeen_ = now();
}

std::uint32_t NavigationController::now() const
{
    return clock_ ? clock_() : Vexa::timeGetTime();
}

std::vector<std::shared_ptr<Vexa::Tracker>> NavigationController::getUsedTracker() const
{
    return {Vexa::Tracker::create(3), Vexa::Tracker::create(4)};
}

void NavigationController::enableNavigation(std::shared_ptr<Vexa::NavigationCamera> camera) try
{
    std::lock_guard lock(mutex_);
    camera_ = std::move(camera);
    resetNavigation();
    updateEnabled_ = true;
    model_->enableNavigation();
    publishSnapshot();
}
VEXA_RETHROW

void NavigationController::disableNavigation() try
{
    std::lock_guard lock(mutex_);
    camera_.reset();
    updateEnabled_ = false;
    model_->disableNavigation();
    publishSnapshot();
}
VEXA_RETHROW

bool NavigationController::isNavigationEnabled() const
{
    std::lock_guard lock(mutex_);
    return camera_ != nullptr;
}

void NavigationController::setTrackerData(const std::vector<TrackerData>& samples) try
{
    if (samples.size() < 2)
        throw std::runtime_error("NavigationController::setTrackerData: the samples of both tools are needed");
    std::lock_guard lock(mutex_);
    // A tick brings nothing new when the camera delivered neither tool since the last one (the
    // timer outran the camera): taking those deliveries again would count stale samples as new.
    // The values do not tell: a camera repeats a still tool's values exactly, and a resting
    // scene must navigate as a trembling one. A tool seen missing always counts, so that a
    // hidden tool stays valid for two more ticks and no longer; so does a sample no camera
    // numbered.
    auto again = [](const TrackerData& newest, const TrackerData& sample) {
        return sample.getDelivery() != 0 && sample.getDelivery() == newest.getDelivery() && sample.isVisible();
    };
    if (again(handpieceSamples_.newest(), samples[0]) && again(patientLocSamples_.newest(), samples[1]))
        return;
    handpieceSamples_.push(samples[0]);
    if (samples[0].isVisible())
        handpieceTransform_ = samples[0].getTransform();
    // The time-out counts from the last tick that saw the handpiece, in whatever state.
    if (samples[0].isVisible())
        handpieceLastSeen_ = now();
    patientLocSamples_.push(samples[1]);
    if (samples[1].isVisible())
        patientLocTransform_ = samples[1].getTransform();
    auto anyVisible = [](const Vexa::ControlledRingBuffer<TrackerData>& buffer) {
        const auto [begin, end] = buffer.reverseRange();
        for (auto it = begin; it != end; ++it)
            if (it->isVisible())
                return true;
        return false;
    };
    model_->setTrackerData(anyVisible(handpieceSamples_), handpieceTransform_, anyVisible(patientLocSamples_),
                           patientLocTransform_);
    if (updateEnabled_)
        process(StateMachine::Update);
    publishSnapshot();
}
VEXA_RETHROW

std::shared_ptr<Vexa::Workspace> NavigationController::getCameraWorkspace() const
{
    std::lock_guard lock(mutex_);
    return camera_ ? camera_->getWorkspace() : nullptr;
}

int NavigationController::getCameraState() const
{
    std::shared_ptr<Vexa::NavigationCamera> camera;
    {
        std::lock_guard lock(mutex_);
        camera = camera_;
    }
    return camera ? camera->getState() : Vexa::NavigationCamera::NoData;
}

int NavigationController::getCurrentState() const
{
    std::lock_guard lock(mutex_);
    return getState();
}

Vexa::Workspace::Quality NavigationController::getCameraWorkspaceQuality() const
{
    std::lock_guard lock(mutex_);
    return quality();
}

Vexa::Workspace::Quality NavigationController::quality() const
{
    const auto workspace = camera_ ? camera_->getWorkspace() : nullptr;
    if (!workspace)
        return Vexa::Workspace::Bad;
    const int q1 = workspace->getPositionQuality(getPatientLocReferencePoint());
    const int q2 = workspace->getExcursionQuality(patientLocTransform_.getColumn(2));
    return static_cast<Vexa::Workspace::Quality>(std::min(q1, q2));
}

TrackerData NavigationController::getHandpieceTrackerData() const
{
    std::lock_guard lock(mutex_);
    return handpieceSamples_.newest();
}

TrackerData NavigationController::getPatientLocTrackerData() const
{
    std::lock_guard lock(mutex_);
    return patientLocSamples_.newest();
}

Vector3D NavigationController::getPatientLocReferencePoint() const
{
    std::lock_guard lock(mutex_);
    return (patientLocTransform_ * locatorReferenceFrame()).getTranslation();
}

Matrix44<double> NavigationController::getHandpieceLocTDrillOrigin(Constants::Jaw jaw) const
{
    std::lock_guard lock(calibrationsMutex_);
    return jaw == Constants::Maxilla ? maxillaCalibration_ : mandibleCalibration_;
}

void NavigationController::setHandpieceLocTDrillOrigin(const Matrix44<double>& m) try
{
    calibration_->setHandpieceLocTDrillOrigin(m);
    registration_->setHandpieceLocTDrillOrigin(m);
}
VEXA_RETHROW

bool NavigationController::wasCalibrationDoneBefore() const try
{
    const Constants::Jaw jaw = model_->getJaw();
    std::lock_guard lock(calibrationsMutex_);
    if (jaw == Constants::Mandible)
        return mandibleCalibrated_ && !Vexa::isEqual(mandibleCalibration_, referenceCalibration(jaw), 0.001);
    if (jaw == Constants::Maxilla)
        return maxillaCalibrated_ && !Vexa::isEqual(maxillaCalibration_, referenceCalibration(jaw), 0.001);
    return false;
}
VEXA_RETHROW

void NavigationController::resetNavigation() try
{
    std::lock_guard lock(mutex_);
    handpieceSamples_.clear();
    patientLocSamples_.clear();
    setHandpieceLocTDrillOrigin(getHandpieceLocTDrillOrigin(model_->getJaw() == Constants::Maxilla
                                                                ? Constants::Maxilla
                                                                : Constants::Mandible));
    setNextState(CameraAdjustment);
    process(StateMachine::Enter);
}
VEXA_RETHROW

void NavigationController::enforceCalibration() try
{
    std::shared_ptr<INavigationUi> ui;
    {
        std::lock_guard lock(mutex_);
        updateEnabled_ = false;
        ui = ui_;
    }
    const int jaw = ui->chooseJaw(); // a modal dialog: no lock held
    std::lock_guard lock(mutex_);
    calibration_->enforceCalibration(jaw == 1);
    enforced_ = true;
    setNextState(HandpieceCalibration);
    updateEnabled_ = true;
    publishSnapshot();
}
VEXA_RETHROW

void NavigationController::acceptLastCalibration(bool accept) try
{
    std::lock_guard lock(mutex_);
    acceptLocked(accept);
    publishSnapshot();
}
VEXA_RETHROW

void NavigationController::acceptLocked(bool accept)
{
    calibration_->acceptCalibration(accept);
    if (accept) {
        const Matrix44<double> m = calibration_->getHandpieceLocTDrillOrigin();
        const Constants::Jaw jaw = calibration_->isMaxilla() ? Constants::Maxilla : Constants::Mandible;
        {
            std::lock_guard calibrations(calibrationsMutex_);
            (jaw == Constants::Maxilla ? maxillaCalibration_ : mandibleCalibration_) = m;
            (jaw == Constants::Maxilla ? maxillaCalibrated_ : mandibleCalibrated_) = true;
        }
        const std::string file = calibrationFile(jaw);
        const std::string failure = writeCalibration(file, m);
        if (!failure.empty()) {
            Vexa::ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
            // What the surgeon goes on with, and what the next start takes.
            const std::string text = "The handpiece calibration could not be saved to " + file + ": " + failure +
                                     ". The new calibration holds until the program ends; at the next start the "
                                     "drill must be calibrated again.";
            inGuiThread([text](INavigationUi& ui) { ui.showError(text); });
        }
        model_->logCalibration(calibration_->getLastPreCalibrationAccuracy(), calibration_->getLastCalibrationAccuracy(),
                               calibration_->getLastPostCalibrationAccuracy(), jaw);
        registration_->setHandpieceLocTDrillOrigin(m);
        model_->invalidateDrillRegistration();
        playSound("Registration.wav");
    }
    setNextState(Operation);
}

bool NavigationController::setStateUpdatesEnabled(bool enabled)
{
    std::lock_guard lock(mutex_);
    updateEnabled_ = enabled;
    return enabled;
}

void NavigationController::navigationStateEvent(StateMachine::Event)
{
    // The Model resets its poses, logs and warns itself; nothing of the controller follows
    // the Model's state.
}

bool NavigationController::updateStates(StateMachine::Event event, int state) try
{
    switch (state) {
    case Operation:
    case CameraAdjustment:
        if (event == StateMachine::Enter && state == CameraAdjustment) {
            // Every adjustment holds the quality anew, also the one a switch-on starts: no
            // quality yet, so its first update starts the hold.
            lastQuality_ = -1;
            return true;
        }
        if (event != StateMachine::Update)
            return false;
        checkRegistrationTimeout();
        state == Operation ? updateOperation() : updateCameraAdjustment();
        return true;
    case DrillRegistration:
        if (event != StateMachine::Update)
            return false;
        updateRegistration();
        return true;
    case HandpieceCalibration:
        if (event == StateMachine::Enter)
            model_->logCalibrationStart(enforced_, calibration_->isMandible() ? Constants::Mandible : Constants::Maxilla);
        else if (event == StateMachine::Update)
            updateCalibration();
        return event != StateMachine::Leave;
    default:
        return false;
    }
}
VEXA_RETHROW

void NavigationController::checkRegistrationTimeout()
{
    if (now() - handpieceLastSeen_ > registrationTimeoutMs)
        model_->invalidateDrillRegistration();
}

void NavigationController::updateOperation()
{
    if (quality() == Vexa::Workspace::Bad) {
        setNextState(CameraAdjustment);
        return;
    }
    const TrackerData patientLocator = patientLocSamples_.newest(), handpiece = handpieceSamples_.newest();
    if (calibration_->isCalibrationConditionOK(patientLocator, handpiece)) {
        setNextState(HandpieceCalibration);
        return;
    }
    if (wasCalibrationDoneBefore() && registration_->isRegistrationConditionOK(patientLocator, handpiece))
        setNextState(DrillRegistration);
}

void NavigationController::updateCameraAdjustment()
{
    const std::uint32_t time = now();
    int q = lastQuality_;
    if (patientLocSamples_.newest().isVisible())
        q = quality();
    else
        holdStart_ = time;
    if (q != lastQuality_) {
        holdStart_ = time;
        lastQuality_ = q;
        return;
    }
    if (q == Vexa::Workspace::Good && time - holdStart_ > qualityHoldMs)
        setNextState(Operation);
}

void NavigationController::updateRegistration()
{
    if (quality() == Vexa::Workspace::Bad) {
        setNextState(CameraAdjustment);
        return;
    }
    if (!registration_->isRegistrationConditionOK(patientLocSamples_.newest(), handpieceSamples_.newest())) {
        registration_->requestState(Registration::NotRegistering);
        setNextState(Operation);
        return;
    }
    registration_->updateRegistration();
    if (registration_->getCurrentState() == Registration::Registered) {
        playSound("Registration.wav");
        model_->registerDrill(registration_->getDrillOriginTDrillTip());
        registration_->requestState(Registration::NotRegistering);
    }
}

void NavigationController::updateCalibration()
{
    if (quality() != Vexa::Workspace::Good) {
        setNextState(CameraAdjustment);
        return;
    }
    if (!calibration_->isCalibrationConditionOK(patientLocSamples_.newest(), handpieceSamples_.newest())
        && !enforced_) {
        calibration_->requestState(Calibration::NotCalibrating);
        setNextState(Operation);
    }
    calibration_->updateCalibration();
    if (calibration_->getCurrentState() != Calibration::Done)
        return;
    enforced_ = false;
    if (calibration_->isLastCalibrationAccurate()) {
        acceptLocked(true);
        return;
    }
    updateEnabled_ = false;
    const auto before = calibration_->getLastPreCalibrationAccuracy();
    const auto during = calibration_->getLastCalibrationAccuracy();
    const auto after = calibration_->getLastPostCalibrationAccuracy();
    std::weak_ptr<NavigationController> self = weak_from_this();
    inGuiThread([self, before, during, after](INavigationUi& ui) {
        if (auto controller = self.lock())
            ui.showCalibrationQuality(controller, before, during, after);
    });
}

void NavigationController::playSound(const std::string& name)
{
    const std::string file = Platform::applicationPath(std::string(Constants::soundsFolder) + name);
    inGuiThread([file](INavigationUi& ui) { ui.playSound(file); });
}

void NavigationController::inGuiThread(std::function<void(INavigationUi&)> request)
{
    std::shared_ptr<INavigationUi> ui = ui_;
    auto call = [ui, request = std::move(request)] {
        try {
            request(*ui);
        } catch (const std::exception& e) {
            Platform::outputDebugString(std::string("NavigationController: ") + e.what() + "\n");
        }
    };
    if (QCoreApplication::instance())
        Platform::postToThreadOf(QCoreApplication::instance(), std::move(call));
    else
        call();
}

void NavigationController::publishSnapshot()
{
    auto s = std::make_shared<NavigationSnapshot>();
    s->controllerState = getState();
    s->cameraState = camera_ ? camera_->getState() : 0;
    s->workspaceQuality = quality();
    s->updatesEnabled = updateEnabled_;
    s->enforced = enforced_;
    s->handpiece = handpieceSamples_.newest();
    s->patientLocator = patientLocSamples_.newest();
    s->patientLocReferencePoint = (patientLocTransform_ * locatorReferenceFrame()).getTranslation();
    s->calibrationState = calibration_->getCurrentState();
    s->calibrationSamples = calibration_->getNumberOfSamples();
    s->calibrationConditionLevel = calibration_->getCalibrationConditionLevel();
    s->preCalibrationAccuracy = calibration_->getPreCalibrationAccuracy();
    s->calibrationAccuracy = calibration_->getCalibrationAccuracy();
    s->postCalibrationAccuracy = calibration_->getPostCalibrationAccuracy();
    s->registrationState = registration_->getCurrentState();
    s->registrationSamples = registration_->getNumberOfSamples();
    s->registrationAccuracy = registration_->getAccuracy();
    s->readModel(*model_);
    std::shared_ptr<const NavigationSnapshot> published = std::move(s);
    std::lock_guard slot(snapshotMutex_);
    snapshot_.swap(published);
}

std::shared_ptr<const NavigationSnapshot> NavigationController::getSnapshot() const
{
    std::lock_guard slot(snapshotMutex_);
    return snapshot_;
}

int NavigationController::getShownState() const
{
    return getSnapshot()->controllerState;
}

int NavigationController::getCalibrationState() const
{
    return getSnapshot()->calibrationState;
}

int NavigationController::getCalibrationConditionLevel() const
{
    return getSnapshot()->calibrationConditionLevel;
}
