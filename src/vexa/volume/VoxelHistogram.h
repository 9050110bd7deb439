#pragma once
// How often each value occurs among a volume's voxels, counted on every core the process may
// run on. A whole CT volume holds some hundred million voxels: a single-threaded count took
// several times as long as reading the series it came from.
#include "vexa/volume/VolumeData.h"

#include <cstdint>
#include <vector>

namespace Vexa {

class VoxelHistogram
{
public:
    explicit VoxelHistogram(const VolumeData<unsigned short>& volume);
    // Counts a producer made while it wrote the voxels (missing values count 0).
    explicit VoxelHistogram(std::vector<std::uint64_t> counts);

    // 65536 counts, one per voxel value.
    const std::vector<std::uint64_t>& counts() const { return counts_; }
    // The number of voxels counted, and the sum of their values (exact).
    std::uint64_t total() const;
    std::uint64_t sum() const;

private:
    std::vector<std::uint64_t> counts_;
};

}
