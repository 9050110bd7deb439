#include "planning/io/saving/OriginLock.h"

#include "planning/io/PlanningFile.h"
#include "planning/io/saving/LockHolder.h"

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace HolderFile;

constexpr char magic[] = "morvanta-origin-lock 1";
constexpr auto beatEvery = std::chrono::seconds(1);
constexpr auto pollEvery = std::chrono::milliseconds(50);

std::string contents(const LockHolder& holder, unsigned long beat)
{
    return std::string(magic) + "\n" + holder.lines() + std::to_string(beat) + "\n";
}

// The holder a lock file names (its beat follows); nothing for a file that is not one of this
// program's.
std::optional<LockHolder> holderIn(const std::string& text)
{
    return LockHolder::named(text, magic, false);
}

}

// Rewrites the holder's beat every second while the lock is held, so that another computer can
// tell a live holder from one that died.
class OriginLock::Beat
{
public:
    Beat(int fd, LockHolder holder) : thread_([this, fd, holder] { run(fd, holder); }) {}
    ~Beat()
    {
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

private:
    void run(int fd, const LockHolder& holder)
    {
        std::unique_lock<std::mutex> guard(mutex_);
        for (unsigned long beat = 1; !wake_.wait_for(guard, beatEvery, [this] { return stop_; }); ++beat)
            writeAll(fd, contents(holder, beat));
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

OriginLock::OriginLock(const std::string& parentFolder, const std::string& origin,
                       const std::function<void(const std::string&)>& waiting, std::chrono::milliseconds patience)
{
    checkOrigin(origin);
    parent_ = FolderHandle::open(parentFolder, true);
    name_ = "." + origin + ".lock";
    if (!parent_)
        return;
    const LockHolder self = LockHolder::self();
    const auto start = std::chrono::steady_clock::now();
    std::string told, seen;
    auto seenSince = start;
    for (;;) {
        int fd = ::openat(parent_.fd(), name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        const bool made = fd >= 0;
        if (!made && errno != EEXIST)
            return; // no lock file can be made here
        if (!made)
            fd = ::openat(parent_.fd(), name_.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        std::string waitedFor;
        if (fd >= 0) {
            const Lock state = lock(fd);
            const std::string text = state == Lock::held ? std::string() : readAll(fd, 4096);
            const auto holder = holderIn(text);
            bool take = false;
            bool again = false;
            if (state == Lock::held)
                waitedFor = "another instance's save of this planning";
            else if (!isSameFile(fd, parent_, name_))
                again = true; // its holder let go meanwhile: look again
            else if (made || (text.empty() && state == Lock::taken))
                take = true; // new, or its holder died before it wrote its name
            else if (holder && holder->isOnThisComputer())
                take = holder->isGone();
            else {
                // Another computer's, or one this program did not write: alive while it beats.
                if (text != seen) {
                    seen = text;
                    seenSince = std::chrono::steady_clock::now();
                }
                take = std::chrono::steady_clock::now() - seenSince >= stillBeat;
            }
            if (!take && !again && waitedFor.empty())
                waitedFor = holder ? "the save of this planning by " + holder->describe()
                                   : "the lock file " + parent_.pathOf(name_);
            if (take) {
                if (::ftruncate(fd, 0) == 0 && writeAll(fd, contents(self, 0))) {
                    fd_ = fd;
                    beat_ = std::make_unique<Beat>(fd_, self);
                    return;
                }
                // A lock file that cannot be written (a full disk) is no lock either.
                if (made)
                    parent_.removeFile(name_);
                ::close(fd);
                return;
            }
            ::close(fd);
        }
        if (!waitedFor.empty() && waiting && waitedFor != told)
            waiting(waitedFor);
        if (!waitedFor.empty())
            told = waitedFor;
        if (std::chrono::steady_clock::now() - start > patience)
            throw std::runtime_error("Waited " + std::to_string(patience.count() / 1000) + " s for " +
                                     (told.empty() ? "the lock file " + parent_.pathOf(name_) : told) + " in " +
                                     parentFolder + ".");
        std::this_thread::sleep_for(pollEvery);
    }
}

OriginLock::~OriginLock()
{
    beat_.reset();
    if (fd_ < 0)
        return;
    if (isSameFile(fd_, parent_, name_))
        parent_.removeFile(name_);
    ::close(fd_);
}

void OriginLock::checkOrigin(const std::string& origin)
{
    if (!PlanningFile::isFolderName(origin))
        throw std::runtime_error("The planning's origin \"" + origin + "\" is no folder name; no lock is taken for it.");
}

bool OriginLock::removeIfStale(const FolderHandle& folder, const std::string& name)
{
    const int fd = ::openat(folder.fd(), name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat status{};
    bool gone = false;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && lock(fd) != Lock::held && isSameFile(fd, folder, name)) {
        const auto holder = holderIn(readAll(fd, 4096));
        gone = holder && holder->isGone() && folder.removeFile(name) == 0;
    }
    ::close(fd);
    return gone;
}
