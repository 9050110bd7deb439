#include "planning/io/PlanningFolderUpdate.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IniFileManager.h"
#include "vexa/io/AtomicFile.h"

#include <QLockFile>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Lexically normal absolute form without a trailing separator, so that "a/b/" and "a/b" and
// "a/./b" compare equal.
std::string normalFolder(const std::string& path)
{
    if (path.empty())
        return path;
    fs::path p = fs::absolute(fs::path(path)).lexically_normal();
    if (!p.has_filename())
        p = p.parent_path();
    return p.string();
}

// The rename reaches the disk before anything that relies on it (the removal of the folder it
// replaced) does.
void syncFolder(const fs::path& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Renames `from` to `to` where nothing holds that name (an empty folder of it counts as free:
// it is the one reserved for this planning); errno EEXIST when something does.
int renameToNew(const std::string& from, const std::string& to)
{
    int error = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
    std::error_code ec;
    if (error == EINVAL || error == ENOSYS) // a file system without the flag
        error = fs::exists(fs::symlink_status(to, ec)) ? EEXIST : (::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno);
    if (error == EEXIST && fs::is_directory(fs::symlink_status(to, ec)))
        // rename(2) replaces a folder only when it is empty.
        error = ::rename(from.c_str(), to.c_str()) == 0 ? 0 : (errno == ENOTEMPTY ? EEXIST : errno);
    return error;
}

// "MM/dd/yyyy hh:mm:ss" as "yyyy/MM/dd hh:mm:ss", which sorts by time; anything else as it is.
std::string sortableTime(const std::string& stored)
{
    if (stored.size() != 19 || stored[2] != '/' || stored[5] != '/')
        return stored;
    return stored.substr(6, 4) + "/" + stored.substr(0, 5) + stored.substr(10);
}

// Where the folders a commit replaces wait inside the new planning until their other contents
// have moved over.
const std::string previousPrefix = ".previous-";

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The text of a failed rename or folder creation at `folder` with errno value `error`.
std::string failureAt(const std::string& what, const std::string& folder, int error)
{
    if (Vexa::AtomicFile::isDiskFull(error))
        return Vexa::AtomicFile::failureText(folder, error);
    return what + " " + folder + ": " + std::strerror(error);
}

bool isEmptyFolder(const fs::path& folder)
{
    std::error_code error;
    return fs::is_directory(fs::symlink_status(folder, error)) && fs::is_empty(folder, error) && !error;
}

std::vector<fs::path> entriesOf(const fs::path& folder)
{
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Moves the entries of `from` into `to`; folders that are there already are merged, empty ones
// are replaced, a file is never replaced. At the top of a planning folder the planning's own
// entries stay behind. True when everything moved.
bool moveEntries(const fs::path& from, const fs::path& to, bool planningTop)
{
    bool all = true;
    for (const fs::path& entry : entriesOf(from)) {
        const std::string name = entry.filename().string();
        if (planningTop && (PlanningFolderUpdate::isPlanningEntry(name) || startsWith(name, previousPrefix)))
            continue;
        const fs::path target = to / name;
        std::error_code error;
        const auto kind = fs::symlink_status(entry, error);
        if (isEmptyFolder(target))
            fs::remove(target, error);
        if (fs::exists(fs::symlink_status(target, error))) {
            if (fs::is_directory(kind) && fs::is_directory(fs::symlink_status(target, error)) &&
                moveEntries(entry, target, false)) {
                fs::remove(entry, error);
                continue;
            }
            all = false;
            continue;
        }
        error.clear();
        fs::rename(entry, target, error);
        all = all && !error;
    }
    return all;
}

// The last step of a commit: the other contents of the replaced folders (waiting in the new
// planning folder as ".previous-*") move in, then those folders go.
void takeOverPrevious(const fs::path& folder, std::vector<std::string>* done)
{
    for (const fs::path& entry : entriesOf(folder)) {
        const std::string name = entry.filename().string();
        std::error_code error;
        if (!startsWith(name, previousPrefix) || !fs::is_directory(fs::symlink_status(entry, error)))
            continue;
        if (!moveEntries(entry, folder, true)) {
            // Kept rather than lost; the next start tries again.
            if (done)
                done->push_back("kept " + entry.string() + ": not all of it could move into its planning");
            continue;
        }
        fs::remove_all(entry, error);
        if (done)
            done->push_back("took over the files of the replaced planning " + name.substr(previousPrefix.size()) +
                            " into " + folder.string());
    }
}

// "yyyy-MM-dd__hh-mm-ss-z" with the milliseconds as three digits, so that names sort by time.
std::string paddedTimeStamp(const std::string& name)
{
    static const std::regex stamp("(\\d{4}-\\d\\d-\\d\\d__\\d\\d-\\d\\d-\\d\\d-)(\\d{1,3})");
    std::smatch match;
    if (!std::regex_match(name, match, stamp))
        return name;
    return match[1].str() + std::string(3 - match[2].length(), '0') + match[2].str();
}

// Files an AtomicFile was writing when the program died: "." + name + "." + six characters,
// where the name has an extension (as every file the program puts into a planning folder).
bool isTemporaryName(const std::string& name)
{
    static const std::regex temporary("\\.[^.]+\\..+\\.[A-Za-z0-9]{6}");
    return std::regex_match(name, temporary);
}

// The target of a hidden working folder ".<target><suffix><number>"; empty when it is none.
std::string workingTarget(const std::string& name, const std::string& suffix)
{
    const auto at = name.rfind(suffix);
    if (name.size() < 2 || name[0] != '.' || at == std::string::npos || at < 2 || at + suffix.size() == name.size())
        return {};
    for (std::size_t i = at + suffix.size(); i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9')
            return {};
    return name.substr(1, at - 1);
}

}

PlanningFolderUpdate::PlanningFolderUpdate(std::string folder, std::string previous, bool mayReplace) try
    : folder_(normalFolder(folder)), previous_(normalFolder(previous)), mayReplace_(mayReplace)
{
    if (previous_ == folder_)
        previous_.clear();
    std::error_code error;
    const fs::path target(folder_);
    fs::create_directories(target.parent_path(), error);
    reserved_ = isEmptyFolder(target);
    const std::string base = (target.parent_path() / ("." + target.filename().string() + ".saving")).string();
    for (unsigned n = 0; staging_.empty(); ++n) {
        const std::string candidate = base + std::to_string(n);
        // create_directory says false for a folder that is there already: the next number.
        if (fs::create_directory(candidate, error))
            staging_ = candidate;
        else if (error)
            // The working folder's name means nothing to the user; the planning's does.
            throw std::runtime_error(failureAt("Could not create the planning folder", folder_, error.value()));
    }
}
VEXA_RETHROW

PlanningFolderUpdate::~PlanningFolderUpdate()
{
    if (committed_)
        return;
    std::error_code error;
    fs::remove_all(staging_, error);
    if (reserved_)
        ::rmdir(folder_.c_str()); // only while it is empty
}

bool PlanningFolderUpdate::isPlanningEntry(const std::string& name)
{
    return name == "dicom" || name == "surface" || name == "implant" ||
           (name.size() > 4 && name.compare(name.size() - 4, 4, ".srl") == 0);
}

void PlanningFolderUpdate::commit() try
{
    const fs::path staging(staging_);
    std::error_code error;
    // The folders replaced: the target when it holds anything, and the planning's previous one.
    std::vector<fs::path> replaced;
    if (fs::exists(fs::symlink_status(folder_, error)) && !isEmptyFolder(folder_)) {
        if (!mayReplace_)
            throw std::runtime_error("The folder " + folder_ + " exists already; the planning is not saved over it.");
        replaced.push_back(folder_);
    }
    if (!previous_.empty() && fs::is_directory(fs::symlink_status(previous_, error)))
        replaced.push_back(previous_);

    // Step 1: the replaced folders into the staging folder; undone should anything fail before
    // the new planning stands.
    std::vector<std::pair<fs::path, fs::path>> moved;
    const auto undo = [&] {
        std::error_code ignored;
        for (auto it = moved.rbegin(); it != moved.rend(); ++it)
            fs::rename(it->second, it->first, ignored);
    };
    for (const fs::path& old : replaced) {
        fs::path inside = staging / (previousPrefix + old.filename().string());
        for (int n = 2; fs::exists(fs::symlink_status(inside, error)); ++n)
            inside = staging / (previousPrefix + old.filename().string() + "-" + std::to_string(n));
        if (::rename(old.c_str(), inside.c_str()) != 0) {
            const int failed = errno;
            undo();
            throw std::runtime_error(failureAt("Could not replace the planning folder", folder_, failed));
        }
        moved.emplace_back(old, inside);
    }

    // Step 2: the new planning takes the target's place in one rename.
    const int failed = mayReplace_ ? (::rename(staging_.c_str(), folder_.c_str()) == 0 ? 0 : errno)
                                   : renameToNew(staging_, folder_);
    if (failed) {
        undo();
        if (failed == EEXIST || failed == ENOTEMPTY)
            throw std::runtime_error("The folder " + folder_ + " exists already; the planning is not saved over it.");
        throw std::runtime_error(failureAt(mayReplace_ ? "Could not replace the planning folder"
                                                       : "Could not create the planning folder",
                                           folder_, failed));
    }
    committed_ = true;
    syncFolder(fs::path(folder_).parent_path());

    // Steps 3 and 4. From here on nothing is thrown and nothing dropped.
    takeOverPrevious(folder_, nullptr);
    syncFolder(folder_);
}
VEXA_RETHROW

std::string PlanningFolderUpdate::saveTimeKey(const std::string& folder) try
{
    const fs::path path(folder);
    const std::string name = path.filename().string();
    const Vexa::IniFileManager ini((path / (name + ".srl")).string(), Vexa::IniFileManager::ReadOnly);
    return sortableTime(ini.getValue("Planningdata", "lastModified", std::string())) + "|" + paddedTimeStamp(name);
}
VEXA_RETHROW

namespace {

// Calls `visit` with every planning folder ("<folder>/<folder>.srl") below `folder`, hidden
// folders and links left out; a folder that cannot be read (or went meanwhile) is passed over.
template<class Visit>
void eachPlanning(const fs::path& folder, int depth, const Visit& visit)
{
    for (const fs::path& entry : entriesOf(folder)) {
        const std::string name = entry.filename().string();
        std::error_code error;
        if (name.front() == '.' || !fs::is_directory(fs::symlink_status(entry, error)))
            continue;
        if (fs::is_regular_file(entry / (name + ".srl"), error))
            visit(entry);
        else if (depth < 8)
            eachPlanning(entry, depth + 1, visit);
    }
}

}

std::string PlanningFolderUpdate::findByOrigin(const std::vector<std::string>& patientPaths,
                                               const std::string& origin) try
{
    std::string found;
    std::string foundTime;
    if (origin.empty())
        return found;
    for (const std::string& base : patientPaths) {
        if (base.empty())
            continue;
        eachPlanning(fs::path(normalFolder(base)), 0, [&](const fs::path& folder) {
            const std::string name = folder.filename().string();
            const Vexa::IniFileManager ini((folder / (name + ".srl")).string(), Vexa::IniFileManager::ReadOnly);
            const std::string stored = ini.getValue("Planningdata", "origin", std::string());
            if ((stored.empty() ? name : stored) != origin)
                return;
            // The last saved one: the stored time has seconds, the time-stamp name milliseconds.
            const std::string time = saveTimeKey(folder.string());
            if (found.empty() || time > foundTime) {
                found = folder.string();
                foundTime = time;
            }
        });
    }
    return found;
}
VEXA_RETHROW

namespace {

// A staging folder left by a save that died: published when its commit had begun (the
// replaced folders are inside), else removed with the folder reserved for it.
void finishStaging(const fs::path& staging, const fs::path& target, std::vector<std::string>& done)
{
    bool due = false;
    for (const fs::path& entry : entriesOf(staging))
        due = due || startsWith(entry.filename().string(), previousPrefix);
    std::error_code error;
    if (!due) {
        fs::remove_all(staging, error);
        if (isEmptyFolder(target))
            fs::remove(target, error);
        done.push_back("removed the unfinished save " + staging.string());
        return;
    }
    if (fs::exists(fs::symlink_status(target, error)) && !isEmptyFolder(target)) {
        done.push_back("kept " + staging.string() + ": " + target.string() + " is taken");
        return;
    }
    if (::rename(staging.c_str(), target.c_str()) != 0) {
        done.push_back("kept " + staging.string() + ": " + std::strerror(errno));
        return;
    }
    done.push_back("finished the save of " + target.string());
    takeOverPrevious(target, &done);
}

// The folder an earlier version of the program put aside as ".<name>.previous<n>": its other
// contents go into the planning that replaced it, or, with none there, it is the planning again.
void finishPutAside(const fs::path& aside, const fs::path& target, std::vector<std::string>& done)
{
    std::error_code error;
    const fs::path planning = target / (target.filename().string() + ".srl");
    if (fs::is_regular_file(planning, error)) {
        if (moveEntries(aside, target, true)) {
            fs::remove_all(aside, error);
            done.push_back("took over the files of the replaced planning into " + target.string());
        }
    } else if (!fs::exists(fs::symlink_status(target, error)) || isEmptyFolder(target)) {
        fs::remove(target, error);
        if (::rename(aside.c_str(), target.c_str()) == 0)
            done.push_back("restored the planning " + target.string());
    }
}

void removeTemporaries(const fs::path& folder, std::vector<std::string>& done)
{
    for (const fs::path& entry : entriesOf(folder)) {
        std::error_code error;
        if (isTemporaryName(entry.filename().string()) && fs::is_regular_file(fs::symlink_status(entry, error)) &&
            fs::remove(entry, error))
            done.push_back("removed the temporary file " + entry.string());
    }
}

void finishIn(const fs::path& folder, int depth, std::vector<std::string>& done)
{
    for (const fs::path& entry : entriesOf(folder)) {
        const std::string name = entry.filename().string();
        std::error_code error;
        const auto kind = fs::symlink_status(entry, error);
        if (error || fs::is_symlink(kind))
            continue;
        if (!fs::is_directory(kind)) {
            // A lock of a save that died; a held one stays.
            if (name.front() == '.' && entry.extension() == ".lock") {
                QLockFile stale(QString::fromStdString(entry.string()));
                stale.setStaleLockTime(0);
                if (stale.tryLock(0)) {
                    stale.unlock();
                    done.push_back("removed the stale lock " + entry.string());
                }
            }
            continue;
        }
        if (name.front() == '.') {
            if (const std::string target = workingTarget(name, ".saving"); !target.empty())
                finishStaging(entry, folder / target, done);
            else if (const std::string target = workingTarget(name, ".previous"); !target.empty())
                finishPutAside(entry, folder / target, done);
            continue;
        }
        if (fs::is_regular_file(entry / (name + ".srl"), error)) {
            takeOverPrevious(entry, &done);
            for (const fs::path& place : {entry, entry / "system", entry / "images"})
                removeTemporaries(place, done);
        } else if (depth < 8) {
            finishIn(entry, depth + 1, done);
        }
    }
}

}

std::vector<std::string> PlanningFolderUpdate::finishInterrupted(const std::vector<std::string>& patientPaths) try
{
    std::vector<std::string> done;
    for (const std::string& base : patientPaths)
        if (!base.empty())
            finishIn(fs::path(normalFolder(base)), 0, done);
    return done;
}
VEXA_RETHROW

PlanningFolderUpdate::OriginLock::OriginLock(const std::string& parentFolder, const std::string& origin)
{
    if (origin.empty())
        return;
    lock_ = std::make_unique<QLockFile>(QString::fromStdString(parentFolder + "/." + origin + ".lock"));
    // A holder that died leaves a stale lock, taken over at once; one that hangs is given up
    // after far longer than any publishing takes.
    lock_->setStaleLockTime(300000);
    if (!lock_->lock())
        lock_.reset();
}

PlanningFolderUpdate::OriginLock::~OriginLock() = default;
