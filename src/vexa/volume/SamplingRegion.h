#pragma once
// The sample positions at which a volume is read: a grid of lines on a plane, in the
// coordinates in which the volume iterator samples (volume millimetres).
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"

#include <cstddef>
#include <memory>

namespace Vexa {

class SamplingRegion
{
public:
    // One layer over the rectangle (0, 0)-(sizeX, sizeY) of the transform's xy plane: columns
    // i = 0 .. floor(sizeX / spacingX), rows j = 0 .. floor(sizeY / spacingY), sample
    // transform * (i * spacingX, j * spacingY, 0); x fastest, then rows by increasing j. A size
    // below 0, or a spacing that is not positive and finite, gives a single sample along that
    // axis. Throws std::runtime_error when the region would exceed maxSamples.
    static std::shared_ptr<SamplingRegion> createPlanar(const Matrix44<double>& transform, double sizeX, double sizeY,
                                                        double spacingX, double spacingY);

    static constexpr std::size_t maxSamples = std::size_t(1) << 28;

    std::size_t getSampleCount() const { return samplesX_ * samplesY_; }
    std::size_t getSamplesX() const { return samplesX_; }
    std::size_t getSamplesY() const { return samplesY_; }
    // Position of sample `index` (in the order above); index < getSampleCount().
    Vector3D getPosition(std::size_t index) const;

private:
    SamplingRegion() = default;

    Matrix44<double> transform_;
    double spacingX_ = 0.0;
    double spacingY_ = 0.0;
    std::size_t samplesX_ = 1;
    std::size_t samplesY_ = 1;
};

}
