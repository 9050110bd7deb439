#include "views/slice/GlTextures.h"

#include <mutex>

#include <GL/gl.h>

std::atomic<unsigned long> GlTextures::generated_{0};
std::atomic<unsigned long> GlTextures::deleted_{0};

namespace {
std::mutex lastMutex;
GlContextKey lastDeletion;
}

unsigned GlTextures::generate()
{
    GLuint name = 0;
    glGenTextures(1, &name);
    ++generated_;
    return name;
}

void GlTextures::remove(unsigned name, const GlContextKey& key)
{
    if (name == 0 || !key.isAlive())
        return;
    GlContextKey::ScopedMakeCurrent current(key);
    if (!current.isCurrent())
        return;
    const GLuint texture = name;
    glDeleteTextures(1, &texture);
    ++deleted_;
    std::lock_guard lock(lastMutex);
    lastDeletion = GlContextKey::current();
}

GlContextKey GlTextures::lastDeletionContext()
{
    std::lock_guard lock(lastMutex);
    return lastDeletion;
}
