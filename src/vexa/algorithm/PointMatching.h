#pragma once
// Rigid point matching shared by the automatic and the manual marker check: the best
// proper rigid motion between two point sets (never a mirror image), and the search for
// which point belongs to which point of a known geometry.
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"

#include <vector>

namespace Vexa {

class PointMatching
{
public:
    struct Fit
    {
        bool valid = false;
        Matrix44<double> transform;   // maps `from` onto `to`
        double rms = 0.0;             // root mean square residual (mm)
        double maximumResidual = 0.0; // largest residual (mm)
    };

    struct Match
    {
        bool success = false;
        // For every geometry point the index of its point, or -1 when none was given for it.
        std::vector<int> pointOf;
        Matrix44<double> transform; // geometry -> points; the identity on failure
        double rms = 0.0;
    };

    // Least-squares rotation (determinant +1) and translation carrying from[i] onto to[i]
    // (Horn's unit-quaternion method). Invalid for fewer than three pairs, sets of different
    // sizes, or `from` points on one line (the turn about that line is then undetermined).
    static Fit fitRigid(const std::vector<Vector3D>& from, const std::vector<Vector3D>& to);

    // Whether the pairs agree with one rigid motion within tolerance: every point must lie
    // within tolerance of where the motion fitted to the other points puts its partner
    // (with three pairs, of where the fit to all of them does). Judging each point by a fit
    // it did not pull towards itself keeps one misplaced point from hiding in the average.
    static bool isConsistent(const std::vector<Vector3D>& geometry, const std::vector<Vector3D>& points,
                             double tolerance);

    // The picked points (at least three, at most as many as the geometry has) against the
    // geometry: with anyOrder every assignment of points to distinct geometry points is
    // tried and the one with the smallest residual kept, otherwise point i belongs to
    // geometry point i. Succeeds when that assignment is consistent within tolerance.
    static Match matchPoints(const std::vector<Vector3D>& points, const std::vector<Vector3D>& geometry,
                             double tolerance, bool anyOrder);

    // The whole geometry among candidate points that may include others: succeeds when every
    // geometry point has its own candidate and the pairs are consistent within tolerance.
    static Match findGeometry(const std::vector<Vector3D>& candidates, const std::vector<Vector3D>& geometry,
                              double tolerance);
};

}
