#include "tapewright/ThreadStarts.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>

namespace {

using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

std::atomic<ThreadStarts::FailureHandler> failureHandler{nullptr};

}

extern "C" {
// A sanitizer runtime linked in statically (clang's, as the fuzz targets have it) defines
// pthread_create as a weak alias of its interceptor, which the definition below overrides: the
// interceptor is what is passed on to, or the sanitizer would never see the thread. LLVM 17 added
// a third underscore to the name. Where a runtime is a shared library these resolve to it as well.
int __interceptor_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) __attribute__((weak));
int ___interceptor_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) __attribute__((weak));
// The C library's own start, global in its static archive only: what a static link passes on
// to, where no dynamic linker finds a next definition.
int __pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) __attribute__((weak));
int thrd_create(unsigned long*, int (*)(void*), void*);
}

namespace {

// Referenced so that a static link takes in the archive's thread start (thrd_create needs it),
// which a weak reference alone would not; in a dynamic link it is just one more symbol.
[[maybe_unused]] __attribute__((used)) const void* const keepStaticStart = reinterpret_cast<const void*>(&thrd_create);

Create nextCreate()
{
    if (__interceptor_pthread_create)
        return __interceptor_pthread_create;
    if (___interceptor_pthread_create)
        return ___interceptor_pthread_create;
    if (void* next = dlsym(RTLD_NEXT, "pthread_create"))
        return reinterpret_cast<Create>(next);
    return __pthread_create; // null when there is none at all
}

}

bool ThreadStarts::startedByStdThread(const void* caller)
{
    Dl_info callerInfo;
    if (dladdr(caller, &callerInfo) == 0)
        return false;
    // libstdc++ starts every std::thread (std::jthread's and std::async's too) in this member.
    static constexpr char startMember[] = "_ZNSt6thread15_M_start_thread";
    if (callerInfo.dli_sname && std::strncmp(callerInfo.dli_sname, startMember, sizeof startMember - 1) == 0)
        return true;
    // Not by the library the caller is in: a program linked without PIE has its own stub stand
    // for the address of a library function, so that a comparison of libraries would take the
    // program's own starts for std::thread's.
    return false;
}

void ThreadStarts::setFailureHandler(FailureHandler handler)
{
    failureHandler = handler;
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) noexcept
{
    static const Create next = nextCreate();
    const int result = next ? next(thread, attributes, start, argument) : ENOSYS;
    if (result != 0)
        if (const ThreadStarts::FailureHandler handler = failureHandler.load();
            handler && !ThreadStarts::startedByStdThread(__builtin_return_address(0)))
            handler(result);
    return result;
}
