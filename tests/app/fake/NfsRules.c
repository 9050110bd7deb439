/* Preloaded into a program by its tests: a file server under the Linux NFS client's rules, below
   the folder MORVANTA_NFS_BELOW. No file is made without a name (O_TMPFILE: EOPNOTSUPP), a file
   open for reading alone is not locked exclusively (flock is emulated by fcntl locks there:
   EBADF), and no two names are exchanged (RENAME_EXCHANGE: EINVAL). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

/* Whether `name`, relative to the open folder `folder` (or a file open as `folder` where `name`
   is NULL), lies below MORVANTA_NFS_BELOW. */
static int below(int folder, const char* name)
{
    const char* server = getenv("MORVANTA_NFS_BELOW");
    char link[64], path[4096];
    if (!server || !*server)
        return 0;
    if (name && name[0] == '/')
        return strncmp(name, server, strlen(server)) == 0;
    if (folder == AT_FDCWD) {
        if (!getcwd(path, sizeof path))
            return 0;
    } else {
        snprintf(link, sizeof link, "/proc/self/fd/%d", folder);
        const ssize_t length = readlink(link, path, sizeof path - 1);
        if (length <= 0)
            return 0;
        path[length] = 0;
    }
    return strncmp(path, server, strlen(server)) == 0;
}

static int refused(int error)
{
    errno = error;
    return -1;
}

#define OPEN_AT(function)                                                                                  \
    int function(int folder, const char* name, int flags, ...)                                             \
    {                                                                                                      \
        va_list more;                                                                                      \
        va_start(more, flags);                                                                             \
        const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(more, mode_t) : 0;                    \
        va_end(more);                                                                                      \
        if ((flags & O_TMPFILE) == O_TMPFILE && below(folder, name))                                       \
            return refused(EOPNOTSUPP);                                                                    \
        return ((int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, #function))(folder, name, flags, mode); \
    }
#define OPEN(function)                                                                                     \
    int function(const char* path, int flags, ...)                                                         \
    {                                                                                                      \
        va_list more;                                                                                      \
        va_start(more, flags);                                                                             \
        const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(more, mode_t) : 0;                    \
        va_end(more);                                                                                      \
        if ((flags & O_TMPFILE) == O_TMPFILE && below(AT_FDCWD, path))                                    \
            return refused(EOPNOTSUPP);                                                                    \
        return ((int (*)(const char*, int, ...))dlsym(RTLD_NEXT, #function))(path, flags, mode);           \
    }
OPEN_AT(openat)
OPEN_AT(openat64)
OPEN(open)
OPEN(open64)

int flock(int fd, int operation)
{
    if ((operation & LOCK_EX) && (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY && below(fd, NULL))
        return refused(EBADF);
    return ((int (*)(int, int))dlsym(RTLD_NEXT, "flock"))(fd, operation);
}

int renameat2(int from, const char* name, int to, const char* toName, unsigned flags)
{
    if ((flags & RENAME_EXCHANGE) && below(from, name))
        return refused(EINVAL);
    return ((int (*)(int, const char*, int, const char*, unsigned))dlsym(RTLD_NEXT, "renameat2"))(from, name, to,
                                                                                                  toName, flags);
}
