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

    // Running counts of voxel values below a bound, fed a row at a time by one thread (a
    // producer counts what it writes while it is still in the cache). The cost is the memory
    // increment per voxel, so: a run of one value (air, padding and smooth regions fill much of
    // a scan) is counted in a register, eight voxels at a time; other voxels go to four tables
    // taken in turn, so that neighbouring equal values do not make each increment wait for the
    // one before it; and the tables are only as wide as the values that can occur.
    class Counter
    {
    public:
        // Counts values 0 to values - 1.
        explicit Counter(std::size_t values);

        std::size_t values() const { return values_; }
        // Counts n voxels; every one must be below values().
        void add(const unsigned short* voxels, std::size_t n);
        // Adds the counts so far into histogram (at least values() entries) and starts from 0.
        void drainInto(std::vector<std::uint64_t>& histogram);

    private:
        void spill();

        std::size_t values_;
        std::vector<std::uint32_t> tables_;  // four tables of values_ counts
        std::vector<std::uint64_t> spilled_; // counts moved out before 32 bits could overflow
        std::uint64_t sinceSpill_ = 0;       // voxels in the tables and the run
        unsigned short runValue_ = 0;
        std::uint64_t runCount_ = 0;
    };

private:
    std::vector<std::uint64_t> counts_;
};

}
