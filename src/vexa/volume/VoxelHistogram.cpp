#include "vexa/volume/VoxelHistogram.h"

#include "vexa/core/ProcessorAffinity.h"

#include <algorithm>
#include <system_error>
#include <thread>

namespace Vexa {

namespace {

constexpr std::size_t values = 65536;

// Counts voxels [begin, end) into total. Four tables taken in turn: runs of one value (air fills
// most of a scan) would otherwise make every increment wait for the one before it.
void countRange(const unsigned short* voxels, std::size_t begin, std::size_t end, std::vector<std::uint64_t>& total)
{
    std::vector<std::uint32_t> tables(4 * values);
    std::uint32_t* t = tables.data();
    // 32-bit counts cannot overflow within a block.
    constexpr std::size_t block = std::size_t(1) << 30;
    for (std::size_t from = begin; from < end; from += block) {
        const std::size_t to = std::min(end, from + block);
        std::size_t i = from;
        for (; i + 4 <= to; i += 4) {
            ++t[voxels[i]];
            ++t[values + voxels[i + 1]];
            ++t[2 * values + voxels[i + 2]];
            ++t[3 * values + voxels[i + 3]];
        }
        for (; i < to; ++i)
            ++t[voxels[i]];
        for (std::size_t v = 0; v < values; ++v) {
            total[v] += std::uint64_t(t[v]) + t[values + v] + t[2 * values + v] + t[3 * values + v];
            t[v] = t[values + v] = t[2 * values + v] = t[3 * values + v] = 0;
        }
    }
}

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
    auto range = [&](unsigned t) { countRange(voxels, count * t / threads, count * (t + 1) / threads, partial[t]); };
    std::vector<std::thread> pool;
    unsigned started = 1;
    try {
        for (; started < threads; ++started)
            pool.emplace_back(range, started);
    } catch (const std::system_error&) {
        // No more threads to be had: this one counts the rest.
    }
    range(0);
    for (unsigned t = started; t < threads; ++t)
        range(t);
    for (auto& thread : pool)
        thread.join();
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
