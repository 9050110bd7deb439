#include "planning/io/saving/FolderHandle.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <unistd.h>

namespace {

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

int openFile(int folder, const std::string& name)
{
    // O_NONBLOCK: a pipe put there must never hold the program.
    return ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
}

bool isRegular(int fd, struct stat& status)
{
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

}

FolderHandle FolderHandle::open(const std::string& path, bool followLinks)
{
    const int fd = path.empty() ? -1 : ::open(path.c_str(), folderFlags | (followLinks ? 0 : O_NOFOLLOW));
    const int error = path.empty() ? ENOENT : errno;
    // Named in its plain absolute form, so that "a/b/", "a/./b" and "a/b" read alike.
    std::error_code failed;
    std::filesystem::path plain = std::filesystem::absolute(path, failed).lexically_normal();
    if (!plain.has_filename())
        plain = plain.parent_path();
    return FolderHandle(fd, plain.string(), fd < 0 ? error : 0);
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
        return FolderHandle(-1, pathOf(relative), EBADF);
    // One name at a time: O_NOFOLLOW looks at the last name only.
    int at = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    std::string path = path_;
    for (const auto& part : std::filesystem::path(relative)) {
        const std::string name = part.string();
        if (name.empty() || name == ".")
            continue;
        path += "/" + name;
        const int next = name == ".." ? -1 : ::openat(at, name.c_str(), folderFlags | O_NOFOLLOW);
        const int error = name == ".." ? EINVAL : errno;
        ::close(at);
        if (next < 0)
            return FolderHandle(-1, path, error == ELOOP ? ENOTDIR : error);
        at = next;
    }
    return FolderHandle(at, path, 0);
}

bool FolderHandle::isSameFolder(const FolderHandle& other) const
{
    struct stat a{}, b{};
    return valid() && other.valid() && ::fstat(fd_, &a) == 0 && ::fstat(other.fd_, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

FolderHandle FolderHandle::again() const
{
    const int fd = valid() ? ::fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1;
    return FolderHandle(fd, path_, fd < 0 ? EBADF : 0);
}

std::optional<std::vector<std::string>> FolderHandle::list(bool firstOnly) const
{
    if (!valid())
        return std::nullopt;
    // A listing of its own: the handle's position is shared by every dup.
    const int fd = ::openat(fd_, ".", folderFlags);
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        names.push_back(name);
        if (firstOnly)
            break;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> FolderHandle::entries() const
{
    return list(false).value_or(std::vector<std::string>());
}

std::optional<struct stat> FolderHandle::status(const std::string& name) const
{
    struct stat status{};
    if (!valid() || ::fstatat(fd_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return status;
}

FolderHandle::Kind FolderHandle::kind(const std::string& name) const
{
    const auto found = status(name);
    if (!found)
        return Kind::none;
    if (S_ISREG(found->st_mode))
        return Kind::file;
    if (S_ISDIR(found->st_mode))
        return Kind::folder;
    return S_ISLNK(found->st_mode) ? Kind::link : Kind::other;
}

bool FolderHandle::isEmpty() const
{
    const auto first = list(true);
    return first && first->empty();
}

int FolderHandle::moveTo(const std::string& name, const FolderHandle& to, const std::string& toName) const
{
    if (::renameat2(fd_, name.c_str(), to.fd_, toName.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without the flag: the look and the rename are two steps there.
    if (to.has(toName))
        return EEXIST;
    return ::renameat(fd_, name.c_str(), to.fd_, toName.c_str()) == 0 ? 0 : errno;
}

int FolderHandle::replace(const std::string& name, const FolderHandle& to, const std::string& toName) const
{
    return ::renameat(fd_, name.c_str(), to.fd_, toName.c_str()) == 0 ? 0 : errno;
}

int FolderHandle::removeFile(const std::string& name) const
{
    return ::unlinkat(fd_, name.c_str(), 0) == 0 ? 0 : errno;
}

int FolderHandle::removeFolder(const std::string& name) const
{
    return ::unlinkat(fd_, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

int FolderHandle::removeAll(const std::string& name) const
{
    if (kind(name) != Kind::folder) {
        const int error = removeFile(name);
        return error == ENOENT ? 0 : error;
    }
    const FolderHandle inner = child(name);
    if (!inner)
        return inner.error();
    int first = 0;
    for (const std::string& entry : inner.entries())
        if (const int error = inner.removeAll(entry); error && !first)
            first = error;
    const int error = removeFolder(name);
    return first ? first : (error == ENOENT ? 0 : error);
}

int FolderHandle::makeFolder(const std::string& name) const
{
    return ::mkdirat(fd_, name.c_str(), 0777) == 0 ? 0 : errno;
}

int FolderHandle::mayRemove(const std::string& name) const
{
    if (!valid())
        return EBADF;
    if (::faccessat(fd_, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return errno;
    struct stat folder{};
    const auto entry = status(name);
    if (!entry)
        return errno;
    // In a folder with the sticky bit only the owner of the entry or of the folder may.
    if (::fstat(fd_, &folder) == 0 && (folder.st_mode & S_ISVTX) && ::geteuid() != 0 &&
        entry->st_uid != ::geteuid() && folder.st_uid != ::geteuid())
        return EPERM;
    return 0;
}

std::optional<std::string> FolderHandle::read(const std::string& name, std::size_t limit) const
{
    const int fd = valid() ? openFile(fd_, name) : -1;
    if (fd < 0)
        return std::nullopt;
    struct stat status{};
    std::optional<std::string> text;
    if (isRegular(fd, status)) {
        text.emplace();
        char buffer[65536];
        for (ssize_t n; text->size() < limit && (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                text.reset();
                break;
            }
            text->append(buffer, std::min(std::size_t(n), limit - text->size()));
        }
    }
    ::close(fd);
    return text;
}

std::string FolderHandle::contentKey(const std::string& name) const
{
    // Planning files are small: read whole, then hashed.
    const auto bytes = read(name, std::numeric_limits<std::size_t>::max());
    if (!bytes)
        return {};
    return std::to_string(bytes->size()) + " " +
           QCryptographicHash::hash(QByteArrayView(*bytes), QCryptographicHash::Sha256).toHex().toStdString();
}

bool FolderHandle::sameBytes(const FolderHandle& a, const std::string& aName, const FolderHandle& b,
                             const std::string& bName)
{
    const auto first = a.status(aName), second = b.status(bName);
    if (!first || !second || !S_ISREG(first->st_mode) || !S_ISREG(second->st_mode) ||
        first->st_size != second->st_size)
        return false;
    if (first->st_dev == second->st_dev && first->st_ino == second->st_ino)
        return true;
    const int fa = openFile(a.fd_, aName), fb = openFile(b.fd_, bName);
    bool same = fa >= 0 && fb >= 0;
    char x[65536], y[65536];
    while (same) {
        const ssize_t n = ::read(fa, x, sizeof x);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            same = n == 0 && ::read(fb, y, 1) == 0;
            break;
        }
        ssize_t got = 0;
        while (got < n) {
            const ssize_t m = ::read(fb, y + got, std::size_t(n - got));
            if (m < 0 && errno == EINTR)
                continue;
            if (m <= 0)
                break;
            got += m;
        }
        same = got == n && std::memcmp(x, y, std::size_t(n)) == 0;
    }
    if (fa >= 0)
        ::close(fa);
    if (fb >= 0)
        ::close(fb);
    return same;
}

std::uintmax_t FolderHandle::treeSize() const
{
    std::uintmax_t size = 0;
    for (const std::string& name : entries()) {
        const auto found = status(name);
        if (!found)
            continue;
        if (S_ISDIR(found->st_mode))
            size += child(name).treeSize();
        else if (S_ISREG(found->st_mode))
            size += std::uintmax_t(found->st_size);
    }
    return size;
}

void FolderHandle::sync() const
{
    if (valid())
        ::fsync(fd_);
}
