#include "planning/io/PlanningFolderUpdate.h"

#include "planning/io/PlanningFile.h"
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
#include <fstream>
#include <optional>
#include <regex>
#include <set>
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

// Folders an earlier version of the program put the replaced plannings in, inside the new one.
const std::string previousPrefix = ".previous-";
// The record of a replaced folder, in the planning that replaces it.
const std::string recordPrefix = ".morvanta-replaces-";
constexpr char recordMagic[] = "morvanta-replaces 1";

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

// Links count as what they are, never as what they point to.
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

bool isThere(const fs::path& path)
{
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// Whether every folder on the way from `base` to `relative` below it is a real folder, no link.
bool isPlainBelow(const fs::path& base, const fs::path& relative)
{
    fs::path at = base;
    for (const fs::path& part : relative.parent_path()) {
        at /= part;
        std::error_code error;
        if (fs::is_symlink(fs::symlink_status(at, error)))
            return false;
    }
    return true;
}

// A replaced folder: where it is, the name of its planning file (empty: none) and that
// planning's own files, relative to it.
struct Replaced
{
    fs::path folder;
    std::string planning;
    std::set<std::string> own;
};

std::set<std::string> ownFilesIn(const fs::path& folder, const std::string& planning)
{
    if (planning.empty() || !isFile(folder / planning))
        return {};
    try {
        const std::vector<std::string> files = PlanningFile::read((folder / planning).string()).ownFiles(folder.string());
        return {files.begin(), files.end()};
    } catch (const std::exception&) {
        // A planning file that cannot be read names no files: all else is the user's.
        return {};
    }
}

Replaced replacedIn(const fs::path& folder)
{
    Replaced replaced{folder, PlanningFolderUpdate::planningIn(folder.string()), {}};
    replaced.own = ownFilesIn(folder, replaced.planning);
    return replaced;
}

std::string recordText(const Replaced& replaced)
{
    std::string text = std::string(recordMagic) + "\n" + replaced.folder.filename().string() + "\n" + replaced.planning + "\n";
    for (const std::string& file : replaced.own)
        text += file + "\n";
    return text;
}

// The replaced folder a record names; nothing for a file that is no record of this program's.
// It names a folder beside the planning, never one elsewhere.
std::optional<Replaced> readRecord(const fs::path& record)
{
    if (!isFile(record))
        return std::nullopt;
    std::ifstream in(record);
    std::vector<std::string> lines;
    for (std::string line; lines.size() < 1000000 && std::getline(in, line);)
        lines.push_back(line);
    if (lines.size() < 3 || lines[0] != recordMagic || lines[1].empty() || lines[1] == "." || lines[1] == ".." ||
        lines[1].find('/') != std::string::npos || lines[2].find('/') != std::string::npos)
        return std::nullopt;
    Replaced replaced{record.parent_path().parent_path() / lines[1], lines[2], {}};
    for (std::size_t i = 3; i < lines.size(); ++i)
        if (PlanningFile::staysInFolder(lines[i]))
            replaced.own.insert(fs::path(lines[i]).lexically_normal().generic_string());
    return replaced;
}

std::vector<fs::path> recordsIn(const fs::path& folder)
{
    std::vector<fs::path> records;
    for (const fs::path& entry : entriesOf(folder))
        if (startsWith(entry.filename().string(), recordPrefix) && isFile(entry))
            records.push_back(entry);
    return records;
}

// Folders an earlier version left inside `folder` holding a replaced planning.
std::vector<fs::path> earlierReplacedIn(const fs::path& folder)
{
    std::vector<fs::path> found;
    for (const fs::path& entry : entriesOf(folder))
        if (startsWith(entry.filename().string(), previousPrefix) && isDirectory(entry) &&
            !PlanningFolderUpdate::planningIn(entry.string()).empty())
            found.push_back(entry);
    return found;
}

// The note on an entry that stays where it is.
std::string stays(const fs::path& entry, const fs::path& folder, int error)
{
    return entry.string() + " could not move into " + folder.string() + " (" + std::strerror(error) +
           "); it stays where it is.";
}

// Moves `entry` to `target` without ever replacing a file: a folder of that name there is
// merged, an empty one replaced. What moved meanwhile by another instance's hand counts as
// moved; one note for each part that stays.
void moveInto(const fs::path& entry, const fs::path& target, std::vector<std::string>& notes)
{
    std::error_code ignored;
    if (isEmptyFolder(target))
        fs::remove(target, ignored);
    const int failed = renameNoReplace(entry.string(), target.string());
    if (failed == 0 || (failed == ENOENT && !isThere(entry)))
        return;
    if (failed != EEXIST || !isDirectory(entry) || !isDirectory(target)) {
        notes.push_back(stays(entry, target.parent_path(), failed));
        return;
    }
    const std::size_t before = notes.size();
    for (const fs::path& inner : entriesOf(entry))
        moveInto(inner, target / inner.filename(), notes);
    if (notes.size() == before && ::rmdir(entry.c_str()) != 0 && errno != ENOENT)
        notes.push_back(stays(entry, target.parent_path(), errno));
}

// Moves what `relative` in the replaced folder holds besides its planning's files to the same
// place in `into`; folders its files lie in are gone through, replaced folders an earlier
// version left are collected in `earlier`. One note for each entry that stays.
void moveOthers(const Replaced& replaced, const fs::path& relative, const std::set<std::string>& ownFolders,
                const fs::path& into, std::vector<fs::path>& earlier, std::vector<std::string>& notes)
{
    for (const fs::path& entry : entriesOf(replaced.folder / relative)) {
        const std::string name = entry.filename().string();
        const fs::path path = relative / name;
        const bool folder = isDirectory(entry);
        if (relative.empty()) {
            if (name == WorkMark::fileName || name == replaced.planning)
                continue;
            if (folder && startsWith(name, previousPrefix) && !PlanningFolderUpdate::planningIn(entry.string()).empty()) {
                earlier.push_back(entry);
                continue;
            }
        }
        if (!folder && replaced.own.count(path.generic_string()))
            continue;
        if (folder && ownFolders.count(path.generic_string())) {
            moveOthers(replaced, path, ownFolders, into, earlier, notes);
            continue;
        }
        int error = isPlainBelow(into, path) ? 0 : ELOOP;
        std::error_code made;
        if (!error && !relative.empty() && !fs::create_directories(into / relative, made) && made)
            error = made.value();
        if (error)
            notes.push_back(stays(entry, relative.empty() ? into : into / relative, error));
        else
            moveInto(entry, into / path, notes);
    }
}

std::optional<fs::path> finishRecord(const fs::path& record, const fs::path& into, std::vector<std::string>& notes,
                                     int depth);

// Takes the replaced folder over into the planning folder `into`: first what take-overs into it
// that were cut off had left, then its entries that are not its planning's files move; then its
// planning file goes (it is listed no more), its other files and the folder. True once no file
// of the replaced planning is left; what stays of the user's is told in `notes`.
bool takeOver(const Replaced& replaced, const fs::path& into, std::vector<std::string>& notes, int depth)
{
    const fs::path& folder = replaced.folder;
    if (!isThere(folder))
        return true;
    if (!isDirectory(folder)) {
        notes.push_back("left " + folder.string() + ": it is a link, which no save follows");
        return true;
    }
    // Held while it is taken over, so that no start finishes take-overs into it meanwhile (what
    // they moved in after this had gone through it would be left behind). A mark of another
    // computer's that cannot be judged here is no one at work: its lock is free.
    const auto mark = WorkMark::take(folder.string(), true);
    if (!mark && WorkMark::isHeld(folder.string())) {
        notes.push_back("left " + folder.string() + ": another instance is at work in it");
        return false;
    }
    if (depth < 8)
        for (const fs::path& record : recordsIn(folder))
            finishRecord(record, into, notes, depth + 1);
    std::set<std::string> ownFolders;
    for (const std::string& file : replaced.own)
        for (fs::path at = fs::path(file).parent_path(); !at.empty(); at = at.parent_path())
            ownFolders.insert(at.generic_string());
    std::vector<fs::path> earlier;
    moveOthers(replaced, {}, ownFolders, into, earlier, notes);
    // After the folder's own entries: where names meet, the later planning's file is kept.
    for (const fs::path& inner : earlier)
        if (depth < 8)
            takeOver(replacedIn(inner), into, notes, depth + 1);

    int kept = 0;
    const auto remove = [&](const fs::path& relative) {
        const fs::path file = folder / relative;
        if (!isPlainBelow(folder, relative) || !isThere(file) || isDirectory(file))
            return;
        if (::unlink(file.c_str()) != 0 && errno != ENOENT && !kept)
            kept = errno;
    };
    if (!replaced.planning.empty())
        remove(replaced.planning);
    for (const std::string& file : replaced.own)
        remove(file);
    for (auto it = ownFolders.rbegin(); it != ownFolders.rend(); ++it)
        if (isPlainBelow(folder, fs::path(*it) / "x"))
            ::rmdir((folder / *it).c_str()); // only while it is empty
    if (kept) {
        notes.push_back("kept " + folder.string() + ": files of the replaced planning could not be removed (" +
                        std::strerror(kept) + ")");
        return false;
    }
    if (mark)
        mark->leave();
    ::unlink((folder / WorkMark::fileName).c_str());
    ::rmdir(folder.c_str()); // what stayed of the user's keeps it
    return true;
}

// The line a start writes for a replaced folder it took over.
std::string tookOver(const fs::path& replaced, const fs::path& into)
{
    return "took over the files of the replaced planning " + replaced.string() + " into " + into.string();
}

// Finishes the take-over that a record names into `into`; the record goes once it is whole.
std::optional<fs::path> finishRecord(const fs::path& record, const fs::path& into, std::vector<std::string>& notes,
                                     int depth)
{
    const auto replaced = readRecord(record);
    if (!replaced || !takeOver(*replaced, into, notes, depth))
        return std::nullopt;
    ::unlink(record.c_str());
    return replaced->folder;
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
    // A replaced planning that could not be put back (a file system that cannot exchange two
    // folders) stays inside, with the new one: the next start publishes them.
    if (!earlierReplacedIn(staging_).empty()) {
        if (mark_)
            mark_->leave();
        return;
    }
    std::error_code error;
    fs::remove_all(staging_, error);
    if (reserved_)
        ::rmdir(folder_.c_str()); // only while it is empty
}

void PlanningFolderUpdate::setReplacedPlanning(std::string fileName, std::vector<std::string> ownFiles)
{
    replacedFile_ = std::move(fileName);
    replacedOwn_ = std::move(ownFiles);
    replacedKnown_ = true;
}

std::string PlanningFolderUpdate::planningIn(const std::string& folder, const std::string& known)
{
    const fs::path path(folder);
    if (!isDirectory(path))
        return {};
    if (!known.empty())
        return isFile(path / known) ? known : std::string();
    std::string name = path.filename().string();
    if (startsWith(name, previousPrefix))
        name.erase(0, previousPrefix.size());
    // An earlier version numbered folders of one name: ".previous-<name>-<n>".
    for (std::string planning = name; !planning.empty();) {
        if (isFile(path / (planning + ".srl")))
            return planning + ".srl";
        const auto dash = planning.rfind('-');
        if (dash == std::string::npos || dash + 1 == planning.size() ||
            planning.find_first_not_of("0123456789", dash + 1) != std::string::npos)
            break;
        planning.resize(dash);
    }
    // A folder the user renamed: its one planning file, as the planning list finds it (all
    // after the first dot is the extension).
    std::string only;
    int count = 0;
    for (const fs::path& entry : entriesOf(path)) {
        const std::string file = entry.filename().string();
        const auto dot = file.find('.');
        if (dot != std::string::npos && file.compare(dot, std::string::npos, ".srl") == 0 && isFile(entry)) {
            only = file;
            ++count;
        }
    }
    return count == 1 ? only : std::string();
}

namespace {

// Swaps two folders in one step; ENOSYS or EINVAL where the file system cannot.
int swapFolders(const std::string& a, const std::string& b)
{
    return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0 ? 0 : errno;
}

}

void PlanningFolderUpdate::commit() try
{
    const fs::path staging(staging_), target(folder_);
    const bool inPlace = isThere(target) && !isEmptyFolder(target);
    const auto existsAlready = [this] {
        return std::runtime_error("The folder " + folder_ + " exists already; the planning is not saved over it.");
    };
    if (inPlace && !mayReplace_)
        throw existsAlready();
    if (inPlace && !isDirectory(target))
        throw std::runtime_error(failureAt("Could not replace the planning folder", folder_, ENOTDIR));

    // What each replaced folder holds of its planning: the planning loaded as it was known, any
    // other by the one rule.
    const bool previousThere = !previous_.empty() && isDirectory(previous_);
    const auto describe = [this](const fs::path& folder, bool loaded) {
        if (!loaded || !replacedKnown_)
            return replacedIn(folder);
        Replaced replaced{folder, planningIn(folder.string(), replacedFile_), {}};
        if (replaced.planning.empty())
            replaced.own = {replacedOwn_.begin(), replacedOwn_.end()};
        else
            replaced.own = ownFilesIn(folder, replaced.planning);
        return replaced;
    };
    std::vector<Replaced> replaced;
    std::vector<fs::path> records;
    const auto record = [&](Replaced r) {
        // Only a folder beside the planning is recorded: the record must mean the same on every
        // computer, whatever path the patient folder has there. Another is taken over here alone.
        if (r.folder.parent_path() == target.parent_path()) {
            records.push_back(staging / (recordPrefix + r.folder.filename().string()));
            try {
                Vexa::AtomicFile::writeFile(records.back().string(), recordText(r));
            } catch (const Vexa::WriteError& e) {
                throw std::runtime_error(failureAt("Could not create the planning folder", folder_, e.error()));
            }
        }
        replaced.push_back(std::move(r));
    };
    if (previousThere)
        record(describe(previous_, true));

    if (inPlace) {
        // The old planning takes the staging folder's place in the same step as the new one
        // takes its own: the one folder is listed throughout.
        Replaced old = describe(target, !previousThere);
        old.folder = staging;
        record(old);
        int error = swapFolders(staging_, folder_);
        if (error == EINVAL || error == ENOSYS) {
            // A file system that cannot: the old planning goes into the staging folder, which
            // then takes the target's place, as an earlier version did.
            ::unlink(records.back().c_str());
            records.pop_back();
            replaced.pop_back();
            const fs::path inside = staging / (previousPrefix + target.filename().string());
            if (::rename(folder_.c_str(), inside.c_str()) != 0)
                throw std::runtime_error(failureAt("Could not replace the planning folder", folder_, errno));
            error = ::rename(staging_.c_str(), folder_.c_str()) == 0 ? 0 : errno;
            if (error && ::rename(inside.c_str(), folder_.c_str()) != 0)
                throw std::runtime_error(failureAt("Could not replace the planning folder", folder_, error) +
                                         " The previous planning waits with the new one in " + staging_ +
                                         "; the next start of the program puts the new one in place.");
            if (!error)
                replaced.push_back(describe(target / inside.filename(), !previousThere));
        }
        if (error)
            throw std::runtime_error(failureAt("Could not replace the planning folder", folder_, error));
    } else {
        const int refused = mayReplace_ ? (::rename(staging_.c_str(), folder_.c_str()) == 0 ? 0 : errno)
                                        : renameToNew(staging_, folder_);
        if (refused == EEXIST || refused == ENOTEMPTY)
            throw existsAlready();
        if (refused)
            throw std::runtime_error(failureAt(
                mayReplace_ ? "Could not replace the planning folder" : "Could not create the planning folder", folder_, refused));
    }
    committed_ = true;
    mark_->movedTo(folder_);
    syncFolder(target.parent_path());

    // From here on nothing is thrown and nothing dropped.
    for (const Replaced& r : replaced) {
        const bool whole = takeOver(r, target, notes_, 0);
        const fs::path recorded = target / (recordPrefix + r.folder.filename().string());
        if (whole && isFile(recorded))
            ::unlink(recorded.c_str());
    }
    syncFolder(target);
    // The planning is whole: from now on another save may replace it.
    mark_.reset();
}
VEXA_RETHROW

std::string PlanningFolderUpdate::saveTimeKey(const std::string& folder) try
{
    const fs::path path(folder);
    const std::string name = path.filename().string();
    const Vexa::IniFileManager ini((path / planningIn(folder)).string(), Vexa::IniFileManager::ReadOnly);
    return sortableTime(ini.getValue("Planningdata", "lastModified", std::string())) + "|" + paddedTimeStamp(name);
}
VEXA_RETHROW

namespace {

// Calls `visit` with every planning folder below `folder` and the name of its planning file,
// hidden folders and links left out; a folder that cannot be read (or went meanwhile) is passed over.
template<class Visit>
void eachPlanning(const fs::path& folder, int depth, const Visit& visit)
{
    for (const fs::path& entry : entriesOf(folder)) {
        if (entry.filename().string().front() == '.' || !isDirectory(entry))
            continue;
        if (const std::string planning = PlanningFolderUpdate::planningIn(entry.string()); !planning.empty())
            visit(entry, planning);
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
        eachPlanning(fs::path(normalFolder(base)), 0, [&](const fs::path& folder, const std::string& planning) {
            const Vexa::IniFileManager ini((folder / planning).string(), Vexa::IniFileManager::ReadOnly);
            const std::string stored = ini.getValue("Planningdata", "origin", std::string());
            if ((stored.empty() ? folder.filename().string() : stored) != origin)
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

// A staging folder left by a save. One that was never published holds only that save's own
// files: it goes, with the folder reserved for it, under its mark taken from a save that is
// gone. One of an earlier version, whose commit had put the replaced folders inside, is
// published and they are taken over; without a mark only when it plainly holds a planning, new
// and replaced.
void finishStaging(const fs::path& staging, const fs::path& target, std::vector<std::string>& done)
{
    // The old planning that a planning replaced in its own folder took the staging folder's name:
    // it is the published planning's to take over, by its record.
    if (isFile(target / (recordPrefix + staging.filename().string())))
        return;
    std::unique_ptr<WorkMark> mark;
    std::string why;
    if (WorkMark::isIn(staging.string()) && !(mark = WorkMark::take(staging.string(), false, &why))) {
        done.push_back("left " + staging.string() + ": " + why);
        return;
    }
    const std::vector<fs::path> replaced = earlierReplacedIn(staging);
    if (!mark) {
        const std::vector<fs::path> entries = entriesOf(staging);
        const auto folders = std::count_if(entries.begin(), entries.end(), [](const fs::path& entry) {
            return startsWith(entry.filename().string(), previousPrefix) && isDirectory(entry);
        });
        if (replaced.empty() || std::size_t(folders) != replaced.size() ||
            !isFile(staging / (target.filename().string() + ".srl")))
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
    if (isThere(target) && !isEmptyFolder(target)) {
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
    for (const fs::path& folder : replaced)
        if (takeOver(replacedIn(target / folder.filename()), target, done, 0))
            done.push_back(tookOver(target / folder.filename(), target));
}

// The folder an earlier version of the program put aside as ".<name>.previous<n>" (the planning
// <name> in it): its other contents go into the planning that replaced it, or, with none there,
// it is the planning again.
void finishPutAside(const fs::path& aside, const fs::path& target, std::vector<std::string>& done)
{
    const std::string planning = target.filename().string() + ".srl";
    if (!isFile(aside / planning) || (isThere(target) && !isDirectory(target)))
        return;
    std::error_code error;
    if (isFile(target / planning)) {
        if (takeOver(Replaced{aside, planning, ownFilesIn(aside, planning)}, target, done, 0))
            done.push_back(tookOver(aside, target));
    } else if (!isThere(target) || isEmptyFolder(target)) {
        fs::remove(target, error);
        if (::rename(aside.c_str(), target.c_str()) == 0)
            done.push_back("restored the planning " + target.string());
    }
}

// A planning folder: the take-overs it records, and replaced folders an earlier version left in
// it, are finished, by any instance; where a save of this computer died at work in it (its
// mark is left), what that save had begun there goes too.
void finishPlanning(const fs::path& folder, std::vector<std::string>& done)
{
    const std::vector<fs::path> records = recordsIn(folder), earlier = earlierReplacedIn(folder);
    const bool marked = WorkMark::isIn(folder.string());
    if (records.empty() && earlier.empty() && !marked)
        return;
    if (WorkMark::isHeld(folder.string())) {
        done.push_back("left " + folder.string() + ": another instance is at work in it");
        return;
    }
    for (const fs::path& record : records)
        if (const auto replaced = finishRecord(record, folder, done, 0))
            done.push_back(tookOver(*replaced, folder));
    for (const fs::path& entry : earlier)
        if (takeOver(replacedIn(entry), folder, done, 0))
            done.push_back(tookOver(entry, folder));
    const auto mark = marked ? WorkMark::take(folder.string(), false) : nullptr;
    if (!mark || !mark->wasLeft())
        return;
    std::error_code error;
    for (const fs::path& place : {folder, folder / "system", folder / "images"})
        if (isDirectory(place))
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
        if (!PlanningFolderUpdate::planningIn(entry.string()).empty())
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
