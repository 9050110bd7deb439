#include "vexa/core/LargeBlockCache.h"
#include "vexa/core/ParallelJobs.h"
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <numeric>

using Vexa::LargeBlockCache;

TEST(LargeBlockCache, ReusesFittingBlocksOnlyAndNeverHandsOneOutTwice)
{
    const std::size_t size = (std::size_t(3) << 20) + 12345; // unlike any block other tests leave
    void* a = LargeBlockCache::allocate(size);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % alignof(std::max_align_t), 0u);
    LargeBlockCache::release(a);
    // Far larger than the kept block: a new one. Slightly smaller: the kept one, once.
    void* large = LargeBlockCache::allocate(4 * size);
    EXPECT_NE(large, a);
    void* again = LargeBlockCache::allocate(size - 64);
    void* other = LargeBlockCache::allocate(size - 64);
    EXPECT_EQ(again, a);
    EXPECT_NE(other, again);
    for (void* p : {large, again, other})
        LargeBlockCache::release(p);

    // Many threads at once: each block keeps the pattern its owner wrote while it holds it.
    Vexa::ParallelJobs::run(8, 64, [](std::size_t job, unsigned) {
        const std::size_t bytes = LargeBlockCache::smallest * (1 + job % 5);
        auto* p = static_cast<unsigned char*>(LargeBlockCache::allocate(bytes));
        std::memset(p, int(job), bytes);
        for (std::size_t i = 0; i < bytes; i += 4093)
            ASSERT_EQ(p[i], static_cast<unsigned char>(job));
        LargeBlockCache::release(p);
    });

    // The mesh arrays keep their values through growth and copies in and out of the cache.
    Vexa::MeshArray<unsigned> values(LargeBlockCache::smallest, 7u);
    std::iota(values.begin(), values.begin() + 100, 0u);
    values.resize(3 * values.size());
    const Vexa::MeshArray<unsigned> copy = values;
    EXPECT_EQ(copy[99], 99u);
    EXPECT_EQ(copy[LargeBlockCache::smallest - 1], 7u);
}
