#include "vexa/volume/VoxelHistogram.h"

#include "vexa/core/ParallelJobs.h"
#include "vexa/core/ProcessorAffinity.h"

#include <algorithm>

namespace Vexa {

namespace {

constexpr std::size_t values = 65536;

// Counts voxels [begin, end) into total.
void countRange(const unsigned short* voxels, std::size_t begin, std::size_t end, std::vector<std::uint64_t>& total)
{
    std::vector<std::uint32_t> tables(4 * values);
    std::uint32_t* t = tables.data();
    // 32-bit counts cannot overflow within a block.
    constexpr std::size_t block = std::size_t(1) << 30;
    for (std::size_t from = begin; from < end; from += block) {
        const std::size_t to = std::min(end, from + block);
        VoxelHistogram::countInto(voxels + from, to - from, t, values);
        for (std::size_t v = 0; v < values; ++v) {
            total[v] += std::uint64_t(t[v]) + t[values + v] + t[2 * values + v] + t[3 * values + v];
            t[v] = t[values + v] = t[2 * values + v] = t[3 * values + v] = 0;
        }
    }
}

}

void VoxelHistogram::countInto(const unsigned short* voxels, std::size_t n, std::uint32_t* tables, std::size_t size)
{
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++tables[voxels[i]];
        ++tables[size + voxels[i + 1]];
        ++tables[2 * size + voxels[i + 2]];
        ++tables[3 * size + voxels[i + 3]];
    }
    for (; i < n; ++i)
        ++tables[voxels[i]];
}

VoxelHistogram::VoxelHistogram(const VolumeData<unsigned short>& volume) : counts_(values, 0)
{
    const std::size_t count = volume.getVoxelCount();
    const unsigned short* voxels = volume.getVoxels();
    // Below a few million voxels the threads would cost more than they save.
    const std::size_t perThread = std::size_t(1) << 22;
    const unsigned threads =
        unsigned(std::clamp<std::size_t>(count / perThread, 1, ProcessorAffinity::usableCores()));
    if (threads == 1) {
        countRange(voxels, 0, count, counts_);
        return;
    }
    std::vector<std::vector<std::uint64_t>> partial(threads, std::vector<std::uint64_t>(values, 0));
    ParallelJobs::run(threads, threads, [&](std::size_t t, unsigned) {
        countRange(voxels, count * t / threads, count * (t + 1) / threads, partial[t]);
    });
    for (const auto& p : partial)
        for (std::size_t v = 0; v < values; ++v)
            counts_[v] += p[v];
}

VoxelHistogram::VoxelHistogram(std::vector<std::uint64_t> counts) : counts_(std::move(counts))
{
    counts_.resize(values, 0);
}

std::uint64_t VoxelHistogram::total() const
{
    std::uint64_t total = 0;
    for (std::uint64_t c : counts_)
        total += c;
    return total;
}

std::uint64_t VoxelHistogram::sum() const
{
    std::uint64_t total = 0;
    for (std::size_t v = 0; v < values; ++v)
        total += v * counts_[v];
    return total;
}

}
