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
    // Counts n voxel values into four tables of `size` 32-bit counts each (every value below
    // `size`), taken in turn: runs of one value (air fills most of a scan) would otherwise
    // make every increment wait for the one before it. The caller sums the tables.
    static void countInto(const unsigned short* voxels, std::size_t n, std::uint32_t* tables, std::size_t size);

    // The number of voxels counted, and the sum of their values (exact).
    std::uint64_t total() const;
    std::uint64_t sum() const;

private:
    std::vector<std::uint64_t> counts_;
};

}
