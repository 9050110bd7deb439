#pragma once
// A voxel volume: x varies fastest, then y, then z; voxel i covers [i * s, (i + 1) * s) mm
// along its axis. The transform's columns 0, 1, 2 are the volume's axes; every volume the
// system makes has the identity, so volume millimetres are world millimetres.
#include "vexa/core/DefaultInitAllocator.h"
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"
#include "vexa/volume/SamplingRegion.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace Vexa {

template<class T>
class VolumeData
{
public:
    // Reads the volume at the sample positions of a region, in the region's order.
    class Iterator
    {
    public:
        // The voxel at the current position (millimetres divided by the spacing, truncated
        // toward zero), or the outside value for a position outside the volume or past the
        // last sample.
        const T* operator*() const
        {
            if (atEnd())
                return &outsideValue_;
            const Vector3D p = region_->getPosition(index_);
            if (volume_->isOutside(p))
                return &outsideValue_;
            return &volume_->at(voxelIndex(p.x, volume_->getSpacingX(), volume_->getDimX()),
                                voxelIndex(p.y, volume_->getSpacingY(), volume_->getDimY()),
                                voxelIndex(p.z, volume_->getSpacingZ(), volume_->getDimZ()));
        }
        Iterator& operator++()
        {
            if (!atEnd())
                ++index_;
            return *this;
        }
        bool atEnd() const { return index_ >= region_->getSampleCount(); }
        std::size_t getIndex() const { return index_; }
        std::size_t getSampleCount() const { return region_->getSampleCount(); }
        // Millimetre position of the current sample.
        Vector3D getPosition() const { return region_->getPosition(index_); }
        bool isClipping() const { return clip_; }

    private:
        friend class VolumeData;
        Iterator(const VolumeData* volume, std::shared_ptr<SamplingRegion> region, bool clip, T outsideValue)
            : volume_(volume)
            , region_(std::move(region))
            , clip_(clip)
            , outsideValue_(outsideValue)
        {
        }
        // The position is known to lie in [0, n * s); rounding of the quotient may still
        // reach n.
        static unsigned voxelIndex(double mm, double spacing, unsigned n)
        {
            const double q = mm / spacing;
            return q >= double(n) ? n - 1 : static_cast<unsigned>(q);
        }

        const VolumeData* volume_;
        std::shared_ptr<SamplingRegion> region_;
        bool clip_;
        T outsideValue_;
        std::size_t index_ = 0;
    };

    // Zeroed voxels, identity transform. Throws std::runtime_error when the voxel count does
    // not fit into memory sizes.
    VolumeData(unsigned nx, unsigned ny, unsigned nz, double sx, double sy, double sz)
        : voxels_(checkedCount(nx, ny, nz), T())
        , dim_{nx, ny, nz}
        , spacing_{sx, sy, sz}
    {
    }

    // For a producer that writes every voxel itself: the voxels are left as allocated, which
    // spares a pass over the whole volume and lets the producer's threads touch the memory first.
    struct Uninitialized
    {
    };
    VolumeData(unsigned nx, unsigned ny, unsigned nz, double sx, double sy, double sz, Uninitialized)
        : voxels_(checkedCount(nx, ny, nz))
        , dim_{nx, ny, nz}
        , spacing_{sx, sy, sz}
    {
    }

    unsigned getDimX() const { return dim_[0]; }
    unsigned getDimY() const { return dim_[1]; }
    unsigned getDimZ() const { return dim_[2]; }
    double getSpacingX() const { return spacing_[0]; }
    double getSpacingY() const { return spacing_[1]; }
    double getSpacingZ() const { return spacing_[2]; }

    T* getVoxels() { return voxels_.data(); }
    const T* getVoxels() const { return voxels_.data(); }
    std::size_t getVoxelCount() const { return voxels_.size(); }
    // (iz * ny + iy) * nx + ix; the index must lie inside (see isOutside).
    T& at(unsigned ix, unsigned iy, unsigned iz) { return voxels_[offset(ix, iy, iz)]; }
    const T& at(unsigned ix, unsigned iy, unsigned iz) const { return voxels_[offset(ix, iy, iz)]; }

    const Matrix44<double>& getTransform() const { return transform_; }
    void setTransform(const Matrix44<double>& transform) { transform_ = transform; }

    // Dimension times spacing, in millimetres.
    double getExtentX() const { return dim_[0] * spacing_[0]; }
    double getExtentY() const { return dim_[1] * spacing_[1]; }
    double getExtentZ() const { return dim_[2] * spacing_[2]; }
    Vector3D getExtent() const { return Vector3D(getExtentX(), getExtentY(), getExtentZ()); }

    // Outside [0, n * s) on any axis. A position that is not a number counts as outside.
    bool isOutside(const Vector3<double>& mm) const
    {
        return !(mm.x >= 0.0 && mm.x < getExtentX() && mm.y >= 0.0 && mm.y < getExtentY() && mm.z >= 0.0 &&
                 mm.z < getExtentZ());
    }
    // Index >= dimension on any axis.
    bool isOutside(unsigned ix, unsigned iy, unsigned iz) const
    {
        return ix >= dim_[0] || iy >= dim_[1] || iz >= dim_[2];
    }

    // An iterator over the region's sample positions; positions outside the volume read
    // `*outsideValue` (0 when none is given; the value is copied). Clipping or not, outside
    // positions never read a voxel.
    Iterator getIterator(std::shared_ptr<SamplingRegion> region, bool clip, const T* outsideValue) const
    {
        if (!region)
            throw std::runtime_error("no sampling region");
        return Iterator(this, std::move(region), clip, outsideValue ? *outsideValue : T());
    }

private:
    static std::size_t checkedCount(unsigned nx, unsigned ny, unsigned nz)
    {
        const std::size_t max = std::numeric_limits<std::size_t>::max() / sizeof(T);
        std::size_t count = nx;
        if (ny != 0 && count > max / ny)
            throw std::runtime_error("volume too large");
        count *= ny;
        if (nz != 0 && count > max / nz)
            throw std::runtime_error("volume too large");
        return count * nz;
    }
    std::size_t offset(unsigned ix, unsigned iy, unsigned iz) const
    {
        return (std::size_t(iz) * dim_[1] + iy) * dim_[0] + ix;
    }

    // Left unset when allocated, so that a volume costs no pass over its memory before it is filled.
    std::vector<T, DefaultInitAllocator<T>> voxels_;
    unsigned dim_[3];
    double spacing_[3];
    Matrix44<double> transform_;
};

}
