#include "vexa/core/LargeBlockCache.h"

#include <cstddef>
#include <mutex>
#include <new>
#include <vector>

namespace Vexa {

namespace {

// Each block starts with its usable size; the header keeps the block's alignment.
constexpr std::size_t headerBytes = alignof(std::max_align_t) > sizeof(std::size_t) ? alignof(std::max_align_t)
                                                                                      : sizeof(std::size_t);
// About a large surface's arrays, or a few small ones.
constexpr std::size_t keptLimit = std::size_t(64) << 20;

struct Kept
{
    std::mutex mutex;
    std::vector<char*> blocks; // oldest first
    std::size_t bytes = 0;
};

Kept& kept()
{
    static Kept* instance = new Kept; // never destroyed: blocks may be released during exit
    return *instance;
}

std::size_t& sizeOf(char* block)
{
    return *reinterpret_cast<std::size_t*>(block);
}

}

void* LargeBlockCache::allocate(std::size_t bytes)
{
    {
        Kept& k = kept();
        std::lock_guard<std::mutex> lock(k.mutex);
        // The smallest kept block that fits without wasting more than half of itself.
        auto best = k.blocks.end();
        for (auto it = k.blocks.begin(); it != k.blocks.end(); ++it)
        {
            const std::size_t size = sizeOf(*it);
            if (size >= bytes && size - bytes <= bytes && (best == k.blocks.end() || size < sizeOf(*best)))
                best = it;
        }
        if (best != k.blocks.end())
        {
            char* block = *best;
            k.blocks.erase(best);
            k.bytes -= sizeOf(block);
            return block + headerBytes;
        }
    }
    if (bytes > std::size_t(-1) - headerBytes)
        throw std::bad_alloc();
    char* block = static_cast<char*>(::operator new(bytes + headerBytes));
    sizeOf(block) = bytes;
    return block + headerBytes;
}

void LargeBlockCache::release(void* memory) noexcept
{
    if (!memory)
        return;
    char* block = static_cast<char*>(memory) - headerBytes;
    const std::size_t size = sizeOf(block);
    Kept& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    if (size <= keptLimit)
    {
        try
        {
            k.blocks.push_back(block);
            k.bytes += size;
            block = nullptr;
        }
        catch (const std::bad_alloc&)
        {
            // Keeping it needs memory; freeing it does not.
        }
    }
    if (block)
        ::operator delete(block);
    // Over the bound, the oldest go.
    std::size_t n = 0;
    for (; k.bytes > keptLimit; ++n)
    {
        k.bytes -= sizeOf(k.blocks[n]);
        ::operator delete(k.blocks[n]);
    }
    k.blocks.erase(k.blocks.begin(), k.blocks.begin() + std::ptrdiff_t(n));
}

}
