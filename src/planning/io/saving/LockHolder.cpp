#include "planning/io/saving/LockHolder.h"

#include <QString>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool onOneComputer(const LockHolder& a, const LockHolder& b)
{
    return !a.machine.empty() && !b.machine.empty() ? a.machine == b.machine : a.host == b.host;
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

}

LockHolder LockHolder::self()
{
    LockHolder self;
    self.pid = long(::getpid());
    self.host = QSysInfo::machineHostName().toStdString();
    self.machine = QSysInfo::machineUniqueId().toStdString();
    self.boot = QSysInfo::bootUniqueId().toStdString();
    self.start = processStart(self.pid);
    return self;
}

std::string LockHolder::lines() const
{
    return std::to_string(pid) + "\n" + host + "\n" + machine + "\n" + boot + "\n" + start + "\n";
}

std::optional<LockHolder> LockHolder::named(const std::string& text, const std::string& magic, bool whole)
{
    if (text.compare(0, magic.size() + 1, magic + "\n") != 0)
        return std::nullopt;
    std::vector<std::string> lines;
    std::size_t at = magic.size() + 1;
    while (lines.size() < 5) {
        const std::size_t next = text.find('\n', at);
        if (next == std::string::npos)
            return std::nullopt;
        lines.push_back(text.substr(at, next - at));
        at = next + 1;
    }
    LockHolder holder;
    try {
        std::size_t used = 0;
        holder.pid = std::stol(lines[0], &used);
        if (used != lines[0].size())
            return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    holder.host = lines[1];
    holder.machine = lines[2];
    holder.boot = lines[3];
    holder.start = lines[4];
    if (whole && at != text.size())
        return std::nullopt;
    return holder;
}

bool LockHolder::isOnThisComputer() const
{
    return onOneComputer(*this, self());
}

bool LockHolder::isGone() const
{
    const LockHolder here = self();
    if (!onOneComputer(*this, here))
        return false;
    if (!boot.empty() && !here.boot.empty() && boot != here.boot)
        return true;
    if (pid <= 0 || (::kill(pid_t(pid), 0) != 0 && errno == ESRCH))
        return true;
    // Running, unless the number now belongs to a later process.
    const std::string now = processStart(pid);
    return !start.empty() && !now.empty() && now != start;
}

std::string LockHolder::describe() const
{
    return isOnThisComputer() ? "process " + std::to_string(pid) + " of this computer" : "the computer " + host;
}

namespace HolderFile {

Lock lock(int fd)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return Lock::taken;
    return errno == EWOULDBLOCK ? Lock::held : Lock::none;
}

bool isSameFile(int fd, const FolderHandle& folder, const std::string& name)
{
    struct stat open{};
    const auto named = folder.status(name);
    return ::fstat(fd, &open) == 0 && named && open.st_dev == named->st_dev && open.st_ino == named->st_ino;
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

std::string readAll(int fd, std::size_t limit)
{
    std::string text;
    char buffer[1024];
    for (ssize_t n; text.size() < limit && (n = ::pread(fd, buffer, sizeof buffer, off_t(text.size()))) > 0;)
        text.append(buffer, std::size_t(n));
    return text;
}

}
