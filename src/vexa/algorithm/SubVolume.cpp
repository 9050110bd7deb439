#include "vexa/algorithm/SubVolume.h"

#include "vexa/core/ExceptionStack.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace Vexa {

namespace {

// First and one-past-last voxel index along one axis that overlap [lo, hi] millimetres.
std::pair<long long, long long> overlappingVoxels(double lo, double hi, double spacing, unsigned count)
{
    if (!(spacing > 0.0) || !std::isfinite(lo) || !std::isfinite(hi) || hi < lo)
        return {0, 0};
    const double first = std::floor(lo / spacing);
    // A box ending exactly on a voxel border does not reach into the next voxel.
    double last = std::ceil(hi / spacing);
    if (last == first)
        last = first + 1;
    const double clampedFirst = std::clamp(first, 0.0, double(count));
    const double clampedLast = std::clamp(last, 0.0, double(count));
    return {static_cast<long long>(clampedFirst), static_cast<long long>(clampedLast)};
}

}

SubVolume::SubVolume(std::shared_ptr<VolumeData<unsigned short>> volume, const Vector3D& offset, unsigned x0,
                     unsigned y0, unsigned z0)
    : volume_(std::move(volume)), offset_(offset), first_{x0, y0, z0}
{
}

SubVolume SubVolume::extract(const VolumeData<unsigned short>& source, unsigned x0, unsigned y0, unsigned z0,
                             unsigned nx, unsigned ny, unsigned nz) try
{
    const unsigned dims[3] = {source.getDimX(), source.getDimY(), source.getDimZ()};
    const unsigned starts[3] = {x0, y0, z0};
    const unsigned wanted[3] = {nx, ny, nz};
    unsigned counts[3];
    for (int a = 0; a < 3; ++a)
    {
        if (starts[a] >= dims[a] || wanted[a] == 0)
            throw std::runtime_error("The sub-volume box lies outside the volume.");
        counts[a] = std::min(wanted[a], dims[a] - starts[a]);
    }

    auto volume = std::make_shared<VolumeData<unsigned short>>(counts[0], counts[1], counts[2], source.getSpacingX(),
                                                               source.getSpacingY(), source.getSpacingZ());
    const unsigned short* from = source.getVoxels();
    unsigned short* to = volume->getVoxels();
    for (unsigned z = 0; z < counts[2]; ++z)
        for (unsigned y = 0; y < counts[1]; ++y)
        {
            const std::size_t s = ((std::size_t(z0) + z) * dims[1] + (y0 + y)) * dims[0] + x0;
            const std::size_t d = (std::size_t(z) * counts[1] + y) * counts[0];
            std::memcpy(to + d, from + s, counts[0] * sizeof(unsigned short));
        }

    const Vector3D corner(x0 * source.getSpacingX(), y0 * source.getSpacingY(), z0 * source.getSpacingZ());
    return SubVolume(std::move(volume), source.getTransform() * corner, x0, y0, z0);
}
VEXA_RETHROW

SubVolume SubVolume::extract(const VolumeData<unsigned short>& source, const Vector3D& minimum,
                             const Vector3D& maximum) try
{
    const auto x = overlappingVoxels(minimum.x, maximum.x, source.getSpacingX(), source.getDimX());
    const auto y = overlappingVoxels(minimum.y, maximum.y, source.getSpacingY(), source.getDimY());
    const auto z = overlappingVoxels(minimum.z, maximum.z, source.getSpacingZ(), source.getDimZ());
    if (x.second <= x.first || y.second <= y.first || z.second <= z.first)
        throw std::runtime_error("The sub-volume box lies outside the volume.");
    return extract(source, unsigned(x.first), unsigned(y.first), unsigned(z.first), unsigned(x.second - x.first),
                   unsigned(y.second - y.first), unsigned(z.second - z.first));
}
VEXA_RETHROW

}
