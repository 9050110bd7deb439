/* Preloaded into the program by its tests: a patient share on a slow file server. Every open and
   every look at an entry made relative to an open folder below MORVANTA_SLOW_BELOW waits
   MORVANTA_SLOW_MICROSECONDS first; the first such call makes the file MORVANTA_SLOW_BEGUN, so that
   a test knows the program has begun to walk the share. With MORVANTA_SLOW_PATHS set, opens and
   looks by a path below it wait as well.

   A file server that stops answering: while the file MORVANTA_STUCK_WHEN exists, every call below
   MORVANTA_STUCK_BELOW is held: opens and looks (by a folder or by a path), writes into a file
   open there (write, pwrite, writev, fsync, fdatasync, ftruncate; the file found by its open
   descriptor's path), and renames, removals, new folders and links by a path there. The first
   call held makes the file MORVANTA_STUCK_HELD. Removing MORVANTA_STUCK_WHEN again is the server
   back: each call held goes on within some 20 ms, as it would have.

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
#include <sys/uio.h>
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

static int serverDown(void)
{
    return syscall(SYS_faccessat, AT_FDCWD, stuckWhen, F_OK, 0) == 0;
}

// Holds the caller while the server is down, where `path` lies below the stuck folder.
static void holdIfStuck(const char* path)
{
    if (!stuckWhen || !startsWith(path, stuckBelow) || !serverDown())
        return;
    if (stuckHeld)
        make(stuckHeld);
    const struct timespec poll = {0, 20 * 1000 * 1000};
    while (serverDown())
        nanosleep(&poll, NULL);
}

static void wait(const char* path, int slow)
{
    holdIfStuck(path);
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

// The path the open descriptor `fd` stands for; 0 where the system does not tell it.
static int pathOfDescriptor(int fd, char* path, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, size - 1);
    if (length <= 0)
        return 0;
    path[length] = 0;
    return 1;
}

static void slowBelow(int folder, const char* name)
{
    if (!name)
        return;
    if (name[0] == '/' || folder == AT_FDCWD) {
        wait(name, byPath);
        return;
    }
    char path[4096];
    if (pathOfDescriptor(folder, path, sizeof path))
        wait(path, 1);
}

static void slowPath(const char* path)
{
    if (path && path[0] == '/')
        wait(path, byPath);
}

// The path of `name` relative to the open folder `folder` (or to the working folder); 0 where
// it cannot be told.
static int pathAt(int folder, const char* name, char* path, size_t size)
{
    if (!name)
        return 0;
    if (name[0] == '/') {
        snprintf(path, size, "%s", name);
        return 1;
    }
    char link[64];
    if (folder == AT_FDCWD)
        snprintf(link, sizeof link, "/proc/self/cwd");
    else
        snprintf(link, sizeof link, "/proc/self/fd/%d", folder);
    const ssize_t length = readlink(link, path, size - 1);
    if (length <= 0)
        return 0;
    path[length] = 0;
    if (name[0])
        snprintf(path + length, size - (size_t)length, "/%s", name);
    return 1;
}

// A change by a path (a rename, a removal, a new folder, a link): held while the server is down.
static void holdAt(int folder, const char* name)
{
    if (!stuckWhen || !stuckBelow)
        return;
    char path[4096];
    if (pathAt(folder, name, path, sizeof path))
        holdIfStuck(path);
}

// A write into the open file `fd`: held while the server is down, where that file lies below.
static void holdFile(int fd)
{
    if (!stuckWhen || !stuckBelow || fd < 0)
        return;
    char path[4096];
    if (pathOfDescriptor(fd, path, sizeof path))
        holdIfStuck(path);
}

// The next definition of a call, found on its first use: a library's constructor may write
// before this one's constructor ran.
#define NEXT(type, name)                                                                   \
    static type next_##name;                                                               \
    type nextOf_##name = __atomic_load_n(&next_##name, __ATOMIC_ACQUIRE);                  \
    if (!nextOf_##name) {                                                                  \
        nextOf_##name = (type)dlsym(RTLD_NEXT, #name);                                     \
        __atomic_store_n(&next_##name, nextOf_##name, __ATOMIC_RELEASE);                   \
    }

typedef ssize_t (*Write)(int, const void*, size_t);
typedef ssize_t (*PWrite)(int, const void*, size_t, off_t);
typedef ssize_t (*WriteV)(int, const struct iovec*, int);
typedef int (*Sync)(int);
typedef int (*Truncate)(int, off_t);
typedef int (*Rename)(const char*, const char*);
typedef int (*RenameAt)(int, const char*, int, const char*);
typedef int (*RenameAt2)(int, const char*, int, const char*, unsigned);
typedef int (*Unlink)(const char*);
typedef int (*UnlinkAt)(int, const char*, int);
typedef int (*MakeFolder)(const char*, mode_t);
typedef int (*MakeFolderAt)(int, const char*, mode_t);
typedef int (*Link)(const char*, const char*);
typedef int (*LinkAt)(int, const char*, int, const char*, int);

ssize_t write(int fd, const void* bytes, size_t size)
{
    NEXT(Write, write)
    holdFile(fd);
    return nextOf_write(fd, bytes, size);
}

ssize_t pwrite(int fd, const void* bytes, size_t size, off_t at)
{
    NEXT(PWrite, pwrite)
    holdFile(fd);
    return nextOf_pwrite(fd, bytes, size, at);
}

ssize_t pwrite64(int fd, const void* bytes, size_t size, off_t at)
{
    NEXT(PWrite, pwrite64)
    holdFile(fd);
    return nextOf_pwrite64(fd, bytes, size, at);
}

ssize_t writev(int fd, const struct iovec* parts, int count)
{
    NEXT(WriteV, writev)
    holdFile(fd);
    return nextOf_writev(fd, parts, count);
}

int fsync(int fd)
{
    NEXT(Sync, fsync)
    holdFile(fd);
    return nextOf_fsync(fd);
}

int fdatasync(int fd)
{
    NEXT(Sync, fdatasync)
    holdFile(fd);
    return nextOf_fdatasync(fd);
}

int ftruncate(int fd, off_t size)
{
    NEXT(Truncate, ftruncate)
    holdFile(fd);
    return nextOf_ftruncate(fd, size);
}

int ftruncate64(int fd, off_t size)
{
    NEXT(Truncate, ftruncate64)
    holdFile(fd);
    return nextOf_ftruncate64(fd, size);
}

int rename(const char* from, const char* to)
{
    NEXT(Rename, rename)
    holdAt(AT_FDCWD, from);
    holdAt(AT_FDCWD, to);
    return nextOf_rename(from, to);
}

int renameat(int fromFolder, const char* from, int toFolder, const char* to)
{
    NEXT(RenameAt, renameat)
    holdAt(fromFolder, from);
    holdAt(toFolder, to);
    return nextOf_renameat(fromFolder, from, toFolder, to);
}

int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags)
{
    NEXT(RenameAt2, renameat2)
    holdAt(fromFolder, from);
    holdAt(toFolder, to);
    return nextOf_renameat2(fromFolder, from, toFolder, to, flags);
}

int unlink(const char* path)
{
    NEXT(Unlink, unlink)
    holdAt(AT_FDCWD, path);
    return nextOf_unlink(path);
}

int unlinkat(int folder, const char* name, int flags)
{
    NEXT(UnlinkAt, unlinkat)
    holdAt(folder, name);
    return nextOf_unlinkat(folder, name, flags);
}

int mkdir(const char* path, mode_t mode)
{
    NEXT(MakeFolder, mkdir)
    holdAt(AT_FDCWD, path);
    return nextOf_mkdir(path, mode);
}

int mkdirat(int folder, const char* name, mode_t mode)
{
    NEXT(MakeFolderAt, mkdirat)
    holdAt(folder, name);
    return nextOf_mkdirat(folder, name, mode);
}

int link(const char* from, const char* to)
{
    NEXT(Link, link)
    holdAt(AT_FDCWD, from);
    holdAt(AT_FDCWD, to);
    return nextOf_link(from, to);
}

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags)
{
    NEXT(LinkAt, linkat)
    holdAt(fromFolder, from);
    holdAt(toFolder, to);
    return nextOf_linkat(fromFolder, from, toFolder, to, flags);
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
