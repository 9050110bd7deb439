#pragma once
// A synthetic operating room for the navigation tests and the tick benchmark: a patient
// locator well inside the Polaris start-up workspace, a handpiece whose true calibration
// (handpiece locator to drill origin) and drill length are known, and poses that put the
// drill at a calibration frame or a registration point. Samples carry seeded noise so that
// no two ticks are equal.
#include "navigation/Calibration.h"
#include "navigation/NavigationController.h"
#include "navigation/ReplayCamera.h"
#include "navigation/Registration.h"
#include "navigation/TrackerData.h"
#include "vexa/math/Geometry.h"

#include <cmath>
#include <cstdint>
#include <fstream>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>

namespace NavigationScene {

using Vexa::Matrix44;
using Vexa::Vector3D;

inline Matrix44<double> rotation(const Vector3D& axis, double degrees)
{
    Matrix44<double> m;
    m.setRotation(axis, degrees * M_PI / 180.0);
    return m;
}

// The patient locator, axes along the camera's, its reference point at camera (0, 0, -1400).
inline Matrix44<double> locatorPose()
{
    return Matrix44<double>(Vector3D(0, 0, -1400) - NavigationController::locatorReferenceFrame().getTranslation());
}

// A handpiece a few millimetres and degrees off the nominal mandible geometry, with axes built
// as a calibration run builds them (z = x cross r, y = z cross x).
inline Matrix44<double> trueCalibration()
{
    const Matrix44<double>& nominal = NavigationController::referenceCalibration(Constants::Mandible);
    const Vector3D x = rotation(Vector3D(0.3, 1, 0.2), 4.0).rotate(nominal.getColumn(0)).getNormalized();
    const Vector3D r = std::acos(x.x) < 10.0 * M_PI / 180.0 ? Vector3D(0, 1, 0) : Vector3D(-1, 0, 0);
    const Vector3D z = x.cross(r).getNormalized();
    return Matrix44<double>(x, z.cross(x), z, nominal.getTranslation() + Vector3D(2.0, -1.5, 1.0));
}

// Handpiece pose with the drill origin on a frame, its x axis against the frame's x axis.
inline Matrix44<double> handpieceAtFrame(const Matrix44<double>& frameOnLocator,
                                         const Matrix44<double>& calibration = trueCalibration())
{
    const Matrix44<double> flip = rotation(Vector3D(0, 0, 1), 180.0);
    return locatorPose() * frameOnLocator * Vexa::inverse(flip) * Vexa::inverse(calibration);
}

// Handpiece pose with the drill tip of the given length on registration point A.
inline Matrix44<double> handpieceAtPointA(double drillLength, const Matrix44<double>& calibration = trueCalibration())
{
    const Matrix44<double> drill(Vector3D(0, 0, 1), Vector3D(0, 1, 0), Vector3D(-1, 0, 0), Vector3D(0, 0, drillLength));
    return locatorPose() * Registration::frameA() * drill * Vexa::inverse(calibration);
}

// Handpiece resting far from every frame and point.
inline Matrix44<double> handpieceAway()
{
    return locatorPose() * Matrix44<double>(Vector3D(60, 120, 80)) * rotation(Vector3D(1, 0, 0), 30.0);
}

// Seeded jitter: translation noise of `sigma` mm in every axis, rotation noise to match.
class Noise
{
public:
    explicit Noise(double sigma, unsigned seed = 7) : sigma_(sigma), random_(seed) {}
    Vexa::TrackerData sample(const Matrix44<double>& pose, bool visible = true)
    {
        std::normal_distribution<double> n(0.0, sigma_);
        const Vector3D axis(n(random_), n(random_), n(random_) + 1e-9);
        const Matrix44<double> moved = Matrix44<double>(Vector3D(n(random_), n(random_), n(random_))) * pose
                                       * rotation(axis, axis.length() * 0.01);
        return Vexa::TrackerData(moved, 0.1, visible);
    }

private:
    double sigma_;
    std::mt19937 random_;
};

// One trajectory line in the replay camera's format.
inline void writeLine(std::ostream& out, std::uint32_t timeMs, int tool, const Matrix44<double>& pose, bool visible)
{
    const auto q = Vexa::quaternionFromRotation({pose[0], pose[1], pose[2], pose[4], pose[5], pose[6], pose[8],
                                                 pose[9], pose[10]});
    out << timeMs << ' ' << tool << ' ' << (visible ? 1 : 0) << ' ' << q[0] << ' ' << q[1] << ' ' << q[2] << ' '
        << q[3] << ' ' << pose[12] << ' ' << pose[13] << ' ' << pose[14] << " 0.1\n";
}

}

namespace NavigationScene {

// A whole procedure as a trajectory file, one line per tool every `stepMs`: 60 steps with the
// handpiece away, 200 at the mandible calibration frame, 20 away, 60 on point A with a drill
// of `drillLength`, then away up to `steps`.
inline void writeProcedure(std::ostream& out, unsigned steps = 400, std::uint32_t stepMs = 50, double drillLength = 25.0)
{
    out << "# t_ms tool visible qw qx qy qz x y z error\n";
    out.precision(10);
    std::mt19937 random(3);
    std::normal_distribution<double> n(0.0, 0.01);
    auto jitter = [&](const Matrix44<double>& pose) { return Matrix44<double>(Vector3D(n(random), n(random), n(random))) * pose; };
    for (unsigned step = 0; step < steps; ++step) {
        Matrix44<double> handpiece = handpieceAway();
        if (step >= 60 && step < 260)
            handpiece = handpieceAtFrame(Calibration::mandibleFrame());
        else if (step >= 280 && step < 340)
            handpiece = handpieceAtPointA(drillLength);
        writeLine(out, step * stepMs, 0, jitter(handpiece), true);
        writeLine(out, step * stepMs, 1, jitter(locatorPose()), true);
    }
}

// The procedure above played by the replay camera (in real time, or advanced by hand).
inline std::shared_ptr<Vexa::ReplayCamera> replayProcedure(unsigned steps = 400, std::uint32_t stepMs = 50,
                                                           bool realTime = true)
{
    std::stringstream procedure;
    writeProcedure(procedure, steps, stepMs);
    return std::make_shared<Vexa::ReplayCamera>(Vexa::Trajectory::read(procedure, "procedure"), realTime);
}

// A still scene as a trajectory file, both tools every 50 ms for 10 s: the locator, and the
// handpiece away but from 3 to 6 s on point A with a 25 mm drill.
inline void writeStillScene(const std::string& file)
{
    std::ofstream out(file);
    out.precision(10);
    for (std::uint32_t t = 0; t < 10000; t += 50) {
        writeLine(out, t, 0, t >= 3000 && t < 6000 ? handpieceAtPointA(25.0) : handpieceAway(), true);
        writeLine(out, t, 1, locatorPose(), true);
    }
}

}
