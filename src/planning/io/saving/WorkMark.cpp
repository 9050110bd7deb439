#include "planning/io/saving/WorkMark.h"

#include "planning/io/saving/LockHolder.h"
#include "vexa/io/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace HolderFile;

// The first line of every mark, so that a file of that name from anyone else is never judged.
constexpr char magic[] = "morvanta-work 1";

std::string describe(const LockHolder& holder)
{
    return std::string(magic) + "\n" + holder.lines();
}

std::optional<LockHolder> holderIn(const std::string& text)
{
    return LockHolder::named(text, magic, true);
}

// Whether the holder the mark names is gone beyond doubt; else `why` says what is so. `locked`:
// this process holds the file's lock now (false where the file system takes none).
bool isGone(const std::string& text, bool locked, std::string& why)
{
    // A holder that died between making the file and writing its name; one that was about to
    // lock it finds it locked by whoever asks here and gives the folder up. Without locks that
    // instant cannot be told from a death.
    if (text.empty()) {
        why = "a save may be at work in it (its mark names no holder yet, and the file system takes no locks)";
        return locked;
    }
    const auto holder = holderIn(text);
    if (!holder) {
        why = "its mark is not one of this program's";
        return false;
    }
    if (!holder->isOnThisComputer()) {
        why = "a save of the computer " + holder->host + " has not finished there; that computer removes it should it " +
              "have been cut off";
        return false;
    }
    why = "a save is at work in it";
    return holder->isGone();
}

}

std::unique_ptr<WorkMark> WorkMark::create(const FolderHandle& folder)
{
    const int fd = ::openat(folder.fd(), fileName, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        if (errno == EEXIST)
            return nullptr;
        throw Vexa::WriteError(folder.pathOf(fileName), errno);
    }
    // Taken by another instance in the instant before the lock: a start that found it empty.
    if (lock(fd) == Lock::held) {
        ::close(fd);
        return nullptr;
    }
    if (!writeAll(fd, describe(LockHolder::self()))) {
        const int error = errno ? errno : ENOSPC;
        folder.removeFile(fileName);
        ::close(fd);
        throw Vexa::WriteError(folder.pathOf(fileName), error);
    }
    return std::unique_ptr<WorkMark>(new WorkMark(fd, folder.again(), false));
}

std::unique_ptr<WorkMark> WorkMark::take(const FolderHandle& folder, bool orCreate, std::string* why)
{
    std::string reason = "no mark can be made in it";
    const auto refuse = [&](int fd) {
        if (fd >= 0)
            ::close(fd);
        if (why)
            *why = reason;
        return nullptr;
    };
    const int fd = folder ? ::openat(folder.fd(), fileName, O_RDWR | O_CLOEXEC | O_NOFOLLOW) : -1;
    if (fd < 0) {
        if (!folder || errno != ENOENT || !orCreate)
            return refuse(-1);
        try {
            if (auto made = create(folder))
                return made;
        } catch (const Vexa::WriteError&) {
        }
        return refuse(-1);
    }
    const Lock state = lock(fd);
    reason = "a save is at work in it";
    // Still the mark at its place once locked: a holder that finished meanwhile removed it.
    if (state == Lock::held || !isSameFile(fd, folder, fileName))
        return refuse(fd);
    const std::string text = readAll(fd, 4096);
    if (text.size() >= 4096) {
        reason = "its mark is not one of this program's";
        return refuse(fd);
    }
    // Named after the new holder, so that others judge it by this process from now on.
    if (!isGone(text, state == Lock::taken, reason) || ::ftruncate(fd, 0) != 0 ||
        !writeAll(fd, describe(LockHolder::self())))
        return refuse(fd);
    return std::unique_ptr<WorkMark>(new WorkMark(fd, folder.again(), true));
}

std::unique_ptr<WorkMark> WorkMark::take(const std::string& folder, bool orCreate, std::string* why)
{
    return take(FolderHandle::open(folder, true), orCreate, why);
}

bool WorkMark::isHeld(const FolderHandle& folder)
{
    const int fd = folder ? ::openat(folder.fd(), fileName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW) : -1;
    if (fd < 0)
        return false;
    const bool held = lock(fd) == Lock::held;
    ::close(fd); // lets go of the lock this took, if it took one
    return held;
}

bool WorkMark::isHeld(const std::string& folder)
{
    return isHeld(FolderHandle::open(folder, true));
}

bool WorkMark::isIn(const FolderHandle& folder)
{
    return folder.has(fileName);
}

std::optional<LockHolder> WorkMark::holderOf(const FolderHandle& folder, std::time_t* since)
{
    const auto text = folder.read(fileName, 4096);
    const auto holder = text ? holderIn(*text) : std::nullopt;
    if (holder && since) {
        const auto status = folder.status(fileName);
        *since = status ? status->st_mtime : 0;
    }
    return holder;
}

WorkMark::~WorkMark()
{
    if (fd_ < 0)
        return;
    if (isSameFile(fd_, folder_, fileName))
        folder_.removeFile(fileName);
    ::close(fd_);
}

void WorkMark::leave()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}
