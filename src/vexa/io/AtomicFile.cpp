#include "vexa/io/AtomicFile.h"

#include "vexa/io/Reason.h"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Vexa {

WriteError::WriteError(const std::string& path, int error) : WriteError(path, error, AtomicFile::failureText(path, error))
{
}

bool WriteError::isDiskFull() const
{
    return AtomicFile::isDiskFull(error_);
}

namespace {

std::string folderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Files are made as every program makes them: 0666 before the user's umask, so that in a folder a
// group shares they are the group's as the umask says.
constexpr mode_t fileMode = 0666;

// Six characters of a temporary name, as mkstemp draws them.
std::string drawnTag()
{
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937 draw{std::random_device{}()};
    std::string tag(6, 'x');
    for (char& c : tag)
        c = letters[draw() % (sizeof letters - 1)];
    return tag;
}

// Closes and reports whether the close itself failed (NFS and some FUSE file systems report
// a failed write-back only here).
int closeChecked(int& fd)
{
    const int result = ::close(fd);
    fd = -1;
    return result == 0 || errno == EINTR ? 0 : errno;
}

}

AtomicFile::AtomicFile(std::string path, bool directFallback)
    : path_(std::move(path))
{
    fd_ = createTemporaryBeside(path_, temporary_, O_RDWR);
    const int error = fd_ < 0 ? errno : 0;
    if (fd_ >= 0) {
        // The new file keeps the mode of the one it replaces.
        struct stat old{};
        if (::stat(path_.c_str(), &old) == 0 && ::fchmod(fd_, old.st_mode & 07777) != 0)
            fail(errno);
        return;
    }
    temporary_.clear();
    if (directFallback && (error == EACCES || error == EPERM || error == EROFS) && ::access(path_.c_str(), W_OK) == 0) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd_ >= 0)
            return;
    }
    throw WriteError(path_, error);
}

AtomicFile::~AtomicFile()
{
    if (fd_ >= 0)
        ::close(fd_);
    if (!committed_ && !temporary_.empty())
        ::unlink(temporary_.c_str());
}

void AtomicFile::write(const void* data, std::size_t size)
{
    if (fd_ < 0)
        throw WriteError(path_, EBADF);
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, at, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
        }
        if (n == 0)
            fail(ENOSPC);
        at += n;
        size -= static_cast<std::size_t>(n);
        written_ += static_cast<std::size_t>(n);
    }
}

void AtomicFile::commit()
{
    if (fd_ < 0)
        throw WriteError(path_, EBADF);
    if (::fsync(fd_) != 0 && errno != EINVAL)
        fail(errno);
    struct stat written{};
    if (::fstat(fd_, &written) != 0)
        fail(errno);
    if (static_cast<std::size_t>(written.st_size) != written_)
        fail(EIO);
    if (const int error = closeChecked(fd_))
        fail(error);
    if (!temporary_.empty()) {
        if (::rename(temporary_.c_str(), path_.c_str()) != 0)
            fail(errno);
        // The rename itself reaches the disk with the folder.
        const int folder = ::open(folderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
    }
    committed_ = true;
}

void AtomicFile::fail(int error)
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temporary_.empty())
        ::unlink(temporary_.c_str());
    temporary_.clear();
    throw WriteError(path_, error);
}

std::string AtomicFile::temporaryNameFor(std::string_view name)
{
    // Appended in turn into room made first: GCC 12 at -O3 takes the insertion that "." + name
    // makes for an overlapping copy (-Wrestrict).
    const std::string drawn = drawnTag();
    std::string temporary;
    temporary.reserve(1 + name.size() + sizeof temporaryTag - 1 + drawn.size());
    temporary.append(".").append(name).append(temporaryTag).append(drawn);
    return temporary;
}

int AtomicFile::createTemporaryBeside(const std::string& path, std::string& temporary, int access)
{
    const auto slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = folderOf(path) + "/" + temporaryNameFor(name);
        const int fd = ::open(temporary.c_str(), access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, fileMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool AtomicFile::isTemporaryName(std::string_view name)
{
    // "." + name + tag + the six characters drawn (drawnTag, as mkstemp draws them).
    const std::size_t tag = sizeof temporaryTag - 1;
    if (name.size() < 2 + tag + 6 || name.front() != '.')
        return false;
    const std::string_view end = name.substr(name.size() - tag - 6);
    if (end.substr(0, tag) != temporaryTag)
        return false;
    for (const char c : end.substr(tag))
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    return true;
}

void AtomicFile::writeFile(const std::string& path, std::string_view bytes, bool directFallback)
{
    AtomicFile file(path, directFallback);
    file.write(bytes);
    file.commit();
}

void AtomicFile::copyFile(const std::string& from, const std::string& to)
{
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        throw std::runtime_error("Could not read " + from + ": " + reasonOf(errno));
    struct Closer
    {
        int& fd;
        ~Closer() { ::close(fd); }
    } closer{in};
    AtomicFile out(to);
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("Could not read " + from + ": " + reasonOf(errno));
        }
        if (n == 0)
            break;
        out.write(buffer.data(), static_cast<std::size_t>(n));
    }
    out.commit();
}

void AtomicFile::appendFile(const std::string& path, std::string_view bytes)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, fileMode);
    if (fd < 0)
        throw WriteError(path, errno);
    struct stat before{};
    if (::fstat(fd, &before) != 0) {
        const int error = errno;
        ::close(fd);
        throw WriteError(path, error);
    }
    int error = writeAll(fd, bytes);
    if (!error && ::fsync(fd) != 0 && errno != EINVAL)
        error = errno;
    if (error) {
        // What part of the record got there goes again.
        [[maybe_unused]] const int cut = ::ftruncate(fd, before.st_size);
    }
    const int closed = closeChecked(fd);
    if (error || closed)
        throw WriteError(path, error ? error : closed);
}

int AtomicFile::writeAll(int fd, std::string_view bytes)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

std::string AtomicFile::failureText(const std::string& path, int error)
{
    if (isDiskFull(error))
        return "The disk is full: " + path + " could not be written.";
    return "Could not write " + path + ": " + reasonOf(error);
}

bool AtomicFile::isDiskFull(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

}
