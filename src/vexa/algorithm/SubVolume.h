#pragma once
// A box of voxels copied out of a larger volume. The copy has the identity transform and
// its own origin at its first voxel; the offset says where that voxel's corner lies in the
// source, so that anything computed in the copy (a surface, marker positions) can be moved
// back by adding it.
#include "vexa/math/Vector3.h"
#include "vexa/volume/VolumeData.h"

#include <memory>

namespace Vexa {

class SubVolume
{
public:
    // The voxels [x0, x0 + nx) x [y0, y0 + ny) x [z0, z0 + nz), clipped to the source.
    // Throws std::runtime_error when nothing of the box lies in the source.
    static SubVolume extract(const VolumeData<unsigned short>& source, unsigned x0, unsigned y0, unsigned z0,
                             unsigned nx, unsigned ny, unsigned nz);
    // Every voxel that overlaps the millimetre box [minimum, maximum] of the source's own
    // coordinates (voxel i covers [i * s, (i + 1) * s)), clipped to the source.
    static SubVolume extract(const VolumeData<unsigned short>& source, const Vector3D& minimum,
                             const Vector3D& maximum);

    const std::shared_ptr<VolumeData<unsigned short>>& getVolume() const { return volume_; }
    // The source position (millimetres, through the source's transform) of the copy's origin.
    const Vector3D& getOffset() const { return offset_; }
    // Index in the source of the copy's first voxel.
    unsigned getFirstX() const { return first_[0]; }
    unsigned getFirstY() const { return first_[1]; }
    unsigned getFirstZ() const { return first_[2]; }

private:
    SubVolume(std::shared_ptr<VolumeData<unsigned short>> volume, const Vector3D& offset, unsigned x0,
              unsigned y0, unsigned z0);

    std::shared_ptr<VolumeData<unsigned short>> volume_;
    Vector3D offset_;
    unsigned first_[3];
};

}
