#pragma once
// Large memory blocks kept for reuse once freed, up to a bounded total. A block the kernel
// hands out fresh is cleared page by page on first touch, which costs more than filling a
// large array itself and serialises the threads that fill it; arrays made again and again
// (a surface regenerated at another threshold) take a block already faulted in instead.
#include <cstddef>

namespace Vexa {

class LargeBlockCache
{
public:
    // Blocks from this size on go through the cache; smaller ones do not pay for its lock.
    static constexpr std::size_t smallest = std::size_t(256) << 10;

    // At least `bytes` (aligned for any scalar type); throws std::bad_alloc.
    static void* allocate(std::size_t bytes);
    // A block from allocate, kept for reuse while the kept blocks stay within the bound.
    static void release(void* block) noexcept;
};

}
