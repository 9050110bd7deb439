#pragma once
// Texture names made and deleted by the slice visualizers, counted (tests compare the counts
// with the cache's life; the deletions also say in which context they ran).
#include "views/slice/GlContextKey.h"

#include <atomic>

class GlTextures
{
public:
    // glGenTextures for one name in the current context.
    static unsigned generate();
    // Deletes the name in the key's context (made current for it); nothing when that context
    // is gone, since its textures went with it.
    static void remove(unsigned name, const GlContextKey& key);

    static unsigned long generated() { return generated_; }
    static unsigned long deleted() { return deleted_; }
    // The context of the last deletion.
    static GlContextKey lastDeletionContext();

private:
    static std::atomic<unsigned long> generated_;
    static std::atomic<unsigned long> deleted_;
};
