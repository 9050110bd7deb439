/* Preloaded into the program by its tests: a patient share on a slow file server. Every open and
   every look at an entry made relative to an open folder below MORVANTA_SLOW_BELOW waits
   MORVANTA_SLOW_MICROSECONDS first; the first such call makes the file MORVANTA_SLOW_BEGUN, so that
   a test knows the program has begun to walk the share. With MORVANTA_SLOW_PATHS set, opens and
   looks by a path below it wait as well.

   A file server that stops answering: once the file MORVANTA_STUCK_WHEN exists, every open and
   look below MORVANTA_STUCK_BELOW (by a folder or by a path) never returns; the first one held
   makes the file MORVANTA_STUCK_HELD.

   morvantaSlowCalls counts the calls made slower, for a benchmark that preloads it. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

typedef int (*OpenAt)(int, const char*, int, ...);
typedef int (*Open)(const char*, int, ...);
typedef int (*StatAt)(int, const char*, struct stat*, int);
typedef int (*Stat)(const char*, struct stat*);
typedef int (*Statx)(int, const char*, int, unsigned, struct statx*);
typedef DIR* (*OpenDir)(const char*);
typedef FILE* (*FOpen)(const char*, const char*);
typedef int (*Access)(const char*, int);

static OpenAt nextOpen;
static Open nextOpenPath;
static StatAt nextStat;
static Stat nextStatPath, nextLstatPath;
static Statx nextStatx;
static OpenDir nextOpenDir;
static FOpen nextFOpen, nextFOpen64;
static Access nextAccess;
static const char* below;
static long delay;
static const char* begun;
static int byPath;
static const char* stuckBelow;
static const char* stuckWhen;
static const char* stuckHeld;
long morvantaSlowCalls;

__attribute__((constructor)) static void findNext(void)
{
    nextOpen = (OpenAt)dlsym(RTLD_NEXT, "openat");
    nextOpenPath = (Open)dlsym(RTLD_NEXT, "open");
    nextStat = (StatAt)dlsym(RTLD_NEXT, "fstatat");
    nextStatPath = (Stat)dlsym(RTLD_NEXT, "stat");
    nextLstatPath = (Stat)dlsym(RTLD_NEXT, "lstat");
    nextStatx = (Statx)dlsym(RTLD_NEXT, "statx");
    nextOpenDir = (OpenDir)dlsym(RTLD_NEXT, "opendir");
    nextFOpen = (FOpen)dlsym(RTLD_NEXT, "fopen");
    nextFOpen64 = (FOpen)dlsym(RTLD_NEXT, "fopen64");
    nextAccess = (Access)dlsym(RTLD_NEXT, "access");
    below = getenv("MORVANTA_SLOW_BELOW");
    const char* microseconds = getenv("MORVANTA_SLOW_MICROSECONDS");
    delay = microseconds ? atol(microseconds) : 0;
    begun = getenv("MORVANTA_SLOW_BEGUN");
    byPath = getenv("MORVANTA_SLOW_PATHS") != NULL;
    stuckBelow = getenv("MORVANTA_STUCK_BELOW");
    stuckWhen = getenv("MORVANTA_STUCK_WHEN");
    stuckHeld = getenv("MORVANTA_STUCK_HELD");
}

static int startsWith(const char* path, const char* prefix)
{
    return prefix && strncmp(path, prefix, strlen(prefix)) == 0;
}

static void make(const char* file)
{
    const int made = (int)syscall(SYS_openat, AT_FDCWD, file, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (made >= 0)
        close(made);
}

static void wait(const char* path, int slow)
{
    if (startsWith(path, stuckBelow) && stuckWhen && syscall(SYS_faccessat, AT_FDCWD, stuckWhen, F_OK, 0) == 0) {
        if (stuckHeld)
            make(stuckHeld);
        for (;;)
            pause();
    }
    if (!slow || !startsWith(path, below) || delay <= 0)
        return;
    __atomic_add_fetch(&morvantaSlowCalls, 1, __ATOMIC_RELAXED);
    if (begun) {
        make(begun);
        begun = NULL;
    }
    const struct timespec span = {delay / 1000000, (delay % 1000000) * 1000};
    nanosleep(&span, NULL);
}

static void slowBelow(int folder, const char* name)
{
    if (!name)
        return;
    if (name[0] == '/' || folder == AT_FDCWD) {
        wait(name, byPath);
        return;
    }
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", folder);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length <= 0)
        return;
    path[length] = 0;
    wait(path, 1);
}

static void slowPath(const char* path)
{
    if (path && path[0] == '/')
        wait(path, byPath);
}

static mode_t modeOf(int flags, va_list more)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(more, mode_t) : 0;
}

int openat(int folder, const char* name, int flags, ...)
{
    va_list more;
    va_start(more, flags);
    const mode_t mode = modeOf(flags, more);
    va_end(more);
    slowBelow(folder, name);
    return nextOpen(folder, name, flags, mode);
}

int openat64(int folder, const char* name, int flags, ...)
{
    va_list more;
    va_start(more, flags);
    const mode_t mode = modeOf(flags, more);
    va_end(more);
    slowBelow(folder, name);
    return nextOpen(folder, name, flags, mode);
}

int open(const char* path, int flags, ...)
{
    va_list more;
    va_start(more, flags);
    const mode_t mode = modeOf(flags, more);
    va_end(more);
    slowPath(path);
    return nextOpenPath(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list more;
    va_start(more, flags);
    const mode_t mode = modeOf(flags, more);
    va_end(more);
    slowPath(path);
    return nextOpenPath(path, flags, mode);
}

int fstatat(int folder, const char* name, struct stat* status, int flags)
{
    slowBelow(folder, name);
    return nextStat(folder, name, status, flags);
}

int fstatat64(int folder, const char* name, struct stat64* status, int flags)
{
    slowBelow(folder, name);
    return nextStat(folder, name, (struct stat*)status, flags);
}

int stat(const char* path, struct stat* status)
{
    slowPath(path);
    return nextStatPath(path, status);
}

int stat64(const char* path, struct stat64* status)
{
    slowPath(path);
    return nextStatPath(path, (struct stat*)status);
}

int lstat(const char* path, struct stat* status)
{
    slowPath(path);
    return nextLstatPath(path, status);
}

int lstat64(const char* path, struct stat64* status)
{
    slowPath(path);
    return nextLstatPath(path, (struct stat*)status);
}

int statx(int folder, const char* name, int flags, unsigned mask, struct statx* status)
{
    slowBelow(folder, name);
    return nextStatx(folder, name, flags, mask, status);
}

DIR* opendir(const char* path)
{
    slowPath(path);
    return nextOpenDir(path);
}

FILE* fopen(const char* path, const char* mode)
{
    slowPath(path);
    return nextFOpen(path, mode);
}

FILE* fopen64(const char* path, const char* mode)
{
    slowPath(path);
    return nextFOpen64(path, mode);
}

int access(const char* path, int mode)
{
    slowPath(path);
    return nextAccess(path, mode);
}
