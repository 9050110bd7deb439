#pragma once
// Marker detection job: finds the radio-opaque balls of the registration marker in a
// volume and matches them to the marker geometry. Also the check of markers the user has
// placed by hand.
//
// The balls are the brightest compact objects of the volume. Bright voxels are grouped into
// connected blobs at a few thresholds between the background and the brightest values;
// blobs of about the ball's size and roughly round are candidates, placed at their
// brightness-weighted centre. The first threshold whose candidates contain the whole
// geometry (PointMatching::findGeometry) gives the result.
#include "vexa/algorithm/AbstractAlgorithm.h"
#include "vexa/algorithm/ReferenceMarkerGeometry.h"
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"
#include "vexa/volume/VolumeData.h"

#include <memory>
#include <utility>
#include <vector>

namespace Vexa {

class MarkerDetection : public AbstractAlgorithm
{
public:
    static constexpr double defaultTolerance = 2.0;     // mm
    static constexpr double defaultBallDiameter = 3.0;  // mm

    // Positions are reported in the volume's world millimetres (voxel i centred at
    // (i + 0.5) * spacing, then the volume's transform).
    MarkerDetection(std::shared_ptr<const VolumeData<unsigned short>> volume,
                    std::vector<Vector3D> markerGeometry = getReferenceMarkerGeometry(),
                    double tolerance = defaultTolerance, double ballDiameter = defaultBallDiameter);

    // True when every ball was found; false with an error text otherwise.
    bool start() override;

    // After a successful `start`: the markers in geometry order (the geometry carried by the
    // fitted transform), and the transform from geometry to volume. Empty / identity otherwise.
    const std::vector<Vector3D>& getMarkers() const { return markers_; }
    const Matrix44<double>& getTransform() const { return transform_; }

    // Matches user-picked points against the marker geometry. `anyOrder`: the points may be
    // in any order (otherwise point i is taken as geometry point i). On success the points
    // are replaced by the reconstructed markers (the whole geometry through the fitted
    // transform, in geometry order) and (true, transform geometry -> points) is returned;
    // otherwise the points stay as they are and (false, identity) is returned. The match
    // holds when every point lies within tolerance (mm) of where the others place it.
    static std::pair<bool, Matrix44<double>> checkManualMarkers(std::vector<Vector3D>& points,
                                                                const std::vector<Vector3D>& markerGeometry,
                                                                bool anyOrder, double tolerance);

private:
    bool detect();
    // rowMaximum: the brightest voxel of each row (index z * dimY + y).
    std::vector<Vector3D> findCandidates(unsigned short threshold, const std::vector<unsigned short>& rowMaximum) const;

    std::shared_ptr<const VolumeData<unsigned short>> volume_;
    std::vector<Vector3D> geometry_;
    double tolerance_;
    double ballDiameter_;
    std::vector<Vector3D> markers_;
    Matrix44<double> transform_;
};

}
