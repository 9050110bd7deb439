#include "common/RefusedThreadStarts.h"

#include <atomic>
#include <cerrno>
#include <dlfcn.h>
#include <pthread.h>
#include <stdexcept>
#include <thread>

namespace {

using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
using Routine = void* (*)(void*);

std::atomic<Routine> stdThreadRoutine{nullptr};
thread_local bool probing = false;
std::atomic<bool> armed{false};
std::atomic<bool> everyKind{false};
std::atomic<int> allowance{0};
std::atomic<int> startedCount{0};
std::atomic<int> refusedCount{0};

// std::thread starts every thread through one routine of the standard library; a thread
// started here tells which.
void learnStdThreadRoutine()
{
    if (stdThreadRoutine.load())
        return;
    probing = true;
    std::thread([] {}).join();
    probing = false;
    if (!stdThreadRoutine.load())
        throw std::logic_error("RefusedThreadStarts: std::thread did not start through pthread_create");
}

}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, Routine routine, void* argument)
{
    static const Create next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (!next)
        return ENOSYS;
    if (probing)
        stdThreadRoutine = routine;
    else if (armed.load() && (everyKind.load() || routine == stdThreadRoutine.load())) {
        if (allowance.fetch_sub(1) <= 0) {
            ++refusedCount;
            return EAGAIN;
        }
        ++startedCount;
    }
    return next(thread, attributes, routine, argument);
}

namespace TestSupport {

RefusedThreadStarts::RefusedThreadStarts(int allowed, bool everyThread)
{
    learnStdThreadRoutine();
    if (armed.load())
        throw std::logic_error("RefusedThreadStarts: one at a time");
    allowance = allowed;
    startedCount = 0;
    refusedCount = 0;
    everyKind = everyThread;
    armed = true;
}

RefusedThreadStarts::~RefusedThreadStarts()
{
    armed = false;
}

int RefusedThreadStarts::started() const
{
    return startedCount.load();
}

int RefusedThreadStarts::refused() const
{
    return refusedCount.load();
}

}
