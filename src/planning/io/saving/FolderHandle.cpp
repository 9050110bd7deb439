#include "planning/io/saving/FolderHandle.h"

#include "vexa/io/AtomicFile.h"

#include <QCryptographicHash>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <memory>
#include <random>
#include <sys/file.h>
#include <unistd.h>

namespace {

using Call = FolderHandle::SystemCall;
using Injector = std::function<int(Call)>;

std::atomic<std::shared_ptr<const Injector>> injector;

// Whether a test fails this call; errno is set then.
bool failed(Call call)
{
    const auto inject = injector.load(std::memory_order_acquire);
    if (!inject)
        return false;
    if (const int error = (*inject)(call)) {
        errno = error;
        return true;
    }
    return false;
}

// What is made is the user's as the umask has it: files 0666 and folders 0777 before it.
constexpr mode_t fileMode = 0666, folderMode = 0777;

// The table of system calls: each gives -1 with errno set, as the call itself does.
namespace Sys {

int open(const char* path, int flags)
{
    return failed(Call::open) ? -1 : ::open(path, flags, fileMode);
}
int openat(int folder, const char* name, int flags)
{
    return failed(Call::open) ? -1 : ::openat(folder, name, flags, fileMode);
}
int duplicate(int fd)
{
    return failed(Call::duplicate) ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}
int fstat(int fd, struct stat* status)
{
    return failed(Call::status) ? -1 : ::fstat(fd, status);
}
int fstatat(int folder, const char* name, struct stat* status)
{
    return failed(Call::status) ? -1 : ::fstatat(folder, name, status, AT_SYMLINK_NOFOLLOW);
}
// The next entry; nullptr with errno 0 at the end.
dirent* readdir(DIR* dir)
{
    if (failed(Call::list))
        return nullptr;
    errno = 0;
    return ::readdir(dir);
}
ssize_t pread(int fd, void* buffer, std::size_t size, off_t at)
{
    return failed(Call::read) ? -1 : ::pread(fd, buffer, size, at);
}
ssize_t pwrite(int fd, const void* buffer, std::size_t size, off_t at)
{
    return failed(Call::write) ? -1 : ::pwrite(fd, buffer, size, at);
}
int ftruncate(int fd, off_t size)
{
    return failed(Call::truncate) ? -1 : ::ftruncate(fd, size);
}
int fsync(int fd)
{
    return failed(Call::sync) ? -1 : ::fsync(fd);
}
int flock(int fd)
{
    return failed(Call::lock) ? -1 : ::flock(fd, LOCK_EX | LOCK_NB);
}
int renameat2(int from, const char* name, int to, const char* toName, unsigned flags)
{
    return failed(Call::rename) ? -1 : ::renameat2(from, name, to, toName, flags);
}
int renameat(int from, const char* name, int to, const char* toName)
{
    return failed(Call::rename) ? -1 : ::renameat(from, name, to, toName);
}
int unlinkat(int folder, const char* name, int flags)
{
    return failed(Call::remove) ? -1 : ::unlinkat(folder, name, flags);
}
int mkdirat(int folder, const char* name)
{
    return failed(Call::makeFolder) ? -1 : ::mkdirat(folder, name, folderMode);
}
int linkat(int from, const char* name, int to, const char* toName, int flags)
{
    return failed(Call::link) ? -1 : ::linkat(from, name, to, toName, flags);
}
int faccessat(int folder, const char* name, int mode)
{
    return failed(Call::access) ? -1 : ::faccessat(folder, name, mode, AT_EACCESS);
}

}

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The errno value of the last failed call, never 0.
int lastError()
{
    return errno ? errno : EIO;
}

// O_NONBLOCK: a pipe put there must never hold the program.
int openFileAt(int folder, const std::string& name, bool writable)
{
    return Sys::openat(folder, name.c_str(), (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
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

// A name for a temporary file of `name`'s, of the kind a start removes should a crash leave it
// (Vexa::AtomicFile's).
std::string temporaryName(const std::string& name)
{
    thread_local std::mt19937 draw{std::random_device{}()};
    char tag[8];
    std::snprintf(tag, sizeof tag, "%06x", unsigned(draw() & 0xffffffu));
    return "." + name + Vexa::AtomicFile::temporaryTag + tag;
}

// Writes all of the text from the file's start; 0 or the errno value.
int writeAt(int fd, const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = Sys::pwrite(fd, text.data() + done, text.size() - done, off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? lastError() : ENOSPC;
        done += std::size_t(n);
    }
    return 0;
}

}

void FolderHandle::setFaultInjector(std::function<int(SystemCall)> function)
{
    injector.store(function ? std::make_shared<const Injector>(std::move(function)) : nullptr,
                   std::memory_order_release);
}

// ---- File ----

FolderHandle::File::File(File&& other) noexcept : fd_(other.fd_)
{
    other.fd_ = -1;
}

FolderHandle::File& FolderHandle::File::operator=(File&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

FolderHandle::File::~File()
{
    close();
}

void FolderHandle::File::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

Answer<FolderHandle::File::Lock> FolderHandle::File::lock() const
{
    if (Sys::flock(fd_) == 0)
        return Lock::taken;
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

int FolderHandle::File::rewrite(const std::string& text) const
{
    if (const int error = writeAt(fd_, text))
        return error;
    return Sys::ftruncate(fd_, off_t(text.size())) == 0 ? 0 : lastError();
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

int FolderHandle::File::removeFrom(const FolderHandle& folder, const std::string& name)
{
    if (!isOpen())
        return 0;
    const auto here = isAt(folder, name);
    const int error = !here.ok() ? here.error() : (*here ? folder.removeFile(name) : 0);
    close();
    return error == ENOENT ? 0 : error;
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
    const int made = above ? above.makeFolder(plain.filename().string()) : above.error_;
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
        return Failure{error_ ? error_ : EBADF};
    // A listing of its own: the handle's position is shared by every dup.
    const int fd = Sys::openat(fd_, ".", folderFlags);
    if (fd < 0)
        return Failure{lastError()};
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        const int error = lastError();
        ::close(fd);
        return Failure{error};
    }
    std::vector<std::string> names;
    int error = 0;
    for (;;) {
        const dirent* entry = Sys::readdir(dir);
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
        return Failure{error};
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
        return Failure{error_ ? error_ : EBADF};
    if (Sys::fstatat(fd_, name.c_str(), &status) != 0)
        return Failure{lastError()};
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

int FolderHandle::moveTo(const std::string& name, const FolderHandle& to, const std::string& toName) const
{
    if (Sys::renameat2(fd_, name.c_str(), to.fd_, toName.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return lastError();
    // A file system without the flag: the look and the rename are two steps there.
    const auto there = to.has(toName);
    if (!there.ok())
        return there.error();
    if (*there)
        return EEXIST;
    return Sys::renameat(fd_, name.c_str(), to.fd_, toName.c_str()) == 0 ? 0 : lastError();
}

int FolderHandle::replace(const std::string& name, const FolderHandle& to, const std::string& toName) const
{
    return Sys::renameat(fd_, name.c_str(), to.fd_, toName.c_str()) == 0 ? 0 : lastError();
}

int FolderHandle::removeFile(const std::string& name) const
{
    return Sys::unlinkat(fd_, name.c_str(), 0) == 0 ? 0 : lastError();
}

int FolderHandle::removeFolder(const std::string& name) const
{
    return Sys::unlinkat(fd_, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : lastError();
}

int FolderHandle::removeAll(const std::string& name) const
{
    const auto found = kind(name);
    if (!found.ok())
        return found.error();
    if (*found == Kind::none)
        return 0;
    if (*found != Kind::folder) {
        const int error = removeFile(name);
        return error == ENOENT ? 0 : error;
    }
    const FolderHandle inner = child(name);
    if (!inner)
        return inner.error() == ENOENT ? 0 : inner.error();
    const auto names = inner.entries();
    if (!names.ok())
        return names.error();
    int first = 0;
    for (const std::string& entry : *names)
        if (const int error = inner.removeAll(entry); error && !first)
            first = error;
    if (first)
        return first;
    const int error = removeFolder(name);
    return error == ENOENT ? 0 : error;
}

int FolderHandle::makeFolder(const std::string& name) const
{
    return Sys::mkdirat(fd_, name.c_str()) == 0 ? 0 : lastError();
}

int FolderHandle::mayRemove(const std::string& name) const
{
    if (!valid())
        return error_ ? error_ : EBADF;
    if (Sys::faccessat(fd_, ".", W_OK | X_OK) != 0)
        return lastError();
    const auto entry = status(name);
    if (!entry.ok())
        return entry.error();
    struct stat folder{};
    if (Sys::fstat(fd_, &folder) != 0)
        return lastError();
    // In a folder with the sticky bit only the owner of the entry or of the folder may.
    if ((folder.st_mode & S_ISVTX) && ::geteuid() != 0 && entry->st_uid != ::geteuid() && folder.st_uid != ::geteuid())
        return EPERM;
    return 0;
}

Answer<FolderHandle::File> FolderHandle::openFile(const std::string& name, bool writable) const
{
    if (!valid())
        return Failure{error_ ? error_ : EBADF};
    const int fd = openFileAt(fd_, name, writable);
    if (fd < 0)
        return Failure{lastError()};
    return File(fd);
}

Answer<FolderHandle::File> FolderHandle::createWhole(const std::string& name, const std::string& text) const
{
    if (!valid())
        return Failure{error_ ? error_ : EBADF};
    // Written and synced without a name, then linked in: nobody sees the file without its text.
    int fd = Sys::openat(fd_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC);
    std::string temporary;
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without nameless files: under a temporary name of its own, which a start
        // removes should a crash leave it (Vexa::AtomicFile's names).
        for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            temporary = temporaryName(name);
            fd = Sys::openat(fd_, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0 && errno != EEXIST)
                break;
        }
    }
    if (fd < 0)
        return Failure{lastError()};
    File file(fd);
    int error = writeAt(fd, text);
    if (!error && Sys::fsync(fd) != 0)
        error = lastError();
    // Locked before it has its name, so that nobody ever finds it free; nobody else can have
    // opened a file without a name.
    if (!error)
        if (const auto locked = file.lock(); !locked.ok())
            error = locked.error();
    if (!error) {
        const bool linked =
            temporary.empty()
                ? Sys::linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), fd_, name.c_str(),
                              AT_SYMLINK_FOLLOW) == 0
                : Sys::linkat(fd_, temporary.c_str(), fd_, name.c_str(), 0) == 0;
        if (!linked)
            error = lastError();
    }
    if (!temporary.empty())
        Sys::unlinkat(fd_, temporary.c_str(), 0);
    if (error)
        return Failure{error};
    return file;
}

int FolderHandle::writeWhole(const std::string& name, const std::string& text) const
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temporary = temporaryName(name);
        const auto made = createWhole(temporary, text);
        if (!made.ok() && made.error() == EEXIST)
            continue;
        if (!made.ok())
            return made.error();
        const int error = replace(temporary, *this, name);
        if (error)
            removeFile(temporary);
        return error;
    }
    return EEXIST;
}

Answer<std::optional<std::string>> FolderHandle::read(const std::string& name, std::size_t limit) const
{
    using Text = std::optional<std::string>;
    auto file = openFile(name, false);
    if (!file.ok())
        return file.error() == ENOENT || file.error() == ELOOP ? Answer<Text>(std::nullopt) : file.failure();
    const auto found = file->status();
    if (!found.ok())
        return found.failure();
    if (!S_ISREG(found->st_mode))
        return Text();
    auto text = file->readAll(limit);
    if (!text.ok())
        return text.failure();
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
    auto fa = a.openFile(aName, false);
    if (!fa.ok())
        return fa.error() == ENOENT || fa.error() == ELOOP ? Answer<bool>(false) : fa.failure();
    auto fb = b.openFile(bName, false);
    if (!fb.ok())
        return fb.error() == ENOENT || fb.error() == ELOOP ? Answer<bool>(false) : fb.failure();
    // Compared a block at a time: series files are large.
    constexpr std::size_t block = 1 << 20;
    for (std::size_t at = 0;; at += block) {
        std::string x, y;
        char buffer[65536];
        for (auto [fd, text] : {std::pair{fa->fd_, &x}, std::pair{fb->fd_, &y}})
            while (text->size() < block) {
                const ssize_t n = Sys::pread(fd, buffer, std::min(sizeof buffer, block - text->size()),
                                             off_t(at + text->size()));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return Failure{lastError()};
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

int FolderHandle::sync() const
{
    if (!valid())
        return error_ ? error_ : EBADF;
    return Sys::fsync(fd_) == 0 ? 0 : lastError();
}

// ---- The steps of a save's staging and read-back ----

namespace {

// Copies every byte of one open file into another, from their starts.
FolderHandle::CopyFailure copyBytes(int from, int to, off_t& copied)
{
    // A series file, a picture or a surface in one read mostly.
    std::vector<char> buffer(1 << 20);
    for (copied = 0;;) {
        const ssize_t n = Sys::pread(from, buffer.data(), buffer.size(), copied);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {lastError(), true};
        if (n == 0)
            return {};
        for (ssize_t done = 0; done < n;) {
            const ssize_t written = Sys::pwrite(to, buffer.data() + done, std::size_t(n - done), copied + done);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return {written < 0 ? lastError() : ENOSPC, false};
            done += written;
        }
        copied += n;
    }
}

}

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
    if (path.empty() || failed(Call::status) || ::stat(path.c_str(), &status) != 0) {
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
        return in.error() == ENOENT ? Answer<Kind>(Kind::none) : Failure{in.error()};
    return in.kind(path.filename().string());
}

Answer<std::optional<std::string>> FolderHandle::readBelow(const std::string& relative, std::size_t limit) const
{
    const std::filesystem::path path(relative);
    const FolderHandle in = child(path.parent_path().string());
    if (!in)
        return in.isNoFolder() ? Answer<std::optional<std::string>>(std::nullopt) : Failure{in.error()};
    return in.read(path.filename().string(), limit);
}

int FolderHandle::linkIn(const File& file, const std::string& name) const
{
    if (!valid())
        return error_ ? error_ : EBADF;
    // Through the open file: a link put at its path meanwhile is never what gets the name.
    return Sys::linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(file.fd_)).c_str(), fd_, name.c_str(),
                       AT_SYMLINK_FOLLOW) == 0
               ? 0
               : lastError();
}

FolderHandle::CopyFailure FolderHandle::copyIn(const File& from, const std::string& name) const
{
    const auto made = createWhole(name, {});
    if (!made.ok())
        return {made.error(), false};
    off_t copied = 0;
    CopyFailure failure = copyBytes(from.fd_, made->fd_, copied);
    if (!failure.error && Sys::fsync(made->fd_) != 0)
        failure = {lastError(), false};
    // Checked to the last byte on the disk.
    if (const auto written = made->status(); !failure.error && !written.ok())
        failure = {written.error(), false};
    else if (!failure.error && written->st_size != copied)
        failure = {EIO, false};
    if (failure.error)
        removeFile(name);
    return failure;
}
