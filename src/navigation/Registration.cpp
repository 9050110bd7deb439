#include "navigation/Registration.h"

#include "navigation/Calibration.h"
#include "navigation/TrackerData.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Geometry.h"
#include "vexa/math/Line3.h"

#include <cmath>

using Vexa::Matrix44;
using Vexa::Vector3D;

const Matrix44<double>& Registration::frameA()
{
    static const Matrix44<double> frame(Vector3D(-1, 0, 0), Vector3D(0, 1, 0), Vector3D(0, 0, -1),
                                        Vector3D(-93.9, -31.38, -2.4));
    return frame;
}

Registration::Registration(const Matrix44<double>& handpieceLocTDrillOrigin) try
    : drillOrigin_(handpieceLocTDrillOrigin)
{
    setNextState(NotRegistering);
    process(StateMachine::Enter);
}
VEXA_RETHROW

void Registration::updateRegistration() try
{
    std::lock_guard lock(mutex_);
    process(StateMachine::Update);
}
VEXA_RETHROW

void Registration::requestState(State state)
{
    std::lock_guard lock(mutex_);
    setNextState(state);
}

std::pair<bool, double> Registration::sideAndDistance(const Matrix44<double>& frame) const
{
    const Matrix44<double> y = Vexa::inverse(patientLoc_ * frame) * handpiece_ * drillOrigin_;
    const Vector3D direction = -y.getColumn(0);
    return {y[14] > 0.0, Vexa::getDistance(Vexa::Line3<double>(y.getTranslation(), direction), Vector3D())};
}

bool Registration::isRegistrationConditionOK(const Vexa::TrackerData& patientLocator,
                                             const Vexa::TrackerData& handpiece) try
{
    std::lock_guard lock(mutex_);
    if (!patientLocator.isVisible() || !handpiece.isVisible()) {
        registered_ = false;
        resetSamples();
        return false;
    }
    patientLoc_ = patientLocator.getTransform();
    handpiece_ = handpiece.getTransform();
    const auto [sideA, distA] = sideAndDistance(frameA());
    const auto [sideB, distB] = sideAndDistance(Matrix44<double>());
    if (!((sideA && distA < 1.9) || (sideB && distB < 1.9))) {
        registered_ = false;
        resetSamples();
        return false;
    }
    if (registered_) {
        resetSamples();
        return false;
    }
    if (samples_ == 0) {
        startA_ = distA;
        startB_ = distB;
    }
    if (!((sideA && std::abs(startA_ - distA) < 0.6) || (sideB && std::abs(startB_ - distB) < 0.6))) {
        resetSamples();
        return false;
    }
    if (sideA && distA < distB) {
        chosenFrame_ = frameA();
        return true;
    }
    if (sideB && distB < distA) {
        chosenFrame_ = Matrix44<double>();
        return true;
    }
    resetSamples();
    return false;
}
VEXA_RETHROW

void Registration::setHandpieceLocTDrillOrigin(const Matrix44<double>& m)
{
    std::lock_guard lock(mutex_);
    drillOrigin_ = m;
}

Matrix44<double> Registration::getDrillOriginTDrillTip() const
{
    std::lock_guard lock(mutex_);
    return result_;
}

unsigned Registration::getNumberOfSamples() const
{
    std::lock_guard lock(mutex_);
    return samples_;
}

int Registration::getCurrentState() const
{
    std::lock_guard lock(mutex_);
    return getState();
}

std::pair<double, double> Registration::getAccuracy() const
{
    std::lock_guard lock(mutex_);
    if (offsets_.size() < 2)
        return {0.0, 0.0};
    double distances = 0.0;
    for (double d : axisDistances_)
        distances += d;
    return {distances / static_cast<double>(axisDistances_.size()), Calibration::getTranslationStatistics(offsets_).second};
}

bool Registration::updateStates(StateMachine::Event event, int state) try
{
    if (state < 0 || state > Registered || event == StateMachine::Leave)
        return false;
    if (event == StateMachine::Enter) {
        if (state == Registered)
            registered_ = true;
        return true;
    }
    if (state == NotRegistering)
        setNextState(Registering);
    else if (state == Registering)
        doRegistrating();
    return true;
}
VEXA_RETHROW

void Registration::resetSamples()
{
    samples_ = 0;
    offsets_.clear();
    axisDistances_.clear();
}

void Registration::doRegistrating()
{
    const Matrix44<double> o = handpiece_ * drillOrigin_;
    const Matrix44<double> r = patientLoc_ * chosenFrame_;
    offsets_.push_back((Vexa::inverse(o) * r).getTranslation());
    const Vexa::Line3<double> axis(o.getTranslation(), o.getColumn(0));
    axisDistances_.push_back((r.getTranslation() - Vexa::getNearestPoint(axis, r.getTranslation())).length());
    if (++samples_ < samplesNeeded)
        return;
    Vector3D m;
    for (const auto& v : offsets_)
        m += v;
    m = m / static_cast<double>(offsets_.size());
    result_ = Matrix44<double>(Vector3D(0, 0, -1), Vector3D(0, 1, 0), Vector3D(1, 0, 0), Vector3D(m.x, 0, 0));
    setNextState(Registered);
}
