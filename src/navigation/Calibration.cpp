#include "navigation/Calibration.h"

#include "navigation/TrackerData.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Geometry.h"

#include <algorithm>
#include <cmath>

using Vexa::Matrix44;
using Vexa::Vector3D;

namespace {

constexpr double tenDegrees = 0.17453292519943295;
constexpr double oneDegree = 0.017453292519943295;

double distanceOf(const Matrix44<double>& k)
{
    return k.getTranslation().length();
}

// Angle between the candidate's x axis and (-1, 0, 0); the cosine is clamped against rounding.
double angleOf(const Matrix44<double>& k)
{
    return std::abs(std::acos(std::clamp(-k[0], -1.0, 1.0)));
}

bool fits(const Matrix44<double>& k, double distance, double angle)
{
    return distanceOf(k) < distance && angleOf(k) < angle;
}

}

const Matrix44<double>& Calibration::mandibleFrame()
{
    static const Matrix44<double> frame = Vexa::createCoordinateSystem(
        Vector3D(-0.34, 0, -5.0), Vector3D(-0.34, 0, 19.0), Vector3D(-59.35, -36.46, 14.5));
    return frame;
}

const Matrix44<double>& Calibration::maxillaFrame()
{
    static const Matrix44<double> frame = Vexa::createCoordinateSystem(
        Vector3D(-0.34, 0, 19.0), Vector3D(-0.34, 0, -5.0), Vector3D(-59.35, -36.46, 14.5));
    return frame;
}

std::pair<double, double> Calibration::getTranslationStatistics(const std::list<Vector3D>& samples)
{
    const double n = static_cast<double>(samples.size());
    if (samples.size() < 2)
        return {0.0, 0.0};
    Vector3D sum;
    for (const auto& v : samples)
        sum += v;
    const double mean = (sum / n).length();
    double squares = 0.0;
    for (const auto& v : samples)
        squares += (v.length() - mean) * (v.length() - mean);
    return {mean, std::sqrt(squares / (n - 1.0))};
}

Calibration::Calibration(const Matrix44<double>& handpieceLocTDrillOrigin) try
{
    setHandpieceLocTDrillOrigin(handpieceLocTDrillOrigin);
    setNextState(NotCalibrating);
    process(StateMachine::Enter);
}
VEXA_RETHROW

void Calibration::updateCalibration() try
{
    std::lock_guard lock(mutex_);
    process(StateMachine::Update);
}
VEXA_RETHROW

bool Calibration::isCalibrationConditionOK(const Vexa::TrackerData& patientLocator,
                                           const Vexa::TrackerData& handpiece) try
{
    std::lock_guard lock(mutex_);
    sawBothTools_ = false;
    if (!patientLocator.isVisible() || !handpiece.isVisible())
        return false;
    patientLoc_ = patientLocator.getTransform();
    handpiece_ = handpiece.getTransform();
    const Matrix44<double> q = Vexa::inverse(handpiece_ * calibration_);
    mandibleCandidate_ = q * patientLoc_ * mandibleFrame();
    maxillaCandidate_ = q * patientLoc_ * maxillaFrame();
    sawBothTools_ = true;
    const bool ok = fits(mandibleCandidate_, 8.0, tenDegrees) || fits(maxillaCandidate_, 8.0, tenDegrees);
    if (ok)
        mandible_ = angleOf(mandibleCandidate_) < angleOf(maxillaCandidate_);
    return ok;
}
VEXA_RETHROW

int Calibration::getCalibrationConditionLevel() const
{
    std::lock_guard lock(mutex_);
    if (fits(mandibleCandidate_, 1.0, oneDegree) || fits(maxillaCandidate_, 1.0, oneDegree))
        return 2;
    return fits(mandibleCandidate_, 8.0, tenDegrees) || fits(maxillaCandidate_, 8.0, tenDegrees) ? 1 : 0;
}

void Calibration::acceptCalibration(bool accept) try
{
    std::lock_guard lock(mutex_);
    if (accept) {
        preMean_ = lastPreMean_;
        preDeviation_ = lastPreDeviation_;
        calibration_ = newCalibration_;
        deviation_ = lastDeviation_;
        postMean_ = lastPostMean_;
        postDeviation_ = lastPostDeviation_;
    }
    pause_ = pauseUpdates;
    setNextState(NotCalibrating);
    process(StateMachine::Update);
}
VEXA_RETHROW

void Calibration::enforceCalibration(bool mandible) try
{
    std::lock_guard lock(mutex_);
    mandible_ = mandible;
    runMandible_ = mandible;
    resetSamples();
}
VEXA_RETHROW

void Calibration::setHandpieceLocTDrillOrigin(const Matrix44<double>& m)
{
    std::lock_guard lock(mutex_);
    calibration_ = m;
    newCalibration_ = Matrix44<double>();
}

bool Calibration::isLastCalibrationAccurate() const
{
    std::lock_guard lock(mutex_);
    return lastDeviation_ < 0.3 && lastPostDeviation_ < 0.3 && lastPostMean_ < 0.2;
}

Matrix44<double> Calibration::getHandpieceLocTDrillOrigin() const
{
    std::lock_guard lock(mutex_);
    return calibration_;
}

bool Calibration::isMandible() const
{
    std::lock_guard lock(mutex_);
    return mandible_;
}

unsigned Calibration::getNumberOfSamples() const
{
    std::lock_guard lock(mutex_);
    return samples_;
}

void Calibration::requestState(State state)
{
    std::lock_guard lock(mutex_);
    setNextState(state);
}

int Calibration::getCurrentState() const
{
    std::lock_guard lock(mutex_);
    return getState();
}

#define ACCURACY_GETTER(name, first, second)                    \
    std::pair<double, double> Calibration::name() const         \
    {                                                           \
        std::lock_guard lock(mutex_);                           \
        return {first, second};                                 \
    }
ACCURACY_GETTER(getPreCalibrationAccuracy, preMean_, preDeviation_)
ACCURACY_GETTER(getCalibrationAccuracy, 0.0, deviation_)
ACCURACY_GETTER(getPostCalibrationAccuracy, postMean_, postDeviation_)
ACCURACY_GETTER(getLastPreCalibrationAccuracy, lastPreMean_, lastPreDeviation_)
ACCURACY_GETTER(getLastCalibrationAccuracy, 0.0, lastDeviation_)
ACCURACY_GETTER(getLastPostCalibrationAccuracy, lastPostMean_, lastPostDeviation_)
#undef ACCURACY_GETTER

bool Calibration::updateStates(StateMachine::Event event, int state) try
{
    if (state < 0 || state > Done || event == StateMachine::Leave)
        return false;
    if (event == StateMachine::Enter) {
        if (state >= PreCalibration && state <= PostCalibration)
            resetSamples();
        if (state == PreCalibration)
            runMandible_ = mandible_;
        return true;
    }
    if (state != NotCalibrating && state != Done) {
        // Only ticks whose check saw both tools are samples; a changed jaw restarts the run.
        if (!sawBothTools_)
            return true;
        if (mandible_ != runMandible_) {
            runMandible_ = mandible_;
            setNextState(PreCalibration);
            return true;
        }
    }
    switch (state) {
    case NotCalibrating: doNotCalibrating(); break;
    case PreCalibration: doPreCalibration(); break;
    case Calibrating: doCalibration(); break;
    case PostCalibration: doPostCalibration(); break;
    default: break;
    }
    return true;
}
VEXA_RETHROW

void Calibration::resetSamples()
{
    samples_ = 0;
    offsets_.clear();
    pairs_.clear();
}

const Matrix44<double>& Calibration::ownCandidate() const
{
    return mandible_ ? mandibleCandidate_ : maxillaCandidate_;
}

void Calibration::doNotCalibrating()
{
    if (pause_ == 0)
        setNextState(PreCalibration);
    else
        --pause_;
}

void Calibration::doPreCalibration()
{
    offsets_.push_back(ownCandidate().getTranslation());
    if (++samples_ == preSamples) {
        std::tie(lastPreMean_, lastPreDeviation_) = getTranslationStatistics(offsets_);
        setNextState(Calibrating);
    }
}

void Calibration::doCalibration()
{
    offsets_.push_back(ownCandidate().getTranslation());
    const Matrix44<double> g = Vexa::inverse(handpiece_) * patientLoc_;
    const Vector3D a = (g * mandibleFrame()).getTranslation();
    const Vector3D b = (g * maxillaFrame()).getTranslation();
    pairs_.push_back(mandible_ ? std::make_pair(b, a) : std::make_pair(a, b));
    if (++samples_ < calibrationSamples)
        return;
    Vector3D m1, m2;
    for (const auto& [other, own] : pairs_) {
        m1 += other;
        m2 += own;
    }
    m1 = m1 / static_cast<double>(pairs_.size());
    m2 = m2 / static_cast<double>(pairs_.size());
    if ((m2 - m1).length() < 1e-6) {
        // Both frame origins at one place: no axis can be taken; measure again.
        setNextState(PreCalibration);
        return;
    }
    const Vector3D x = (m2 - m1).getNormalized();
    const Vector3D r = std::acos(std::clamp(x.x, -1.0, 1.0)) < tenDegrees ? Vector3D(0, 1, 0) : Vector3D(-1, 0, 0);
    const Vector3D z = x.cross(r).getNormalized();
    const Vector3D y = z.cross(x).getNormalized();
    newCalibration_ = Matrix44<double>(x, y, z, m2);
    lastDeviation_ = getTranslationStatistics(offsets_).second;
    setNextState(PostCalibration);
}

void Calibration::doPostCalibration()
{
    const Matrix44<double> q = Vexa::inverse(handpiece_ * newCalibration_);
    offsets_.push_back((q * patientLoc_ * (mandible_ ? mandibleFrame() : maxillaFrame())).getTranslation());
    if (++samples_ == postSamples) {
        std::tie(lastPostMean_, lastPostDeviation_) = getTranslationStatistics(offsets_);
        setNextState(Done);
    }
}
