#include "vexa/volume/SamplingRegion.h"

#include "vexa/core/ExceptionStack.h"

#include <cmath>
#include <stdexcept>

namespace Vexa {

namespace {

// Samples along one axis: every whole spacing step that fits into the size, plus the start.
double samplesAlong(double size, double spacing)
{
    if (!(spacing > 0.0) || !std::isfinite(spacing) || !(size > 0.0))
        return 1.0;
    return std::floor(size / spacing) + 1.0;
}

}

std::shared_ptr<SamplingRegion> SamplingRegion::createPlanar(const Matrix44<double>& transform, double sizeX,
                                                             double sizeY, double spacingX, double spacingY)
try {
    const double nx = samplesAlong(sizeX, spacingX), ny = samplesAlong(sizeY, spacingY);
    if (!(nx * ny <= double(maxSamples)))
        throw std::runtime_error("sampling region too large");
    std::shared_ptr<SamplingRegion> region(new SamplingRegion());
    region->transform_ = transform;
    region->spacingX_ = nx > 1.0 ? spacingX : 0.0;
    region->spacingY_ = ny > 1.0 ? spacingY : 0.0;
    region->samplesX_ = static_cast<std::size_t>(nx);
    region->samplesY_ = static_cast<std::size_t>(ny);
    return region;
}
VEXA_RETHROW

Vector3D SamplingRegion::getPosition(std::size_t index) const
{
    const std::size_t i = index % samplesX_, j = index / samplesX_;
    return transform_ * Vector3D(double(i) * spacingX_, double(j) * spacingY_, 0.0);
}

}
