#include "planning/io/saving/LockHolder.h"

#include "vexa/io/AtomicFile.h"

#include <QString>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
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
    // Read once: every look at a mark or lock judges by it, and none of it changes while the
    // process runs.
    static const LockHolder self = [] {
        LockHolder here;
        here.pid = long(::getpid());
        here.host = QSysInfo::machineHostName().toStdString();
        here.machine = QSysInfo::machineUniqueId().toStdString();
        here.boot = QSysInfo::bootUniqueId().toStdString();
        here.start = processStart(here.pid);
        return here;
    }();
    return self;
}

std::string LockHolder::lines() const
{
    return std::to_string(pid) + "\n" + host + "\n" + machine + "\n" + boot + "\n" + start + "\n";
}

std::optional<LockHolder> LockHolder::named(const std::string& text, const std::string& magic)
{
    if (!text.starts_with(magic + "\n"))
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

bool LockHolder::isThisProcess() const
{
    const LockHolder here = self();
    return onOneComputer(*this, here) && pid == here.pid && boot == here.boot && start == here.start;
}

std::string LockHolder::describe() const
{
    return isOnThisComputer() ? "process " + std::to_string(pid) + " of this computer" : "the computer " + host;
}

namespace HolderFile {

namespace {

using Lock = FolderHandle::File::Lock;

// How long another instance may hold a gone holder's file while it judges it (a few round trips
// on a file server), with room for a loaded computer.
constexpr std::chrono::seconds judgingTime{5};

// How the user would name what is in the way.
std::string thingOf(const struct stat& status)
{
    if (S_ISDIR(status.st_mode))
        return "a folder";
    if (S_ISLNK(status.st_mode))
        return "a symbolic link";
    if (S_ISFIFO(status.st_mode))
        return "a named pipe";
    if (S_ISREG(status.st_mode))
        return "a file that this program did not write";
    return "a special file";
}

Verdict judge(const Look& look)
{
    if (look.lock == Lock::held)
        return Verdict::atWork;
    // A lock taken only shared is as free as one taken: nobody holds it.
    const bool free = look.lock == Lock::taken || look.lock == Lock::shared;
    // A holder that died between making the file and writing its name (earlier versions wrote
    // it after making the file), or in a rewrite cut short; without locks that cannot be told
    // from one at work.
    if (!look.holder)
        return free ? Verdict::gone : Verdict::atWork;
    if (!look.holder->isOnThisComputer())
        return Verdict::elsewhere;
    // This very process, whose own hold ended without removing the file (a removal that
    // failed): nobody else holds what it wrote, where the lock says so.
    if (free && look.holder->isThisProcess())
        return Verdict::gone;
    return look.holder->isGone() ? Verdict::gone : Verdict::atWork;
}

Look stranger(const std::string& thing)
{
    Look found;
    found.verdict = Verdict::notOurs;
    found.thing = thing;
    return found;
}

// The file opened and locked (without its text), or what stands at the name instead; nothing
// where it went or was replaced between the look and the lock (then it is looked at again).
Answer<std::optional<Look>> openLocked(const FolderHandle& folder, const std::string& name)
{
    using Found = std::optional<Look>;
    const auto status = folder.status(name);
    if (!status.ok())
        return status.error() == ENOENT ? Answer<Found>(Look()) : status.failure();
    if (!S_ISREG(status->st_mode))
        return Found(stranger(thingOf(*status)));
    auto file = folder.openToLock(name);
    if (!file.ok()) {
        if (file.error() == ELOOP)
            return Found(stranger("a symbolic link"));
        return file.error() == ENOENT ? Answer<Found>(Found()) : file.failure();
    }
    const auto opened = file->status();
    if (!opened.ok())
        return opened.failure();
    if (!S_ISREG(opened->st_mode))
        return Found(stranger(thingOf(*opened)));
    const auto lock = file->lock();
    if (!lock.ok())
        return lock.failure();
    const auto same = file->isAt(folder, name);
    if (!same.ok())
        return same.failure();
    if (!*same)
        return Found();
    Look found;
    found.lock = *lock;
    found.file = std::move(*file);
    return Found(std::move(found));
}

// What reading the file `name` of `folder` failed with, naming the file.
Failure unreadable(const FolderHandle& folder, const std::string& name, int error)
{
    return {error, folder.pathOf(name)};
}

}

Answer<Look> look(const FolderHandle& folder, const std::string& name, const std::string& magic)
{
    // No folder: no file in it.
    if (!folder && folder.isNoFolder())
        return Look();
    if (!folder)
        return folder.failure();
    // A holder that finished between the open and the lock removed the file: looked at again.
    const auto since = std::chrono::steady_clock::now();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto opened = openLocked(folder, name);
        if (!opened.ok())
            return unreadable(folder, name, opened.error());
        if (!*opened)
            continue;
        Look& found = **opened;
        if (!found.file.isOpen())
            return std::move(found);
        // The file of a holder gone beyond doubt whose lock another instance holds at this moment:
        // one that judges it as this one does (a start, a save), and lets go at once, or takes it
        // over. Looked at again once it lets go: a look must not send away the one instance that
        // may take the file over (its owner's, where only the owner may).
        if (found.lock == Lock::held && std::chrono::steady_clock::now() - since < judgingTime) {
            const auto text = found.file.readAll(4096);
            const auto holder = text.ok() ? LockHolder::named(*text, magic) : std::nullopt;
            if (holder && holder->isGone()) {
                found.file.close();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                --attempt;
                continue;
            }
        }
        if (found.lock != Lock::held) {
            auto text = found.file.readAll(4096);
            if (!text.ok())
                return unreadable(folder, name, text.error());
            found.text = std::move(*text);
            // Every text this program writes there begins with its first line, also one cut short.
            if (!found.text.empty() && !found.text.starts_with(magic + "\n"))
                return stranger("a file that this program did not write");
            found.holder = LockHolder::named(found.text, magic);
        }
        found.verdict = judge(found);
        return std::move(found);
    }
    return stranger("a file that comes and goes");
}

Answer<Replacement> takeOver(const FolderHandle& folder, const std::string& name, Look& found, const std::string& text)
{
    Replacement result;
    // A lock held here only shared keeps no other taker out: such a file is never taken over, so
    // that two takers never both hold it, whatever an exchange or its putting back meets.
    if (found.lock == Lock::shared) {
        result.taken = Taken::unsafe;
        return result;
    }
    // Another instance may have judged the same file and taken it over meanwhile, where the file
    // system takes no locks: the exchange finds that out. Without an exchange, only this lock held
    // alone keeps it out.
    auto replaced = folder.replaceWholeIf(name, text, found.file, found.lock == Lock::taken);
    if (!replaced.ok() && (replaced.error() == EINVAL || replaced.error() == ENOSYS))
        result.taken = Taken::unsafe;
    else if (!replaced.ok())
        return replaced.failure();
    else if (*replaced) {
        found.file.close();
        result.taken = Taken::yes;
        result.file = std::move(**replaced);
    }
    return result;
}

bool isRefused(int error)
{
    return error == EACCES || error == EPERM;
}

std::string inTheWay(const std::string& path, const std::string& thing, const std::string& keeps)
{
    return path + " is " + thing + ", where this program keeps " + keeps + ". It was left as it is";
}

namespace {

std::string userNamed(uid_t user)
{
    struct passwd entry{}, *named = nullptr;
    char buffer[4096];
    if (::getpwuid_r(user, &entry, buffer, sizeof buffer, &named) == 0 && named)
        return named->pw_name;
    return std::to_string(user);
}

}

std::string ownerOf(const Look& found)
{
    const auto status = found.file.isOpen() ? found.file.status() : Answer<struct stat>(Failure{EBADF});
    return status.ok() ? userNamed(status->st_uid) : std::string();
}

std::string otherOwnerOf(const FolderHandle& folder)
{
    const auto status = folder ? folder.status(".") : Answer<struct stat>(folder.failure());
    return status.ok() && status->st_uid != ::geteuid() ? userNamed(status->st_uid) : std::string();
}

bool onlyItsOwnerTakesOver(const Look& found)
{
    return found.lock == Lock::shared;
}

std::string notReplaceable(const std::string& path, const std::string& is, const Look& found, int error)
{
    std::string user = "another user";
    if (const auto status = found.file.isOpen() ? found.file.status() : Answer<struct stat>(Failure{EBADF}); status.ok())
        user = status->st_uid == ::geteuid() ? "this user" : "the user " + ownerOf(found);
    return path + " is " + is + " that a save of " + user + " left when it ended; this user cannot replace it (" +
           reasonOf(error) + ")";
}

std::string whyUnsafe(const Look& found)
{
    return found.lock == Lock::shared ? "the file system locks this file only shared for this user, who may not write it"
                                      : "the file system exchanges no files, and takes no locks";
}

std::string temporaryKind(const std::string& name)
{
    // "." + the file's name + the tag + the six characters drawn.
    const std::size_t tail = sizeof Vexa::AtomicFile::temporaryTag - 1 + 6;
    return Vexa::AtomicFile::isTemporaryName(name) ? name.substr(1, name.size() - 1 - tail) : name;
}

Answer<bool> removeTemporary(const FolderHandle& folder, const std::string& name)
{
    auto file = folder.openToLock(name);
    if (!file.ok())
        return file.error() == ENOENT ? Answer<bool>(false) : file.failure();
    // Its maker locks it before it writes to it: an empty one may be one whose maker is between
    // making and locking it (a round trip on a file server), and stays while it is that new,
    // never locked here meanwhile: its maker's lock would meet this one. Where this user cannot
    // make a file in its folder to read the clock there, this user cannot remove it either: it
    // stays for a user who may.
    const auto found = file->status();
    if (!found.ok())
        return Failure{found.error(), folder.pathOf(name)};
    if (found->st_size == 0) {
        const auto young = folder.isNew(name, temporaryKind(name), makingTime);
        if (!young.ok() && (young.error() == ENOENT || isRefused(young.error()) || young.error() == EROFS))
            return false;
        if (!young.ok())
            return young.failure();
        if (*young)
            return false;
    }
    const auto lock = file->lock();
    if (!lock.ok())
        return Failure{lock.error(), folder.pathOf(name)};
    if (*lock == Lock::held)
        return false;
    // Closed first (NFS keeps a removed open file as ".nfs…"); only while it is still this file.
    bool removed = false;
    if (const auto gone = file->removeFrom(folder, name, &removed); !gone.ok())
        return Failure{gone.error(), folder.pathOf(name)};
    return removed;
}

}
