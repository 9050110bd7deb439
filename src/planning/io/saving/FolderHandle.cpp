#include "planning/io/saving/FolderHandle.h"

#include "vexa/io/AtomicFile.h"

#include <QCryptographicHash>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <sys/file.h>
#include <unistd.h>

namespace {

using Call = FolderHandle::SystemCall;
using Injector = std::function<int(Call, const std::string&)>;

std::atomic<std::shared_ptr<const Injector>> injector;

// The path of an open file or folder, or of the entry `name` in the open folder `fd`.
std::string pathAt(int fd, const char* name = nullptr)
{
    std::string path;
    if (fd == AT_FDCWD) {
        path = ".";
    } else {
        char target[4096];
        const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
        path.assign(target, n > 0 ? std::size_t(n) : 0);
    }
    if (!name || !*name)
        return path;
    return *name == '/' ? std::string(name) : path + "/" + name;
}

// Whether a test fails this call on the file or folder `fd` (and its entry `name`); errno is set
// then.
bool failed(Call call, int fd, const char* name = nullptr)
{
    const auto inject = injector.load(std::memory_order_acquire);
    if (!inject)
        return false;
    if (const int error = (*inject)(call, pathAt(fd, name))) {
        errno = error;
        return true;
    }
    return false;
}

// The NFS client's silly rename, imitated for tests: the files of this process's that are open,
// by identity, with the ".nfs" names they were renamed to while open.
namespace Silly {

using Id = std::pair<dev_t, ino_t>;
struct Open
{
    int count = 0;
    std::vector<std::pair<int, std::string>> names; // (folder, name)
};

std::atomic<bool> on{false};
std::mutex mutex;
std::map<Id, Open> files;
std::map<int, Id> descriptors;

void opened(int fd)
{
    struct stat status{};
    if (fd < 0 || !on.load(std::memory_order_acquire) || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return;
    const std::lock_guard lock(mutex);
    const Id id{status.st_dev, status.st_ino};
    ++files[id].count;
    descriptors[fd] = id;
}

// Called before `fd` closes: the ".nfs" names to remove once it has, where it was the file's last.
std::vector<std::pair<int, std::string>> closing(int fd)
{
    if (!on.load(std::memory_order_acquire))
        return {};
    const std::lock_guard lock(mutex);
    const auto at = descriptors.find(fd);
    if (at == descriptors.end())
        return {};
    const auto file = files.find(at->second);
    descriptors.erase(at);
    if (file == files.end() || --file->second.count > 0)
        return {};
    auto names = std::move(file->second.names);
    files.erase(file);
    return names;
}

void closed(const std::vector<std::pair<int, std::string>>& names)
{
    for (const auto& [folder, name] : names) {
        ::unlinkat(folder, name.c_str(), 0);
        ::close(folder);
    }
}

// Whether the file at `name` in `folder` is open here: then a removal of that name renames it
// (0), or is refused for a ".nfs" name (-1, EBUSY). 1: the removal goes ahead.
int intercept(int folder, const char* name)
{
    if (!on.load(std::memory_order_acquire))
        return 1;
    struct stat status{};
    if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
        return 1;
    const std::lock_guard lock(mutex);
    const auto file = files.find({status.st_dev, status.st_ino});
    if (file == files.end())
        return 1;
    if (std::string_view(name).starts_with(".nfs")) {
        errno = EBUSY;
        return -1;
    }
    static std::atomic<unsigned> drawn{0};
    char silly[64];
    std::snprintf(silly, sizeof silly, ".nfs%016llx%08x", static_cast<unsigned long long>(status.st_ino),
                  drawn.fetch_add(1) ^ unsigned(::getpid()));
    if (::renameat(folder, name, folder, silly) != 0)
        return -1;
    file->second.names.emplace_back(::fcntl(folder, F_DUPFD_CLOEXEC, 0), silly);
    return 0;
}

}

// What is made is the user's as the umask has it: files 0666 and folders 0777 before it.
constexpr mode_t fileMode = 0666, folderMode = 0777;
// How often a maker makes its new file where another holds its lock at the moment it locks it:
// another's look at it lets go within a round trip or two.
constexpr int makingTries = 10;

// The table of system calls: each gives -1 with errno set, as the call itself does.
namespace Sys {

int open(const char* path, int flags)
{
    return failed(Call::open, AT_FDCWD, path) ? -1 : ::open(path, flags, fileMode);
}
int openat(int folder, const char* name, int flags)
{
    if (failed(Call::open, folder, name) || ((flags & O_TMPFILE) == O_TMPFILE && failed(Call::openNameless, folder, name)))
        return -1;
    return ::openat(folder, name, flags, fileMode);
}
int duplicate(int fd)
{
    return failed(Call::duplicate, fd) ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}
// The times a file system stamps, as a test has its clock run against this computer's.
int shifted(int result, struct stat* status);
int fstat(int fd, struct stat* status)
{
    return failed(Call::status, fd) ? -1 : shifted(::fstat(fd, status), status);
}
int fstatat(int folder, const char* name, struct stat* status)
{
    return failed(Call::status, folder, name) ? -1
                                              : shifted(::fstatat(folder, name, status, AT_SYMLINK_NOFOLLOW), status);
}
// The next entry of the folder `fd`; nullptr with errno 0 at the end.
dirent* readdir(DIR* dir, int fd)
{
    if (failed(Call::list, fd))
        return nullptr;
    errno = 0;
    return ::readdir(dir);
}
ssize_t pread(int fd, void* buffer, std::size_t size, off_t at)
{
    return failed(Call::read, fd) ? -1 : ::pread(fd, buffer, size, at);
}
ssize_t pwrite(int fd, const void* buffer, std::size_t size, off_t at)
{
    return failed(Call::write, fd) ? -1 : ::pwrite(fd, buffer, size, at);
}
int ftruncate(int fd, off_t size)
{
    return failed(Call::truncate, fd) ? -1 : ::ftruncate(fd, size);
}
int fsync(int fd)
{
    return failed(Call::sync, fd) ? -1 : ::fsync(fd);
}
int flock(int fd, int operation)
{
    if (failed(Call::lock, fd))
        return -1;
    if (operation == LOCK_EX && (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY && failed(Call::lockReadOnly, fd))
        return -1;
    return ::flock(fd, operation | LOCK_NB);
}
int fchmod(int fd, mode_t mode)
{
    return failed(Call::mode, fd) ? -1 : ::fchmod(fd, mode);
}
int renameat2(int from, const char* name, int to, const char* toName, unsigned flags)
{
    if (failed(Call::rename, from, name) || ((flags & RENAME_EXCHANGE) && failed(Call::exchange, from, name)))
        return -1;
    return ::renameat2(from, name, to, toName, flags);
}
int renameat(int from, const char* name, int to, const char* toName)
{
    if (failed(Call::rename, from, name))
        return -1;
    // What is renamed over is removed (unless it is the file renamed).
    struct stat a{}, b{};
    if (Silly::on.load(std::memory_order_acquire) && ::fstatat(from, name, &a, AT_SYMLINK_NOFOLLOW) == 0 &&
        ::fstatat(to, toName, &b, AT_SYMLINK_NOFOLLOW) == 0 && (a.st_dev != b.st_dev || a.st_ino != b.st_ino) &&
        Silly::intercept(to, toName) < 0)
        return -1;
    return ::renameat(from, name, to, toName);
}
int unlinkat(int folder, const char* name, int flags)
{
    if (failed(Call::remove, folder, name))
        return -1;
    if (const int silly = flags ? 1 : Silly::intercept(folder, name); silly <= 0)
        return silly;
    return ::unlinkat(folder, name, flags);
}
int mkdirat(int folder, const char* name)
{
    return failed(Call::makeFolder, folder, name) ? -1 : ::mkdirat(folder, name, folderMode);
}
int linkat(int from, const char* name, int to, const char* toName, int flags)
{
    return failed(Call::link, to, toName) ? -1 : ::linkat(from, name, to, toName, flags);
}
int faccessat(int folder, const char* name, int mode)
{
    return failed(Call::access, folder, name) ? -1 : ::faccessat(folder, name, mode, AT_EACCESS);
}

}

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The errno value of the last failed call, never 0.
int lastError()
{
    return errno ? errno : EIO;
}

// The answer of a call that gives 0 or -1 with errno set.
Answer<Done> doneOr(int result)
{
    if (result != 0)
        return Failure{lastError()};
    return Done{};
}

// O_NONBLOCK: a pipe put there must never hold the program.
int openFileAt(int folder, const std::string& name)
{
    return Sys::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
}

// Reads until `limit` bytes or the end; the errno value of a failed read.
int readInto(int fd, std::string& text, std::size_t limit)
{
    char buffer[65536];
    while (text.size() < limit) {
        const ssize_t n = Sys::pread(fd, buffer, std::min(sizeof buffer, limit - text.size()), off_t(text.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return lastError();
        if (n == 0)
            break;
        text.append(buffer, std::size_t(n));
    }
    return 0;
}

// Writes all of the bytes at `at`.
Answer<Done> writeAt(int fd, const std::string& bytes, off_t at = 0)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = Sys::pwrite(fd, bytes.data() + done, bytes.size() - done, at + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Failure{n < 0 ? lastError() : ENOSPC};
        done += std::size_t(n);
    }
    return Done{};
}

}

void FolderHandle::setFaultInjector(std::function<int(SystemCall, const std::string&)> function)
{
    injector.store(function ? std::make_shared<const Injector>(std::move(function)) : nullptr,
                   std::memory_order_release);
}

void FolderHandle::imitateSillyRename(bool on)
{
    Silly::on.store(on, std::memory_order_release);
}

namespace {

std::atomic<long long> clockAhead{0};
std::atomic<long long> serverClockOffset{0};

std::chrono::nanoseconds sinceEpoch(const struct timespec& time)
{
    return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

}

void FolderHandle::setClockAhead(std::chrono::seconds ahead)
{
    clockAhead.store(ahead.count(), std::memory_order_release);
}

void FolderHandle::setServerClockOffset(std::chrono::seconds offset)
{
    serverClockOffset.store(offset.count(), std::memory_order_release);
}

int Sys::shifted(int result, struct stat* status)
{
    if (const long long offset = serverClockOffset.load(std::memory_order_acquire); result == 0 && offset)
        for (struct timespec* time : {&status->st_atim, &status->st_mtim, &status->st_ctim})
            time->tv_sec += time_t(offset);
    return result;
}

// ---- File ----

FolderHandle::File::File(int fd) : fd_(fd)
{
    Silly::opened(fd);
}

FolderHandle::File::File(File&& other) noexcept
    : fd_(other.fd_), namedIn_(other.namedIn_), secondName_(std::move(other.secondName_))
{
    other.fd_ = other.namedIn_ = -1;
}

FolderHandle::File& FolderHandle::File::operator=(File&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.fd_;
        namedIn_ = other.namedIn_;
        secondName_ = std::move(other.secondName_);
        other.fd_ = other.namedIn_ = -1;
    }
    return *this;
}

FolderHandle::File::~File()
{
    close();
}

void FolderHandle::File::close()
{
    finish();
}

Answer<Done> FolderHandle::File::finish()
{
    int error = 0;
    if (fd_ >= 0) {
        const auto sillyNames = Silly::closing(fd_);
        ::close(fd_);
        Silly::closed(sillyNames);
    }
    fd_ = -1;
    // Only now: a name removed while its file is open stays on NFS (as ".nfs…") until it closes.
    if (namedIn_ >= 0) {
        if (Sys::unlinkat(namedIn_, secondName_.c_str(), 0) != 0 && errno != ENOENT)
            error = lastError();
        ::close(namedIn_);
    }
    namedIn_ = -1;
    secondName_.clear();
    if (error)
        return Failure{error};
    return Done{};
}

Answer<FolderHandle::File::Lock> FolderHandle::File::lock() const
{
    if (Sys::flock(fd_, LOCK_EX) == 0)
        return Lock::taken;
    // A file system that locks exclusively only what is open for writing: a shared lock tells
    // whether anyone else holds the file, but it keeps nobody out.
    if (errno == EBADF && Sys::flock(fd_, LOCK_SH) == 0)
        return Lock::shared;
    if (errno == EWOULDBLOCK)
        return Lock::held;
    // A file system without locks says so; every other error is no answer.
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS)
        return Lock::unsupported;
    return Failure{lastError()};
}

Answer<struct stat> FolderHandle::File::status() const
{
    struct stat status{};
    if (Sys::fstat(fd_, &status) != 0)
        return Failure{lastError()};
    return status;
}

Answer<std::string> FolderHandle::File::readAll(std::size_t limit) const
{
    std::string text;
    if (const int error = readInto(fd_, text, limit))
        return Failure{error};
    return text;
}

Answer<std::string> FolderHandle::File::readAt(std::uintmax_t at, std::size_t size) const
{
    std::string bytes(size, '\0');
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = Sys::pread(fd_, bytes.data() + done, size - done, off_t(at + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Failure{lastError()};
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    bytes.resize(done);
    return bytes;
}

Answer<Done> FolderHandle::File::writeAt(std::uintmax_t at, const std::string& bytes) const
{
    return ::writeAt(fd_, bytes, off_t(at));
}

Answer<Done> FolderHandle::File::sync() const
{
    return doneOr(Sys::fsync(fd_));
}

Answer<Done> FolderHandle::File::rewrite(const std::string& text) const
{
    if (const auto written = ::writeAt(fd_, text); !written.ok())
        return written;
    return doneOr(Sys::ftruncate(fd_, off_t(text.size())));
}

Answer<bool> FolderHandle::File::isAt(const FolderHandle& folder, const std::string& name) const
{
    const auto open = status();
    if (!open.ok())
        return open.failure();
    const auto named = folder.status(name);
    if (!named.ok())
        return named.error() == ENOENT ? Answer<bool>(false) : named.failure();
    return open->st_dev == named->st_dev && open->st_ino == named->st_ino;
}

Answer<Done> FolderHandle::File::removeFrom(const FolderHandle& folder, const std::string& name, bool* removed)
{
    if (removed)
        *removed = false;
    if (!isOpen())
        return Done{};
    const auto identity = status();
    // Closed before its name goes: a file server keeps the name of an open file (as ".nfs…"),
    // which keeps its folder. Its holder, alive, is never judged gone meanwhile, so nobody takes
    // it over between the close and the removal; and it goes only while it is still this file.
    const int unnamed = finish().error();
    if (!identity.ok())
        return identity.failure();
    const auto now = folder.status(name);
    int error = now.ok() ? 0 : now.error();
    if (now.ok() && now->st_dev == identity->st_dev && now->st_ino == identity->st_ino) {
        error = folder.removeFile(name).error();
        if (removed)
            *removed = !error;
    }
    if (!error || error == ENOENT)
        error = unnamed;
    if (error && error != ENOENT)
        return Failure{error};
    return Done{};
}

// ---- FolderHandle ----

std::string FolderHandle::plainPath(const std::string& path)
{
    if (path.empty())
        return path;
    std::error_code failed;
    std::filesystem::path plain = std::filesystem::absolute(path, failed).lexically_normal();
    if (!plain.has_filename())
        plain = plain.parent_path();
    return plain.string();
}

FolderHandle FolderHandle::open(const std::string& path, bool followLinks)
{
    const int fd = path.empty() ? -1 : Sys::open(path.c_str(), folderFlags | (followLinks ? 0 : O_NOFOLLOW));
    const int error = path.empty() ? ENOENT : (fd < 0 ? lastError() : 0);
    return FolderHandle(fd, plainPath(path), error == ELOOP ? ENOTDIR : error);
}

FolderHandle FolderHandle::make(const std::string& path)
{
    FolderHandle folder = open(path, true);
    const std::filesystem::path plain(folder.path_);
    if (folder.error_ != ENOENT || plain.parent_path() == plain || !plain.has_filename())
        return folder;
    const FolderHandle above = make(plain.parent_path().string());
    const int made = above ? above.makeFolder(plain.filename().string()).error() : above.error_;
    if (made && made != EEXIST)
        return FolderHandle(-1, folder.path_, made);
    return open(path, true);
}

FolderHandle::FolderHandle(FolderHandle&& other) noexcept
    : fd_(other.fd_), error_(other.error_), path_(std::move(other.path_))
{
    other.fd_ = -1;
}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.fd_;
        error_ = other.error_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

FolderHandle::~FolderHandle()
{
    if (fd_ >= 0)
        ::close(fd_);
}

FolderHandle FolderHandle::child(const std::string& relative) const
{
    if (!valid())
        return FolderHandle(-1, pathOf(relative), error_ ? error_ : EBADF);
    // One name at a time: O_NOFOLLOW looks at the last name only.
    int at = Sys::duplicate(fd_);
    std::string path = path_;
    if (at < 0)
        return FolderHandle(-1, pathOf(relative), lastError());
    for (const auto& part : std::filesystem::path(relative)) {
        const std::string name = part.string();
        if (name.empty() || name == ".")
            continue;
        path += "/" + name;
        const int next = name == ".." ? -1 : Sys::openat(at, name.c_str(), folderFlags | O_NOFOLLOW);
        const int error = name == ".." ? EINVAL : (next < 0 ? lastError() : 0);
        ::close(at);
        if (next < 0)
            return FolderHandle(-1, path, error == ELOOP ? ENOTDIR : error);
        at = next;
    }
    return FolderHandle(at, path, 0);
}

Answer<bool> FolderHandle::isSameFolder(const FolderHandle& other) const
{
    if (!valid() || !other.valid())
        return false;
    struct stat a{}, b{};
    if (Sys::fstat(fd_, &a) != 0 || Sys::fstat(other.fd_, &b) != 0)
        return Failure{lastError()};
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

FolderHandle FolderHandle::again() const
{
    if (!valid())
        return FolderHandle(-1, path_, error_ ? error_ : EBADF);
    const int fd = Sys::duplicate(fd_);
    return FolderHandle(fd, path_, fd < 0 ? lastError() : 0);
}

Answer<std::vector<std::string>> FolderHandle::list(bool firstOnly) const
{
    if (!valid())
        return failure();
    // A listing of its own: the handle's position is shared by every dup.
    const int fd = Sys::openat(fd_, ".", folderFlags);
    if (fd < 0)
        return Failure{lastError(), path_};
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        const int error = lastError();
        ::close(fd);
        return Failure{error, path_};
    }
    std::vector<std::string> names;
    int error = 0;
    for (;;) {
        const dirent* entry = Sys::readdir(dir, fd);
        if (!entry) {
            error = errno;
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        names.push_back(name);
        if (firstOnly)
            break;
    }
    ::closedir(dir);
    if (error)
        return Failure{error, path_};
    std::sort(names.begin(), names.end());
    return names;
}

Answer<std::vector<std::string>> FolderHandle::entries() const
{
    return list(false);
}

Answer<struct stat> FolderHandle::status(const std::string& name) const
{
    struct stat status{};
    if (!valid())
        return failure();
    if (Sys::fstatat(fd_, name.c_str(), &status) != 0)
        return Failure{lastError(), pathOf(name)};
    return status;
}

Answer<FolderHandle::Kind> FolderHandle::kind(const std::string& name) const
{
    const auto found = status(name);
    if (!found.ok())
        return found.error() == ENOENT ? Answer<Kind>(Kind::none) : found.failure();
    if (S_ISREG(found->st_mode))
        return Kind::file;
    if (S_ISDIR(found->st_mode))
        return Kind::folder;
    return S_ISLNK(found->st_mode) ? Kind::link : Kind::other;
}

namespace {

Answer<bool> isKind(const Answer<FolderHandle::Kind>& found, FolderHandle::Kind kind)
{
    if (!found.ok())
        return found.failure();
    return *found == kind;
}

}

Answer<bool> FolderHandle::isFile(const std::string& name) const
{
    return isKind(kind(name), Kind::file);
}

Answer<bool> FolderHandle::isFolder(const std::string& name) const
{
    return isKind(kind(name), Kind::folder);
}

Answer<bool> FolderHandle::has(const std::string& name) const
{
    const auto found = kind(name);
    if (!found.ok())
        return found.failure();
    return *found != Kind::none;
}

Answer<bool> FolderHandle::isEmpty() const
{
    const auto first = list(true);
    if (!first.ok())
        return first.failure();
    return first->empty();
}

Answer<std::chrono::nanoseconds> FolderHandle::timeThere(const std::string& kind) const
{
    if (!valid())
        return failure();
    // A fresh file's time, made as a temporary file of its kind, which a later start removes by
    // the rule for that kind should a crash leave it.
    std::string probe;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        probe = Vexa::AtomicFile::temporaryNameFor(kind);
        fd = Sys::openat(fd_, probe.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return Failure{lastError(), path_};
    struct stat now{};
    const int unread = Sys::fstat(fd, &now) == 0 ? 0 : lastError();
    // Closed before its name goes (NFS would keep it as ".nfs…").
    ::close(fd);
    Sys::unlinkat(fd_, probe.c_str(), 0);
    if (unread)
        return Failure{unread, path_};
    return sinceEpoch(now.st_ctim) + std::chrono::seconds(clockAhead.load(std::memory_order_acquire));
}

Answer<bool> FolderHandle::isNew(const std::string& name, const std::string& kind, std::chrono::seconds within) const
{
    const auto there = timeThere(kind);
    if (!there.ok())
        return there.failure();
    // Looked at after the clock was read: a change meanwhile counts.
    const auto entry = status(name);
    if (!entry.ok())
        return entry.failure();
    const auto changed = std::max(sinceEpoch(entry->st_mtim), sinceEpoch(entry->st_ctim));
    return *there - changed < within;
}

Answer<Done> FolderHandle::moveTo(const std::string& name, const FolderHandle& to, const std::string& toName) const
{
    if (Sys::renameat2(fd_, name.c_str(), to.fd_, toName.c_str(), RENAME_NOREPLACE) == 0)
        return Done{};
    if (errno != EINVAL && errno != ENOSYS)
        return Failure{lastError()};
    // A file system without the flag: the look and the rename are two steps there.
    const auto there = to.has(toName);
    if (!there.ok())
        return there.failure();
    if (*there)
        return Failure{EEXIST};
    return doneOr(Sys::renameat(fd_, name.c_str(), to.fd_, toName.c_str()));
}

Answer<Done> FolderHandle::replace(const std::string& name, const FolderHandle& to, const std::string& toName) const
{
    return doneOr(Sys::renameat(fd_, name.c_str(), to.fd_, toName.c_str()));
}

Answer<Done> FolderHandle::removeFile(const std::string& name) const
{
    return doneOr(Sys::unlinkat(fd_, name.c_str(), 0));
}

Answer<Done> FolderHandle::removeFolder(const std::string& name) const
{
    return doneOr(Sys::unlinkat(fd_, name.c_str(), AT_REMOVEDIR));
}

Answer<Done> FolderHandle::removeAll(const std::string& name) const
{
    // What is gone meanwhile is removed all the same.
    const auto gone = [](const Answer<Done>& removed) {
        return removed.error() == ENOENT ? Answer<Done>(Done{}) : removed;
    };
    const auto found = kind(name);
    if (!found.ok())
        return found.failure();
    if (*found == Kind::none)
        return Done{};
    if (*found != Kind::folder)
        return gone(removeFile(name));
    const FolderHandle inner = child(name);
    if (!inner)
        return gone(Failure{inner.error()});
    const auto names = inner.entries();
    if (!names.ok())
        return names.failure();
    Answer<Done> first = Done{};
    for (const std::string& entry : *names)
        if (const auto removed = inner.removeAll(entry); !removed.ok() && first.ok())
            first = removed;
    if (!first.ok())
        return first;
    return gone(removeFolder(name));
}

Answer<Done> FolderHandle::makeFolder(const std::string& name) const
{
    return doneOr(Sys::mkdirat(fd_, name.c_str()));
}

Answer<Done> FolderHandle::mayRemove(const std::string& name) const
{
    if (!valid())
        return failure();
    if (Sys::faccessat(fd_, ".", W_OK | X_OK) != 0)
        return Failure{lastError()};
    const auto entry = status(name);
    if (!entry.ok())
        return entry.failure();
    struct stat folder{};
    if (Sys::fstat(fd_, &folder) != 0)
        return Failure{lastError()};
    // In a folder with the sticky bit only the owner of the entry or of the folder may.
    if ((folder.st_mode & S_ISVTX) && ::geteuid() != 0 && entry->st_uid != ::geteuid() && folder.st_uid != ::geteuid())
        return Failure{EPERM};
    return Done{};
}

Answer<FolderHandle::File> FolderHandle::openFile(const std::string& name) const
{
    if (!valid())
        return failure();
    const int fd = openFileAt(fd_, name);
    if (fd < 0)
        return Failure{lastError(), pathOf(name)};
    return File(fd);
}

Answer<FolderHandle::File> FolderHandle::openToLock(const std::string& name) const
{
    if (!valid())
        return failure();
    int fd = Sys::openat(fd_, name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    // Another user's file, a read-only disk, or something else that took the name: read alone.
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY || errno == EISDIR))
        fd = openFileAt(fd_, name);
    if (fd < 0)
        return Failure{lastError(), pathOf(name)};
    return File(fd);
}

Answer<FolderHandle::File> FolderHandle::createWhole(const std::string& name, const std::string& text) const
{
    return createWholeAt(name, text, false);
}

std::string FolderHandle::whyNotMade(int error, const std::string& file)
{
    // Only another instance's look at the new file holds its lock at that moment (a start of
    // another workstation judging it): it lets go at once.
    if (error == EWOULDBLOCK)
        return "another workstation held " + file + " at each of " + std::to_string(makingTries) +
               " tries, for a moment each";
    return reasonOf(error);
}

Answer<FolderHandle::File> FolderHandle::createCopy(const std::string& name, const File& from, std::uintmax_t size,
                                                    const std::function<bool()>& stop) const
{
    return createFilledAt(name, [&](int fd) {
        std::string block;
        for (std::uintmax_t at = 0; at < size;) {
            if (stop && stop())
                return ECANCELED;
            const auto part = from.readAt(at, std::size_t(std::min<std::uintmax_t>(size - at, 1 << 16)));
            if (!part.ok())
                return part.error();
            if (part->empty())
                return EIO; // shorter than it was
            if (const int error = writeAt(fd, *part, off_t(at)).error())
                return error;
            at += part->size();
        }
        return 0;
    }, false);
}

Answer<FolderHandle::File> FolderHandle::createWholeAt(const std::string& name, const std::string& text,
                                                       bool temporaryName) const
{
    return createFilledAt(name, [&](int fd) { return writeAt(fd, text).error(); }, temporaryName);
}

Answer<FolderHandle::File> FolderHandle::createFilledAt(const std::string& name, const std::function<int(int fd)>& fill,
                                                        bool temporaryName) const
{
    if (!valid())
        return failure();
    // Where the file system has no nameless files, the new file stands unlocked under its
    // temporary name for a moment; should another instance remove that name meanwhile (it judged
    // the file left by a dead maker), or hold its lock at the moment its maker locks it, the file
    // is made again: a new file, which no start locks while it is that new.
    for (int attempt = 0;; ++attempt) {
        std::string temporary;
        auto made = createFilledOnce(name, fill, temporaryName, temporary);
        if (made.ok() || temporary.empty() || attempt == makingTries - 1 ||
            (made.error() != ENOENT && made.error() != EWOULDBLOCK))
            return made;
        if (made.error() == EWOULDBLOCK)
            continue;
        const auto kind = this->kind(temporary);
        if (!kind.ok() || *kind != Kind::none)
            return made;
    }
}

Answer<FolderHandle::File> FolderHandle::createFilledOnce(const std::string& name, const std::function<int(int fd)>& fill,
                                                          bool temporaryName, std::string& temporary) const
{
    // Written and synced without a name, then linked in: nobody sees the file without its text.
    int fd = Sys::openat(fd_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC);
    bool placed = false;
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) && temporaryName) {
        // A temporary name is nobody else's to look at: the file is made at it.
        fd = Sys::openat(fd_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC);
        placed = fd >= 0;
        if (placed)
            temporary = name;
    } else if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without nameless files: under a temporary name of its own, which a start
        // removes should a crash leave it (Vexa::AtomicFile's names).
        for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            temporary = Vexa::AtomicFile::temporaryNameFor(name);
            fd = Sys::openat(fd_, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0 && errno != EEXIST)
                break;
        }
        if (fd < 0)
            temporary.clear();
    }
    if (fd < 0)
        return Failure{lastError()};
    File file(fd);
    // The temporary name goes once the file is closed: removed while it is open, it would stay
    // in the folder as ".nfs…" on NFS, keeping the folder from going.
    if (!temporary.empty()) {
        file.namedIn_ = Sys::duplicate(fd_);
        if (file.namedIn_ < 0) {
            const int error = lastError();
            file.close();
            Sys::unlinkat(fd_, temporary.c_str(), 0);
            return Failure{error};
        }
        file.secondName_ = temporary;
    }
    // Locked before it has its name, so that nobody ever finds it free (nor a start its
    // temporary name, but for the moment between making and locking it, which a start leaves
    // alone, unlocked: HolderFile::removeTemporary); nobody else can have opened a file without a
    // name.
    // A lock held by another at this moment is not this maker's: without it, the file would stand
    // unlocked under its name for the rest of its use. It goes, and is made again.
    int error = 0;
    if (const auto locked = file.lock(); !locked.ok())
        error = locked.error();
    else if (*locked == File::Lock::held)
        error = EWOULDBLOCK;
    if (!error)
        error = fill(fd);
    if (!error && Sys::fsync(fd) != 0)
        error = lastError();
    if (!error && !placed) {
        const bool linked =
            temporary.empty()
                ? Sys::linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), fd_, name.c_str(),
                              AT_SYMLINK_FOLLOW) == 0
                : Sys::linkat(fd_, temporary.c_str(), fd_, name.c_str(), 0) == 0;
        if (!linked)
            error = lastError();
    }
    // Its temporary name gone meanwhile: made again (createWholeAt), unless it was no temporary one.
    if (!error && placed) {
        const auto here = file.isAt(*this, name);
        if (!here.ok())
            error = here.error();
        else if (!*here)
            error = ENOENT;
    }
    if ((error == ENOENT || error == EWOULDBLOCK) && !temporary.empty()) {
        // A temporary name that went is never removed once this file closes: another file may
        // have it by then.
        const auto here = file.isAt(*this, temporary);
        if (here.ok() && !*here) {
            ::close(file.namedIn_);
            file.namedIn_ = -1;
            file.secondName_.clear();
        }
    }
    if (error)
        return Failure{error};
    if (placed) {
        // Its name is the temporary one: the caller gives it away.
        ::close(file.namedIn_);
        file.namedIn_ = -1;
        file.secondName_.clear();
    }
    return file;
}

Answer<FolderHandle::File> FolderHandle::createWholeBeside(const std::string& name, const std::string& text,
                                                           std::optional<mode_t> mode, std::string& temporary) const
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = Vexa::AtomicFile::temporaryNameFor(name);
        auto made = createWholeAt(temporary, text, true);
        if (!made.ok() && made.error() == EEXIST)
            continue;
        if (made.ok() && mode)
            if (const auto moded = doneOr(Sys::fchmod(made->fd_, *mode & 07777)); !moded.ok()) {
                made->close();
                removeFile(temporary);
                return moded.failure();
            }
        return made;
    }
    return Failure{EEXIST};
}

Answer<FolderHandle::File> FolderHandle::replaceWhole(const std::string& name, const std::string& text) const
{
    const auto old = status(name);
    if (!old.ok() && old.error() != ENOENT)
        return old.failure();
    std::string temporary;
    auto made = createWholeBeside(name, text, old.ok() && S_ISREG(old->st_mode) ? std::optional(old->st_mode) : std::nullopt,
                                  temporary);
    if (!made.ok())
        return made;
    if (const auto replaced = replace(temporary, *this, name); !replaced.ok()) {
        made->close();
        removeFile(temporary);
        return replaced.failure();
    }
    return made;
}

Answer<Done> FolderHandle::writeWhole(const std::string& name, const std::string& text) const
{
    auto written = replaceWhole(name, text);
    if (!written.ok())
        return written.failure();
    return written->finish();
}

namespace {

bool isSameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Puts what an exchange took out of `name` (now at `temporary`) back, and removes the new file
// `made` once it is at `temporary` again (closed first). Another taker may have exchanged the name
// meanwhile and puts back as well: exchanges are undone in turn until each has its own file back.
void putBack(const FolderHandle& folder, const std::string& temporary, const std::string& name, FolderHandle::File& made)
{
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const auto back = made.isAt(folder, temporary);
        if (!back.ok())
            return;
        if (*back) {
            made.close();
            folder.removeFile(temporary);
            return;
        }
        if (attempt > 0)
            std::this_thread::yield();
        if (!folder.exchange(temporary, name).ok())
            return;
    }
}

}

Answer<Done> FolderHandle::exchange(const std::string& name, const std::string& other) const
{
    return doneOr(Sys::renameat2(fd_, name.c_str(), fd_, other.c_str(), RENAME_EXCHANGE));
}

Answer<std::optional<FolderHandle::File>> FolderHandle::replaceWholeIf(const std::string& name, const std::string& text,
                                                                       File& judged, bool orRename) const
{
    using Replaced = std::optional<File>;
    const auto old = judged.status();
    if (!old.ok())
        return old.failure();
    std::string temporary;
    auto made = createWholeBeside(name, text, old->st_mode, temporary);
    if (!made.ok())
        return made.failure();
    // Every name is removed only once its file here is closed (NFS keeps it as ".nfs…" else).
    const auto dropTemporary = [&] {
        made->close();
        removeFile(temporary);
    };
    auto exchanged = exchange(temporary, name);
    if ((exchanged.error() == EINVAL || exchanged.error() == ENOSYS) && orRename) {
        // Where the file system cannot exchange, the exclusive lock of the judged file held here
        // keeps every other taker out while it is set aside; the new file then gets the name only
        // where nobody made one meanwhile.
        std::string aside;
        for (int attempt = 0; attempt < 100 && (aside.empty() || exchanged.error() == EEXIST); ++attempt) {
            aside = Vexa::AtomicFile::temporaryNameFor(name);
            exchanged = moveTo(name, *this, aside);
        }
        if (!exchanged.ok()) {
            dropTemporary();
            return exchanged.error() == ENOENT ? Answer<Replaced>(Replaced()) : exchanged.failure();
        }
        const auto out = status(aside);
        if (!out.ok() || !isSameFile(*out, *old)) {
            // Not the file judged (its holder rewrote nothing else; something stands in the way): back.
            moveTo(aside, *this, name);
            dropTemporary();
            return out.ok() ? Answer<Replaced>(Replaced()) : out.failure();
        }
        judged.close();
        removeFile(aside);
        if (const int linked = doneOr(Sys::linkat(fd_, temporary.c_str(), fd_, name.c_str(), 0)).error()) {
            dropTemporary();
            return linked == EEXIST ? Answer<Replaced>(Replaced()) : Failure{linked};
        }
        // Its temporary name goes once it is closed (as createWhole's).
        made->namedIn_ = Sys::duplicate(fd_);
        if (made->namedIn_ >= 0)
            made->secondName_ = temporary;
        return Replaced(std::move(*made));
    }
    if (!exchanged.ok()) {
        dropTemporary();
        // Nothing at the name to exchange with: it went meanwhile.
        return exchanged.error() == ENOENT ? Answer<Replaced>(Replaced()) : exchanged.failure();
    }
    const auto out = status(temporary);
    if (!out.ok() || !isSameFile(*out, *old)) {
        putBack(*this, temporary, name, *made);
        return out.ok() ? Answer<Replaced>(Replaced()) : out.failure();
    }
    judged.close();
    removeFile(temporary);
    // Another taker that exchanged the name meanwhile puts this file back at once.
    for (int wait = 0; wait < 5000; ++wait) {
        const auto at = made->isAt(*this, name);
        if (!at.ok())
            return at.failure();
        if (*at)
            return Replaced(std::move(*made));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return Replaced();
}

Answer<std::optional<std::string>> FolderHandle::read(const std::string& name, std::size_t limit) const
{
    using Text = std::optional<std::string>;
    auto file = openFile(name);
    if (!file.ok())
        return file.error() == ENOENT || file.error() == ELOOP ? Answer<Text>(std::nullopt) : file.failure();
    const auto found = file->status();
    if (!found.ok())
        return Failure{found.error(), pathOf(name)};
    if (!S_ISREG(found->st_mode))
        return Text();
    auto text = file->readAll(limit);
    if (!text.ok())
        return Failure{text.error(), pathOf(name)};
    return Text(std::move(*text));
}

Answer<std::string> FolderHandle::contentKey(const std::string& name) const
{
    // Planning files are small: read whole, then hashed.
    const auto bytes = read(name, std::numeric_limits<std::size_t>::max());
    if (!bytes.ok())
        return bytes.failure();
    if (!*bytes)
        return std::string();
    return std::to_string((*bytes)->size()) + " " +
           QCryptographicHash::hash(QByteArrayView(**bytes), QCryptographicHash::Sha256).toHex().toStdString();
}

Answer<bool> FolderHandle::sameBytes(const FolderHandle& a, const std::string& aName, const FolderHandle& b,
                                     const std::string& bName)
{
    const auto first = a.status(aName), second = b.status(bName);
    for (const auto* found : {&first, &second})
        if (!found->ok() && found->error() != ENOENT)
            return found->failure();
    if (!first.ok() || !second.ok() || !S_ISREG(first->st_mode) || !S_ISREG(second->st_mode) ||
        first->st_size != second->st_size)
        return false;
    if (first->st_dev == second->st_dev && first->st_ino == second->st_ino)
        return true;
    auto fa = a.openFile(aName);
    if (!fa.ok())
        return fa.error() == ENOENT || fa.error() == ELOOP ? Answer<bool>(false) : fa.failure();
    auto fb = b.openFile(bName);
    if (!fb.ok())
        return fb.error() == ENOENT || fb.error() == ELOOP ? Answer<bool>(false) : fb.failure();
    // Compared a block at a time: series files are large.
    constexpr std::size_t block = 1 << 20;
    for (std::size_t at = 0;; at += block) {
        std::string x, y;
        char buffer[65536];
        for (auto [fd, text, name] : {std::tuple{fa->fd_, &x, a.pathOf(aName)}, std::tuple{fb->fd_, &y, b.pathOf(bName)}})
            while (text->size() < block) {
                const ssize_t n = Sys::pread(fd, buffer, std::min(sizeof buffer, block - text->size()),
                                             off_t(at + text->size()));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return Failure{lastError(), name};
                if (n == 0)
                    break;
                text->append(buffer, std::size_t(n));
            }
        if (x != y)
            return false;
        if (x.size() < block)
            return true;
    }
}

Answer<std::uintmax_t> FolderHandle::treeSize() const
{
    const auto names = entries();
    if (!names.ok())
        return names.failure();
    std::uintmax_t size = 0;
    for (const std::string& name : *names) {
        const auto found = status(name);
        if (!found.ok()) {
            if (found.error() == ENOENT)
                continue; // gone meanwhile
            return found.failure();
        }
        if (S_ISDIR(found->st_mode)) {
            const FolderHandle inner = child(name);
            if (!inner && inner.isNoFolder())
                continue;
            const auto below = inner.treeSize();
            if (!below.ok())
                return below.failure();
            size += *below;
        } else if (S_ISREG(found->st_mode)) {
            size += std::uintmax_t(found->st_size);
        }
    }
    return size;
}

Answer<Done> FolderHandle::sync() const
{
    if (!valid())
        return failure();
    return doneOr(Sys::fsync(fd_));
}

// ---- The steps of a save's staging and read-back ----

Answer<FolderHandle::File> FolderHandle::openPath(const std::string& path)
{
    const int fd = path.empty() ? -1 : Sys::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return Failure{path.empty() ? ENOENT : lastError()};
    return File(fd);
}

Answer<FolderHandle::Kind> FolderHandle::kindAt(const std::string& path)
{
    struct stat status{};
    if (path.empty() || failed(Call::status, AT_FDCWD, path.c_str()) || ::stat(path.c_str(), &status) != 0) {
        const int error = path.empty() ? ENOENT : lastError();
        return error == ENOENT || error == ENOTDIR ? Answer<Kind>(Kind::none) : Failure{error};
    }
    if (S_ISREG(status.st_mode))
        return Kind::file;
    return S_ISDIR(status.st_mode) ? Kind::folder : Kind::other;
}

Answer<FolderHandle::Kind> FolderHandle::kindBelow(const std::string& relative) const
{
    const std::filesystem::path path(relative);
    const FolderHandle in = child(path.parent_path().string());
    if (!in)
        return in.error() == ENOENT ? Answer<Kind>(Kind::none) : Failure{in.error(), in.path()};
    return in.kind(path.filename().string());
}

Answer<std::optional<std::string>> FolderHandle::readBelow(const std::string& relative, std::size_t limit) const
{
    const std::filesystem::path path(relative);
    const FolderHandle in = child(path.parent_path().string());
    if (!in)
        return in.isNoFolder() ? Answer<std::optional<std::string>>(std::nullopt) : Failure{in.error(), in.path()};
    return in.read(path.filename().string(), limit);
}

Answer<Done> FolderHandle::linkIn(const File& file, const std::string& name) const
{
    if (!valid())
        return failure();
    // Through the open file: a link put at its path meanwhile is never what gets the name.
    return doneOr(Sys::linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(file.fd_)).c_str(), fd_, name.c_str(),
                              AT_SYMLINK_FOLLOW));
}
