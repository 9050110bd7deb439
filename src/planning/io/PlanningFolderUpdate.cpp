#include "planning/io/PlanningFolderUpdate.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IniFileManager.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
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

}

PlanningFolderUpdate::PlanningFolderUpdate(std::string folder, std::string previous, bool mayReplace) try
    : folder_(normalFolder(folder)), previous_(normalFolder(previous)), mayReplace_(mayReplace)
{
    if (previous_ == folder_)
        previous_.clear();
    std::error_code error;
    const fs::path parent = fs::path(folder_).parent_path();
    fs::create_directories(parent, error);
    staging_ = hiddenSibling(".saving");
    if (!fs::create_directory(staging_, error) || error)
        throw std::runtime_error("Could not create the folder " + staging_ + " to save the planning in.");
}
VEXA_RETHROW

PlanningFolderUpdate::~PlanningFolderUpdate()
{
    if (committed_)
        return;
    std::error_code error;
    fs::remove_all(staging_, error);
}

std::string PlanningFolderUpdate::hiddenSibling(const std::string& suffix) const try
{
    const fs::path target(folder_);
    const std::string base = (target.parent_path() / ("." + target.filename().string() + suffix)).string();
    std::error_code error;
    for (unsigned n = 0;; ++n) {
        const std::string candidate = base + std::to_string(n);
        if (!fs::exists(fs::symlink_status(candidate, error)))
            return candidate;
    }
}
VEXA_RETHROW

bool PlanningFolderUpdate::isPlanningEntry(const std::string& name)
{
    return name == "dicom" || name == "surface" || name == "implant" ||
           (name.size() > 4 && name.compare(name.size() - 4, 4, ".srl") == 0);
}

bool PlanningFolderUpdate::carryOver(const std::string& from) try
{
    bool all = true;
    std::error_code error;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());
    if (error)
        return false;
    for (const fs::path& entry : entries) {
        const std::string name = entry.filename().string();
        if (isPlanningEntry(name))
            continue;
        const fs::path target = fs::path(folder_) / name;
        // The writer makes empty "images" and "system" folders; the old ones take their place.
        if (fs::is_directory(fs::symlink_status(target, error)) && fs::is_empty(target, error))
            fs::remove(target, error);
        error.clear();
        fs::rename(entry, target, error);
        if (error)
            all = false;
    }
    return all;
}
VEXA_RETHROW

void PlanningFolderUpdate::commit() try
{
    std::error_code error;
    std::string backup;
    if (!mayReplace_) {
        if (const int failed = renameToNew(staging_, folder_))
            throw std::runtime_error(failed == EEXIST
                                         ? "The folder " + folder_ + " exists already; the planning is not saved over it."
                                         : "Could not create the planning folder " + folder_ + ": " +
                                               std::strerror(failed));
    } else {
        if (fs::exists(fs::symlink_status(folder_, error))) {
            backup = hiddenSibling(".previous");
            fs::rename(folder_, backup, error);
            if (error)
                throw std::runtime_error("Could not replace the planning folder " + folder_ + ": " + error.message());
        }
        fs::rename(staging_, folder_, error);
        if (error) {
            std::string reason = error.message();
            if (!backup.empty()) {
                fs::rename(backup, folder_, error);
                if (error)
                    reason += "; the previous planning is kept in " + backup;
            }
            throw std::runtime_error("Could not replace the planning folder " + folder_ + ": " + reason);
        }
    }
    committed_ = true;
    syncFolder(fs::path(folder_).parent_path());

    // The new planning is in place; from here on nothing is thrown and nothing dropped.
    for (const std::string& old : {backup, previous_}) {
        if (old.empty() || !fs::is_directory(old, error))
            continue;
        if (carryOver(old))
            fs::remove_all(old, error);
    }
}
VEXA_RETHROW

std::string PlanningFolderUpdate::findByOrigin(const std::vector<std::string>& patientPaths,
                                               const std::string& origin) try
{
    std::string found;
    std::string foundTime;
    if (origin.empty())
        return found;
    std::error_code error;
    for (const std::string& base : patientPaths) {
        fs::recursive_directory_iterator it(base, fs::directory_options::skip_permission_denied, error), end;
        for (; !error && it != end; it.increment(error)) {
            const fs::path path = it->path();
            const std::string name = path.filename().string();
            std::error_code kind;
            if (it->is_directory(kind)) {
                // Staging folders and the like, and links (which may lead anywhere, or in circles).
                if (name.front() == '.' || it->is_symlink(kind))
                    it.disable_recursion_pending();
                continue;
            }
            // A saved planning: "<folder>/<folder>.srl".
            if (path.extension() != ".srl" || path.stem() != path.parent_path().filename())
                continue;
            const Vexa::IniFileManager ini(path.string(), Vexa::IniFileManager::ReadOnly);
            const std::string folder = path.parent_path().filename().string();
            const std::string stored = ini.getValue("Planningdata", "origin", std::string());
            if ((stored.empty() ? folder : stored) != origin)
                continue;
            // The last saved one; the time-stamp names sort by time when the times are equal.
            const std::string time = sortableTime(ini.getValue("Planningdata", "lastModified", std::string())) + folder;
            if (found.empty() || time > foundTime) {
                found = path.parent_path().string();
                foundTime = time;
            }
        }
        error.clear();
    }
    return found;
}
VEXA_RETHROW
