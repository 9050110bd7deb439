#pragma once
// The 3D view's camera as plain geometry, apart from drawing.
//
// A camera is a Matrix44 in world coordinates: column 0 its x axis (right on screen), column 1
// its y axis (up on screen), column 2 its z axis (the viewing direction, into the scene),
// column 3 the eye. The frame is left-handed (x = z × y), which is what gluLookAt with
// centre = eye + z and up = y makes of it. Angles of the mouse drag are in degrees a tick,
// those of the 3D mouse in radians.
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"

#include <array>
#include <optional>
#include <utility>

class CameraRig
{
public:
    enum Button : unsigned
    {
        LeftButton = 1,
        MiddleButton = 2,
        RightButton = 4
    };
    enum class Action
    {
        None,
        Pan,
        Orbit,
        Dolly
    };

    static constexpr double fieldOfView = 45.0; // vertical, degrees
    static constexpr double nearPlane = 1.0;
    static constexpr double farPlane = 10000.0;
    static constexpr double eyeDistance = 200.0;
    // Mean window depth of the test points from which the model counts as out of sight.
    static constexpr double farDepth = 0.9995;
    // One 3D-mouse event moves the eye at most this far along each axis (mm).
    static constexpr double maxSpaceballTranslation = 500.0;

    // The eye 200 units before the centre on the -y side, looking along +y, world +z up.
    static Vexa::Matrix44<double> resetPose(const Vexa::Vector3D& center);

    // The joystick speeds of a drag: the offset from the press point in fifteenths of the
    // widget's size, squared with its sign. A size below 1 counts as 1.
    static std::pair<double, double> dragSpeed(int dx, int dy, int width, int height);
    // What the held buttons do (a combination of Button bits).
    static Action actionFor(unsigned buttons);
    // One 40 ms tick of a drag: the camera's axes made orthonormal, then moved by the action.
    static Vexa::Matrix44<double> dragTick(const Vexa::Matrix44<double>& camera, unsigned buttons, double speedX,
                                           double speedY, const Vexa::Vector3D& center);
    // One 3D-mouse event: turns about the camera's axes as they were before the event (about
    // the centre), then moves the eye along the turned axes. Non-finite components count as
    // 0; turns are clamped to ±pi and moves to ±maxSpaceballTranslation.
    static Vexa::Matrix44<double> spaceballMotion(const Vexa::Matrix44<double>& camera, Vexa::Vector3D translation,
                                                  Vexa::Vector3D rotation, const Vexa::Vector3D& center);
    // Unit axes, the y axis made orthogonal to z and x to both, keeping the frame's
    // handedness and the eye. Used after every tick so that rounding cannot skew the camera.
    static Vexa::Matrix44<double> orthonormalized(const Vexa::Matrix44<double>& camera);

    // Width / height with a height of at least 1.
    static double aspectRatio(int width, int height);
    // The projection (perspective times look-at) as setupCamera puts it into GL, column-major.
    static std::array<double, 16> projection(const Vexa::Matrix44<double>& camera, double aspect);

    // The 15 visibility test points of a box: 8 corners, the centre, the 6 face centres.
    static std::array<Vexa::Vector3D, 15> testPoints(const Vexa::Vector3D& min, const Vexa::Vector3D& max);
    // The reference of the GL feedback test: the number of points inside the view volume and
    // the mean of their window depths (0..1); no value when none is inside.
    struct Depths
    {
        int inside = 0;
        double meanDepth = 0.0;
    };
    static Depths projectDepths(const std::array<Vexa::Vector3D, 15>& points, const Vexa::Matrix44<double>& camera,
                                double aspect);
    static bool isVisible(const Depths& depths) { return depths.inside > 0 && depths.meanDepth < farDepth; }
};
