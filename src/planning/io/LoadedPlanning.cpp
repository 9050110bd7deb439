#include "planning/io/LoadedPlanning.h"

#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/model/Constants.h"
#include "planning/model/Settings.h"
#include "platform/ApplicationFolder.h"
#include "vexa/core/ExceptionStack.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

fs::path plain(const std::string& file)
{
    return fs::absolute(fs::path(file)).lexically_normal();
}

bool isInside(const fs::path& file, const std::string& folder)
{
    if (folder.empty())
        return false;
    const fs::path relative = plain(file.string()).lexically_relative(fs::path(folder));
    return !relative.empty() && *relative.begin() != "..";
}

// Whether anything is at the path; an error is no answer.
Answer<bool> isThere(const fs::path& path)
{
    const auto kind = FolderHandle::kindAt(path.string());
    if (!kind.ok())
        return kind.failure();
    return *kind != FolderHandle::Kind::none;
}

// The regular files named `name` below the folder (links not followed), sorted.
int findNamed(const FolderHandle& folder, const std::string& name, std::vector<fs::path>& found, int depth = 0)
{
    const auto names = folder.entries();
    if (!names.ok())
        return names.error();
    for (const std::string& entry : *names) {
        const auto kind = folder.kind(entry);
        if (!kind.ok())
            return kind.error();
        if (*kind == FolderHandle::Kind::file && entry == name)
            found.push_back(folder.pathOf(entry));
        if (*kind != FolderHandle::Kind::folder || depth >= 8)
            continue;
        const FolderHandle inner = folder.child(entry);
        if (const int error = inner ? findNamed(inner, name, found, depth + 1) : inner.error(); error && error != ENOENT)
            return error;
    }
    return 0;
}

}

LoadedPlanning::LoadedPlanning(const Settings& settings) try
    : patientPaths_(settings.getPatientPaths()), loadedFile_(settings.getPlanningFile()),
      origin_(settings.getPlanningOrigin()), identity_(settings.getPlanningIdentity())
{
    if (loadedFile_.empty())
        return;
    loadedFile_ = plain(loadedFile_).string();
    loadedFolder_ = fs::path(loadedFile_).parent_path().string();
    if (origin_.empty())
        origin_ = fs::path(loadedFolder_).filename().string();
    lookAgain();
}
VEXA_RETHROW

std::string LoadedPlanning::fileName() const
{
    return fs::path(loadedFile_).filename().string();
}

void LoadedPlanning::lookAgain() try
{
    folder_.clear();
    replacement_.clear();
    moved_ = false;
    if (!isSet())
        return;
    // Only a file that is provably not there any more sends the search elsewhere.
    const auto kind = FolderHandle::kindAt(loadedFile_);
    if (!kind.ok())
        throw std::runtime_error("The planning file " + loadedFile_ + " cannot be read (" + reasonOf(kind.error()) +
                                 ").");
    if (*kind == FolderHandle::Kind::file) {
        folder_ = loadedFolder_;
        return;
    }
    if (const std::string moved = PlanningFinder::findByContent(patientPaths_, origin_, identity_); !moved.empty()) {
        folder_ = moved;
        moved_ = true;
        return;
    }
    replacement_ = PlanningFinder::findByOrigin(patientPaths_, origin_);
    // The folder loaded stands again (a save that failed put it back): it was not replaced.
    if (replacement_ == loadedFolder_)
        replacement_.clear();
}
VEXA_RETHROW

std::string LoadedPlanning::savedAgainText(const std::string& now) const
{
    return "The planning " + loadedFolder_ + " was saved again meanwhile, by another instance of the program: it is now in " +
           now + ". Overwriting it would throw that work away; \"Save as new\" keeps this planning beside it.";
}

Answer<fs::path> LoadedPlanning::locate(const std::string& file) const
{
    const fs::path path = plain(file);
    const auto there = isThere(path);
    if (!there.ok() || *there || !isInside(path, loadedFolder_))
        return there.ok() ? Answer<fs::path>(path) : there.failure();
    for (const std::string& place : {moved_ ? folder_ : std::string(), replacement_}) {
        if (place.empty())
            continue;
        const fs::path moved = fs::path(place) / path.lexically_relative(fs::path(loadedFolder_));
        const auto found = isThere(moved);
        if (!found.ok())
            return found.failure();
        if (*found)
            return moved;
    }
    return path;
}

Answer<fs::path> LoadedPlanning::locateDescription(const std::string& file) const
{
    const auto located = locate(file);
    if (!located.ok())
        return located;
    const fs::path& path = *located;
    const auto there = isThere(path), planning = isThere(fs::path(loadedFile_));
    for (const auto* look : {&there, &planning})
        if (!look->ok())
            return look->failure();
    if (*there || !isInside(path, loadedFolder_) || *planning)
        return path;
    std::vector<fs::path> places;
    if (!replacement_.empty())
        places.push_back(fs::path(replacement_) / "implant");
    places.push_back(Platform::applicationPath(Constants::implantDatabaseFolder));
    for (const fs::path& place : places) {
        std::vector<fs::path> found;
        const FolderHandle folder = FolderHandle::open(place.string(), true);
        if (const int error = folder ? findNamed(folder, path.filename().string(), found) : folder.error();
            error && error != ENOENT)
            return Failure{error};
        if (!found.empty())
            return *std::min_element(found.begin(), found.end());
    }
    return path;
}

bool LoadedPlanning::holds(const fs::path& file) const
{
    return isInside(file, loadedFolder_) || isInside(file, folder_);
}
