// Counting voxel values: long runs (padding, air), runs broken by single voxels, noise, runs of
// the largest value, fed in pieces of every length and drained more than once, all come out as a
// plain count; so does a volume with values beyond 12 bits in some parts.
#include "vexa/volume/VoxelHistogram.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <vector>

using Vexa::VoxelHistogram;
using Voxel = unsigned short;

namespace {

std::vector<uint64_t> plainCount(const std::vector<Voxel>& voxels, std::size_t values)
{
    std::vector<uint64_t> counts(values, 0);
    for (Voxel v : voxels)
        ++counts[v];
    return counts;
}

}

TEST(VoxelHistogram, CounterGivesThePlainCountOfEveryPattern)
{
    std::mt19937 random(11);
    struct Pattern
    {
        const char* name;
        std::size_t values;
        std::function<Voxel(std::size_t)> voxel;
    };
    const Pattern patterns[] = {
        {"padding, tissue, brightest", 4096,
         [](std::size_t i) -> Voxel { return i < 2003 ? 0 : i < 4101 ? 1000 : 4095; }},
        {"runs broken by single voxels", 4096,
         [](std::size_t i) -> Voxel { return i % 13 == 0 ? 7 : Voxel(1000 + i / 500); }},
        {"noise", 4096, [&](std::size_t) -> Voxel { return Voxel(random() % 4096); }},
        {"air with noise", 4096,
         [&](std::size_t) -> Voxel { return random() % 2 ? 0 : Voxel(random() % 80); }},
        {"eight bits", 256,
         [&](std::size_t i) -> Voxel { return i % 700 < 300 ? 255 : Voxel(random() % 256); }},
        {"one value", 1, [](std::size_t) -> Voxel { return 0; }},
    };
    const std::size_t pieces[] = {1, 3, 8, 9, 17, 512, 2000};
    for (const Pattern& p : patterns) {
        std::vector<Voxel> voxels(9000);
        for (std::size_t i = 0; i < voxels.size(); ++i)
            voxels[i] = p.voxel(i);
        VoxelHistogram::Counter counter(p.values);
        ASSERT_EQ(counter.values(), p.values);
        // Exactly as many entries as values: a count beyond them would be out of bounds.
        std::vector<uint64_t> counted(p.values, 0);
        std::size_t at = 0;
        for (std::size_t k = 0; at < voxels.size(); ++k) {
            const std::size_t n = std::min(pieces[k % std::size(pieces)], voxels.size() - at);
            counter.add(voxels.data() + at, n);
            at += n;
            if (at > voxels.size() / 2 && at - n <= voxels.size() / 2)
                counter.drainInto(counted); // half way: drained counts start again from 0
        }
        counter.drainInto(counted);
        EXPECT_EQ(counted, plainCount(voxels, p.values)) << p.name;
        counter.drainInto(counted);
        EXPECT_EQ(counted, plainCount(voxels, p.values)) << p.name << ": drained twice";
    }
}

TEST(VoxelHistogram, VolumeCountsTwelveBitAndWiderPartsAlike)
{
    // Smooth 12-bit parts, a run of padding across part boundaries and a block of values far
    // beyond 12 bits in between.
    Vexa::VolumeData<unsigned short> volume(64, 64, 40, 1.0, 1.0, 1.0);
    std::mt19937 random(3);
    std::vector<Voxel> all(volume.getVoxelCount());
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Voxel v = i < 30000 ? 0 : i < 60000 ? Voxel(1000 + random() % 40)
                                 : i < 70000           ? Voxel(60000 + random() % 5000)
                                                       : Voxel(i % 4096);
        volume.getVoxels()[i] = all[i] = v;
    }
    const VoxelHistogram histogram(volume);
    EXPECT_EQ(histogram.counts(), plainCount(all, 65536));
    EXPECT_EQ(histogram.total(), all.size());
}
