#include "planning/io/PlanningFolderUpdate.h"

#include "planning/io/WorkMark.h"

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

// Renames `from` to `to` unless something holds that name; errno EEXIST when something does.
int renameNoReplace(const std::string& from, const std::string& to)
{
    const int error = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
    if (error != EINVAL && error != ENOSYS)
        return error;
    // A file system without the flag.
    std::error_code ec;
    return fs::exists(fs::symlink_status(to, ec)) ? EEXIST : (::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno);
}

// As renameNoReplace, but an empty folder of that name counts as free: it is the one reserved
// for this planning.
int renameToNew(const std::string& from, const std::string& to)
{
    int error = renameNoReplace(from, to);
    std::error_code ec;
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

bool isDirectory(const fs::path& path)
{
    std::error_code error;
    return fs::is_directory(fs::symlink_status(path, error));
}

bool isFile(const fs::path& path)
{
    std::error_code error;
    return fs::is_regular_file(fs::symlink_status(path, error));
}

// The planning a ".previous-<name>" (or ".previous-<name>-<n>") folder holds: <name>, when that
// planning's file is in it; empty for any other folder, which no save put there.
std::string replacedPlanning(const fs::path& folder)
{
    const std::string name = folder.filename().string();
    if (!startsWith(name, previousPrefix) || !isDirectory(folder))
        return {};
    for (std::string planning = name.substr(previousPrefix.size()); !planning.empty();) {
        if (isFile(folder / (planning + ".srl")))
            return planning;
        const auto dash = planning.rfind('-');
        if (dash == std::string::npos || dash + 1 == planning.size() ||
            planning.find_first_not_of("0123456789", dash + 1) != std::string::npos)
            break;
        planning.resize(dash);
    }
    return {};
}

// Moves `entry` to `target`: a folder of that name there already is merged, an empty one is
// replaced, a file is never replaced. True when all of it moved.
bool moveInto(const fs::path& entry, const fs::path& target)
{
    std::error_code error;
    if (isEmptyFolder(target))
        fs::remove(target, error);
    const int failed = renameNoReplace(entry.string(), target.string());
    if (failed != EEXIST)
        return failed == 0;
    if (!isDirectory(entry) || !isDirectory(target))
        return false;
    bool all = true;
    for (const fs::path& inner : entriesOf(entry))
        all = moveInto(inner, target / inner.filename()) && all;
    return all && fs::remove(entry, error);
}

// Moves what the replaced folder holds besides its planning into the planning folder `into`; a
// replaced folder inside it (a take-over that an earlier save or crash cut off) goes the same
// way. Then the replaced planning is removed, and the folder with it. True when the folder is
// gone; when anything could not move, or another instance is at work in it, it stays (hidden in
// the planning) for a later start, and nothing of it is removed.
bool takeOver(const fs::path& replaced, const std::string& planning, const fs::path& into,
              std::vector<std::string>* done)
{
    bool all = true;
    // The folder's own files first: where names meet, the later planning's file is the one kept.
    std::vector<std::pair<fs::path, std::string>> nested;
    for (const fs::path& entry : entriesOf(replaced)) {
        const std::string name = entry.filename().string();
        if (PlanningFolderUpdate::isPlanningEntry(name, planning) || name == WorkMark::fileName)
            continue;
        if (std::string earlier = replacedPlanning(entry); !earlier.empty())
            nested.emplace_back(entry, std::move(earlier));
        else
            all = moveInto(entry, into / name) && all;
    }
    for (const auto& [folder, earlier] : nested)
        all = takeOver(folder, earlier, into, done) && all;
    std::unique_ptr<WorkMark> mark;
    if (all && WorkMark::isIn(replaced.string()))
        all = (mark = WorkMark::take(replaced.string(), false)) != nullptr;
    if (!all) {
        if (done)
            done->push_back("kept " + replaced.string() + ": not all of it could move into its planning");
        return false;
    }
    // The planning's file goes last: until then the folder is known for a replaced planning.
    std::error_code error;
    for (const char* entry : {"dicom", "surface", "implant"})
        fs::remove_all(replaced / entry, error);
    fs::remove(replaced / (planning + ".srl"), error);
    mark.reset();
    if (::rmdir(replaced.c_str()) != 0) {
        if (done)
            done->push_back("kept " + replaced.string() + ": " + std::strerror(errno));
        return false;
    }
    if (done)
        done->push_back("took over the files of the replaced planning " + planning + " into " + into.string());
    return true;
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
    // The working folder's name means nothing to the user; the planning's does.
    const auto cannotCreate = [this](int error) {
        return std::runtime_error(failureAt("Could not create the planning folder", folder_, error));
    };
    for (unsigned n = 0; !mark_; ++n) {
        const std::string candidate = base + std::to_string(n);
        // create_directory says false for a folder that is there already: the next number.
        if (!fs::create_directory(candidate, error)) {
            if (error)
                throw cannotCreate(error.value());
            continue;
        }
        try {
            mark_ = WorkMark::create(candidate);
        } catch (const Vexa::WriteError& e) {
            ::rmdir(candidate.c_str());
            throw cannotCreate(e.error());
        }
        // Without a mark another instance's start took the folder, in that instant, for a
        // leftover: it is that start's to remove.
        if (mark_)
            staging_ = candidate;
    }
}
VEXA_RETHROW

PlanningFolderUpdate::~PlanningFolderUpdate()
{
    if (committed_)
        return;
    // A replaced planning that could not be put back stays inside, with the new one: the next
    // start publishes them.
    for (const fs::path& entry : entriesOf(staging_))
        if (startsWith(entry.filename().string(), previousPrefix)) {
            if (mark_)
                mark_->leave();
            return;
        }
    std::error_code error;
    fs::remove_all(staging_, error);
    if (reserved_)
        ::rmdir(folder_.c_str()); // only while it is empty
}

std::unique_ptr<WorkMark> PlanningFolderUpdate::releaseMark()
{
    return std::move(mark_);
}

bool PlanningFolderUpdate::isPlanningEntry(const std::string& entry, const std::string& planning)
{
    return entry == "dicom" || entry == "surface" || entry == "implant" || (!planning.empty() && entry == planning + ".srl");
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
    // the new planning stands. What cannot be put back is told, with where it is.
    std::vector<std::pair<fs::path, fs::path>> moved;
    const auto failed = [&](std::string text) {
        bool back = true;
        for (auto it = moved.rbegin(); it != moved.rend(); ++it)
            back = ::rename(it->second.c_str(), it->first.c_str()) == 0 && back;
        if (!back)
            text += " The previous planning waits with the new one in " + staging_ +
                    "; the next start of the program puts the new one in place.";
        return std::runtime_error(text);
    };
    for (const fs::path& old : replaced) {
        fs::path inside = staging / (previousPrefix + old.filename().string());
        for (int n = 2; fs::exists(fs::symlink_status(inside, error)); ++n)
            inside = staging / (previousPrefix + old.filename().string() + "-" + std::to_string(n));
        if (::rename(old.c_str(), inside.c_str()) != 0)
            throw failed(failureAt("Could not replace the planning folder", folder_, errno));
        moved.emplace_back(old, inside);
    }

    // Step 2: the new planning takes the target's place in one rename.
    const int refused = mayReplace_ ? (::rename(staging_.c_str(), folder_.c_str()) == 0 ? 0 : errno)
                                    : renameToNew(staging_, folder_);
    if (refused == EEXIST || refused == ENOTEMPTY)
        throw failed("The folder " + folder_ + " exists already; the planning is not saved over it.");
    if (refused)
        throw failed(failureAt(mayReplace_ ? "Could not replace the planning folder" : "Could not create the planning folder",
                               folder_, refused));
    committed_ = true;
    mark_->movedTo(folder_);
    syncFolder(fs::path(folder_).parent_path());

    // Steps 3 and 4. From here on nothing is thrown and nothing dropped.
    for (const auto& [old, inside] : moved)
        takeOver(fs::path(folder_) / inside.filename(), old.filename().string(), folder_, nullptr);
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

// A staging folder left by a save: published when its commit had begun (the replaced folders
// are inside), else removed with the folder reserved for it; only under its mark, taken from a
// save that is gone. An earlier version's, without a mark, is only published, and only when it
// plainly holds a planning, new and replaced.
void finishStaging(const fs::path& staging, const fs::path& target, std::vector<std::string>& done)
{
    std::unique_ptr<WorkMark> mark;
    if (WorkMark::isIn(staging.string()) && !(mark = WorkMark::take(staging.string(), false))) {
        done.push_back("left " + staging.string() + ": a save is at work in it");
        return;
    }
    std::vector<fs::path> replaced;
    for (const fs::path& entry : entriesOf(staging))
        if (startsWith(entry.filename().string(), previousPrefix) && isDirectory(entry))
            replaced.push_back(entry);
    if (!mark) {
        if (replaced.empty() || !isFile(staging / (target.filename().string() + ".srl")) ||
            std::any_of(replaced.begin(), replaced.end(), [](const fs::path& r) { return replacedPlanning(r).empty(); }))
            return;
        if (!(mark = WorkMark::take(staging.string(), true)))
            return;
    }
    std::error_code error;
    if (replaced.empty()) {
        fs::remove_all(staging, error);
        if (isEmptyFolder(target))
            fs::remove(target, error);
        done.push_back("removed the unfinished save " + staging.string());
        return;
    }
    if (fs::exists(fs::symlink_status(target, error)) && !isEmptyFolder(target)) {
        mark->leave();
        done.push_back("kept " + staging.string() + ": " + target.string() + " is taken");
        return;
    }
    if (::rename(staging.c_str(), target.c_str()) != 0) {
        mark->leave();
        done.push_back("kept " + staging.string() + ": " + std::strerror(errno));
        return;
    }
    mark->movedTo(target.string());
    done.push_back("finished the save of " + target.string());
    for (const fs::path& folder : replaced) {
        const std::string planning = replacedPlanning(target / folder.filename());
        takeOver(target / folder.filename(),
                 planning.empty() ? folder.filename().string().substr(previousPrefix.size()) : planning, target, &done);
    }
}

// The folder an earlier version of the program put aside as ".<name>.previous<n>" (the planning
// <name> in it): its other contents go into the planning that replaced it, or, with none there,
// it is the planning again.
void finishPutAside(const fs::path& aside, const fs::path& target, std::vector<std::string>& done)
{
    const std::string planning = target.filename().string();
    if (!isFile(aside / (planning + ".srl")))
        return;
    std::error_code error;
    if (isFile(target / (planning + ".srl"))) {
        if (const auto mark = WorkMark::take(target.string(), true))
            takeOver(aside, planning, target, &done);
    } else if (!fs::exists(fs::symlink_status(target, error)) || isEmptyFolder(target)) {
        fs::remove(target, error);
        if (::rename(aside.c_str(), target.c_str()) == 0)
            done.push_back("restored the planning " + target.string());
    }
}

// A planning folder: the replaced folders it still holds are taken over; where a save was at work
// when it died (its mark is left), what that save had begun there goes too.
void finishPlanning(const fs::path& folder, std::vector<std::string>& done)
{
    std::vector<fs::path> replaced;
    for (const fs::path& entry : entriesOf(folder))
        if (!replacedPlanning(entry).empty())
            replaced.push_back(entry);
    if (replaced.empty() && !WorkMark::isIn(folder.string()))
        return;
    const auto mark = WorkMark::take(folder.string(), true);
    if (!mark) {
        done.push_back("left " + folder.string() + ": another instance is at work in it");
        return;
    }
    for (const fs::path& entry : replaced)
        takeOver(entry, replacedPlanning(entry), folder, &done);
    if (!mark->wasLeft())
        return;
    std::error_code error;
    for (const fs::path& place : {folder, folder / "system", folder / "images"})
        for (const fs::path& entry : entriesOf(place))
            if (Vexa::AtomicFile::isTemporaryName(entry.filename().string()) && isFile(entry) && fs::remove(entry, error))
                done.push_back("removed the temporary file " + entry.string());
    // A replaced folder whose removal was cut off after its planning file.
    for (const fs::path& entry : entriesOf(folder))
        if (startsWith(entry.filename().string(), previousPrefix) && isEmptyFolder(entry) && fs::remove(entry, error))
            done.push_back("removed the empty folder " + entry.string());
}

// The lock of an origin (".<time stamp>.lock") that a save held when it died.
void removeStaleLock(const fs::path& file, std::vector<std::string>& done)
{
    static const std::regex originLock("\\.\\d{4}-\\d\\d-\\d\\d__\\d\\d-\\d\\d-\\d\\d-\\d{1,3}\\.lock");
    if (!std::regex_match(file.filename().string(), originLock))
        return;
    QLockFile stale(QString::fromStdString(file.string()));
    stale.setStaleLockTime(0);
    if (stale.tryLock(0)) {
        stale.unlock();
        done.push_back("removed the stale lock " + file.string());
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
            removeStaleLock(entry, done);
            continue;
        }
        if (name.front() == '.') {
            if (const std::string target = workingTarget(name, ".saving"); !target.empty())
                finishStaging(entry, folder / target, done);
            else if (const std::string target = workingTarget(name, ".previous"); !target.empty())
                finishPutAside(entry, folder / target, done);
            continue;
        }
        if (isFile(entry / (name + ".srl")))
            finishPlanning(entry, done);
        else if (depth < 8)
            finishIn(entry, depth + 1, done);
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
