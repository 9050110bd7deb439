#include "vexa/volume/VoxelHistogram.h"

#include "vexa/core/ParallelJobs.h"
#include "vexa/core/ProcessorAffinity.h"

#include <algorithm>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Vexa {

namespace {

constexpr std::size_t allValues = 65536;
// Every value of a 12-bit volume; wider counts are only made for the parts that need them.
constexpr std::size_t twelveBitValues = 4096;

// Counts n voxels: runs of equal values into (run, inRun), the rest into four tables of size
// counts, taken in turn.
void countVoxels(const unsigned short* v, std::size_t n, std::uint32_t* t, std::size_t size, unsigned short& run,
                 std::uint64_t& inRun)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    __m128i runs = _mm_set1_epi16(short(run));
    for (; i + 8 <= n; i += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(x, runs)) == 0xffff) {
            inRun += 8;
            continue;
        }
        const __m128i first = _mm_shuffle_epi32(_mm_shufflelo_epi16(x, 0), 0);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(x, first)) == 0xffff) {
            // A new run: the last one is counted, once.
            t[run] += std::uint32_t(inRun);
            run = v[i];
            inRun = 8;
            runs = first;
            continue;
        }
        ++t[v[i]];
        ++t[size + v[i + 1]];
        ++t[2 * size + v[i + 2]];
        ++t[3 * size + v[i + 3]];
        ++t[v[i + 4]];
        ++t[size + v[i + 5]];
        ++t[2 * size + v[i + 6]];
        ++t[3 * size + v[i + 7]];
    }
#endif
    for (; i + 4 <= n; i += 4) {
        ++t[v[i]];
        ++t[size + v[i + 1]];
        ++t[2 * size + v[i + 2]];
        ++t[3 * size + v[i + 3]];
    }
    for (; i < n; ++i)
        ++t[v[i]];
}

// Whether all n voxels are below twelveBitValues.
bool twelveBit(const unsigned short* v, std::size_t n)
{
    unsigned bits = 0;
    for (std::size_t i = 0; i < n; ++i)
        bits |= v[i];
    return bits < twelveBitValues;
}

// Counts voxels [begin, end) into total, a cache-sized piece at a time: into 12-bit wide counts
// when the piece allows, else into full-width ones.
void countRange(const unsigned short* voxels, std::size_t begin, std::size_t end, std::vector<std::uint64_t>& total)
{
    constexpr std::size_t piece = 16384;
    VoxelHistogram::Counter narrow(twelveBitValues);
    std::optional<VoxelHistogram::Counter> wide;
    for (std::size_t from = begin; from < end; from += piece) {
        const std::size_t n = std::min(piece, end - from);
        if (twelveBit(voxels + from, n)) {
            narrow.add(voxels + from, n);
        } else {
            if (!wide)
                wide.emplace(allValues);
            wide->add(voxels + from, n);
        }
    }
    narrow.drainInto(total);
    if (wide)
        wide->drainInto(total);
}

}

VoxelHistogram::Counter::Counter(std::size_t values)
    : values_(std::clamp<std::size_t>(values, 1, allValues)), tables_(4 * values_, 0)
{
}

void VoxelHistogram::Counter::add(const unsigned short* voxels, std::size_t n)
{
    // The 32-bit counts are moved out before the voxels counted since could overflow one.
    constexpr std::uint64_t limit = 0xffffffffu;
    while (n > limit - sinceSpill_) {
        const std::size_t part = std::size_t(limit - sinceSpill_);
        countVoxels(voxels, part, tables_.data(), values_, runValue_, runCount_);
        spill();
        voxels += part;
        n -= part;
    }
    countVoxels(voxels, n, tables_.data(), values_, runValue_, runCount_);
    sinceSpill_ += n;
}

void VoxelHistogram::Counter::spill()
{
    spilled_.resize(values_, 0);
    const std::uint32_t* t = tables_.data();
    for (std::size_t v = 0; v < values_; ++v)
        spilled_[v] += std::uint64_t(t[v]) + t[values_ + v] + t[2 * values_ + v] + t[3 * values_ + v];
    std::fill(tables_.begin(), tables_.end(), 0);
    spilled_[runValue_] += runCount_;
    runCount_ = 0;
    sinceSpill_ = 0;
}

void VoxelHistogram::Counter::drainInto(std::vector<std::uint64_t>& histogram)
{
    spill();
    for (std::size_t v = 0; v < values_; ++v)
        histogram[v] += spilled_[v];
    std::fill(spilled_.begin(), spilled_.end(), 0);
}

VoxelHistogram::VoxelHistogram(const VolumeData<unsigned short>& volume) : counts_(allValues, 0)
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
    std::vector<std::vector<std::uint64_t>> partial(threads, std::vector<std::uint64_t>(allValues, 0));
    ParallelJobs::run(threads, threads, [&](std::size_t t, unsigned) {
        countRange(voxels, count * t / threads, count * (t + 1) / threads, partial[t]);
    });
    for (const auto& p : partial)
        for (std::size_t v = 0; v < allValues; ++v)
            counts_[v] += p[v];
}

VoxelHistogram::VoxelHistogram(std::vector<std::uint64_t> counts) : counts_(std::move(counts))
{
    counts_.resize(allValues, 0);
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
    for (std::size_t v = 0; v < allValues; ++v)
        total += v * counts_[v];
    return total;
}

}
