#pragma once
// An allocator whose containers leave new elements of trivial types uninitialised
// (`resize(n)` allocates but writes nothing): for arrays that are filled right after, often
// by several threads, where clearing them first would cost a serial pass over fresh memory.
// Elements constructed with a value get that value, as with std::allocator. With
// KeepLargeBlocks, large arrays come from LargeBlockCache, so that one made again reuses
// memory already faulted in.
#include "vexa/core/LargeBlockCache.h"

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace Vexa {

template<class T, bool KeepLargeBlocks = false>
class DefaultInitAllocator : public std::allocator<T>
{
public:
    using value_type = T;

    template<class U>
    struct rebind
    {
        using other = DefaultInitAllocator<U, KeepLargeBlocks>;
    };

    DefaultInitAllocator() noexcept = default;
    template<class U>
    DefaultInitAllocator(const DefaultInitAllocator<U, KeepLargeBlocks>&) noexcept
    {
    }

    T* allocate(std::size_t n)
    {
        if (n > std::size_t(-1) / sizeof(T))
            throw std::bad_alloc();
        if (KeepLargeBlocks && n * sizeof(T) >= LargeBlockCache::smallest)
            return static_cast<T*>(LargeBlockCache::allocate(n * sizeof(T)));
        return std::allocator<T>::allocate(n);
    }

    void deallocate(T* p, std::size_t n) noexcept
    {
        if (KeepLargeBlocks && n * sizeof(T) >= LargeBlockCache::smallest)
            LargeBlockCache::release(p);
        else
            std::allocator<T>::deallocate(p, n);
    }

    template<class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>)
    {
        ::new (static_cast<void*>(p)) U;
    }

    template<class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template<class T, class U, bool Keep>
bool operator==(const DefaultInitAllocator<T, Keep>&, const DefaultInitAllocator<U, Keep>&) noexcept
{
    return true;
}

}
