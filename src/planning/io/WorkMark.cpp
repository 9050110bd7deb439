#include "planning/io/WorkMark.h"

#include "vexa/io/AtomicFile.h"

#include <QByteArray>
#include <QString>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The first line of every mark, so that a file of that name from anyone else is never judged.
constexpr char magic[] = "morvanta-work 1";

std::string markPath(const std::string& folder)
{
    return folder + "/" + WorkMark::fileName;
}

// When the process started (field 22 of its stat line, clock ticks since the boot); empty when
// there is no such process. Tells a process from a later one that got its number.
std::string processStart(long pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // The command name (field 2) may hold blanks and parentheses: the fields count from its end.
    const auto end = line.rfind(')');
    if (end == std::string::npos)
        return {};
    std::istringstream fields(line.substr(end + 1));
    std::string field;
    for (int number = 3; number <= 22; ++number)
        if (!(fields >> field))
            return {};
    return field;
}

struct Holder
{
    long pid = 0;
    std::string host, machine, boot, start;
};

Holder thisProcess()
{
    Holder self;
    self.pid = long(::getpid());
    self.host = QSysInfo::machineHostName().toStdString();
    self.machine = QSysInfo::machineUniqueId().toStdString();
    self.boot = QSysInfo::bootUniqueId().toStdString();
    self.start = processStart(self.pid);
    return self;
}

std::string describe(const Holder& holder)
{
    return std::string(magic) + "\n" + std::to_string(holder.pid) + "\n" + holder.host + "\n" + holder.machine + "\n" +
           holder.boot + "\n" + holder.start + "\n";
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
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    why = "its mark is not one of this program's";
    if (lines.size() != 6 || lines[0] != magic)
        return false;
    Holder holder;
    try {
        holder.pid = std::stol(lines[1]);
    } catch (const std::exception&) {
        return false;
    }
    holder.host = lines[2];
    holder.machine = lines[3];
    holder.boot = lines[4];
    holder.start = lines[5];
    const Holder self = thisProcess();
    // Another computer's process cannot be looked at from here, whatever its lock says (a file
    // system may not pass locks on between computers). A computer is known by its machine id
    // where both have one: its host name may have changed since.
    const bool sameComputer = !holder.machine.empty() && !self.machine.empty() ? holder.machine == self.machine
                                                                               : holder.host == self.host;
    if (!sameComputer) {
        why = "a save of the computer " + holder.host + " has not finished there; that computer removes it should it " +
              "have been cut off";
        return false;
    }
    why = "a save is at work in it";
    if (!holder.boot.empty() && !self.boot.empty() && holder.boot != self.boot)
        return true;
    if (holder.pid <= 0 || (::kill(pid_t(holder.pid), 0) != 0 && errno == ESRCH))
        return true;
    // Running, unless the number now belongs to a later process.
    const std::string start = processStart(holder.pid);
    return !holder.start.empty() && !start.empty() && start != holder.start;
}

bool isSameFile(int fd, const std::string& path)
{
    struct stat open{}, named{};
    return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

enum class Lock { taken, held, none };

// Locks the mark without waiting: taken, held by another holder, or none (a file system without
// locks, which leaves the judging to the holder's name).
Lock lock(int fd)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return Lock::taken;
    return errno == EWOULDBLOCK ? Lock::held : Lock::none;
}

bool writeAll(int fd, const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

}

std::unique_ptr<WorkMark> WorkMark::create(const std::string& folder)
{
    const std::string path = markPath(folder);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        if (errno == EEXIST)
            return nullptr;
        throw Vexa::WriteError(path, errno);
    }
    // Taken by another instance in the instant before the lock: a start that found it empty.
    if (lock(fd) == Lock::held) {
        ::close(fd);
        return nullptr;
    }
    if (!writeAll(fd, describe(thisProcess()))) {
        const int error = errno ? errno : ENOSPC;
        ::unlink(path.c_str());
        ::close(fd);
        throw Vexa::WriteError(path, error);
    }
    return std::unique_ptr<WorkMark>(new WorkMark(fd, folder, false));
}

std::unique_ptr<WorkMark> WorkMark::take(const std::string& folder, bool orCreate, std::string* why)
{
    std::string reason = "no mark can be made in it";
    const auto refuse = [&](int fd) {
        if (fd >= 0)
            ::close(fd);
        if (why)
            *why = reason;
        return nullptr;
    };
    const std::string path = markPath(folder);
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno != ENOENT || !orCreate)
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
    if (state == Lock::held || !isSameFile(fd, path))
        return refuse(fd);
    std::string text;
    char buffer[1024];
    for (ssize_t n; text.size() < 4096 && (n = ::pread(fd, buffer, sizeof buffer, off_t(text.size()))) > 0;)
        text.append(buffer, std::size_t(n));
    if (text.size() >= 4096) {
        reason = "its mark is not one of this program's";
        return refuse(fd);
    }
    // Named after the new holder, so that others judge it by this process from now on.
    if (!isGone(text, state == Lock::taken, reason) || ::ftruncate(fd, 0) != 0 || !writeAll(fd, describe(thisProcess())))
        return refuse(fd);
    return std::unique_ptr<WorkMark>(new WorkMark(fd, folder, true));
}

bool WorkMark::isHeld(const std::string& folder)
{
    const int fd = ::open(markPath(folder).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    const bool held = lock(fd) == Lock::held;
    ::close(fd); // lets go of the lock this took, if it took one
    return held;
}

bool WorkMark::isIn(const std::string& folder)
{
    struct stat status{};
    return ::lstat(markPath(folder).c_str(), &status) == 0;
}

WorkMark::~WorkMark()
{
    if (fd_ < 0)
        return;
    const std::string path = markPath(folder_);
    if (isSameFile(fd_, path))
        ::unlink(path.c_str());
    ::close(fd_);
}

void WorkMark::leave()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}
