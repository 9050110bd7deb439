/* Preloaded into the program by its tests: a patient share on a slow file server. Every open and
   every look at an entry made relative to an open folder below MORVANTA_SLOW_BELOW waits
   MORVANTA_SLOW_MICROSECONDS first; the first such call makes the file MORVANTA_SLOW_BEGUN, so that
   a test knows the program has begun to walk the share. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

typedef int (*OpenAt)(int, const char*, int, ...);
typedef int (*StatAt)(int, const char*, struct stat*, int);

static OpenAt nextOpen;
static StatAt nextStat;
static const char* below;
static long delay;
static const char* begun;

__attribute__((constructor)) static void findNext(void)
{
    nextOpen = (OpenAt)dlsym(RTLD_NEXT, "openat");
    nextStat = (StatAt)dlsym(RTLD_NEXT, "fstatat");
    below = getenv("MORVANTA_SLOW_BELOW");
    const char* microseconds = getenv("MORVANTA_SLOW_MICROSECONDS");
    delay = microseconds ? atol(microseconds) : 0;
    begun = getenv("MORVANTA_SLOW_BEGUN");
}

static void slowBelow(int folder, const char* name)
{
    if (!below || delay <= 0 || folder == AT_FDCWD || !name || name[0] == '/')
        return;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", folder);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length <= 0)
        return;
    path[length] = 0;
    if (strncmp(path, below, strlen(below)) != 0)
        return;
    if (begun) {
        const int made = nextOpen(AT_FDCWD, begun, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (made >= 0)
            close(made);
        begun = NULL;
    }
    const struct timespec wait = {delay / 1000000, (delay % 1000000) * 1000};
    nanosleep(&wait, NULL);
}

int openat(int folder, const char* name, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list more;
        va_start(more, flags);
        mode = va_arg(more, mode_t);
        va_end(more);
    }
    slowBelow(folder, name);
    return nextOpen(folder, name, flags, mode);
}

int fstatat(int folder, const char* name, struct stat* status, int flags)
{
    slowBelow(folder, name);
    return nextStat(folder, name, status, flags);
}
