#include "planning/io/PlanningFolderUpdate.h"

#include "vexa/core/ExceptionStack.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

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

}

PlanningFolderUpdate::PlanningFolderUpdate(std::string folder, std::string previous) try
    : folder_(normalFolder(folder)), previous_(normalFolder(previous))
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
    if (fs::exists(fs::symlink_status(folder_, error))) {
        backup = hiddenSibling(".previous");
        fs::rename(folder_, backup, error);
        if (error)
            throw std::runtime_error("Could not replace the planning folder " + folder_ + ": " + error.message());
    }
    fs::rename(staging_, folder_, error);
    if (error) {
        const std::string reason = error.message();
        if (!backup.empty())
            fs::rename(backup, folder_, error);
        throw std::runtime_error("Could not replace the planning folder " + folder_ + ": " + reason);
    }
    committed_ = true;

    // The new planning is in place; from here on nothing is thrown and nothing dropped.
    for (const std::string& old : {backup, previous_}) {
        if (old.empty() || !fs::is_directory(old, error))
            continue;
        if (carryOver(old))
            fs::remove_all(old, error);
    }
}
VEXA_RETHROW
