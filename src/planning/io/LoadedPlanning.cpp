#include "planning/io/LoadedPlanning.h"

#include "planning/io/saving/PlanningFinder.h"
#include "planning/model/Constants.h"
#include "planning/model/Settings.h"
#include "platform/ApplicationFolder.h"
#include "vexa/core/ExceptionStack.h"

#include <algorithm>
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

bool isThere(const fs::path& path)
{
    std::error_code error;
    return fs::exists(path, error);
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
    std::error_code error;
    const fs::file_status status = fs::status(loadedFile_, error);
    if (error && error != std::errc::no_such_file_or_directory && error != std::errc::not_a_directory)
        throw std::runtime_error("The planning file " + loadedFile_ + " cannot be read (" + error.message() + ").");
    if (fs::is_regular_file(status)) {
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

fs::path LoadedPlanning::locate(const std::string& file) const
{
    const fs::path path = plain(file);
    if (isThere(path) || !isInside(path, loadedFolder_))
        return path;
    for (const std::string& place : {moved_ ? folder_ : std::string(), replacement_})
        if (!place.empty())
            if (const fs::path there = fs::path(place) / path.lexically_relative(fs::path(loadedFolder_)); isThere(there))
                return there;
    return path;
}

fs::path LoadedPlanning::locateDescription(const std::string& file) const
{
    const fs::path path = locate(file);
    if (isThere(path) || !isInside(path, loadedFolder_) || isThere(fs::path(loadedFile_)))
        return path;
    std::vector<fs::path> places;
    if (!replacement_.empty())
        places.push_back(fs::path(replacement_) / "implant");
    places.push_back(Platform::applicationPath(Constants::implantDatabaseFolder));
    for (const fs::path& place : places) {
        std::vector<fs::path> found;
        std::error_code error;
        for (fs::recursive_directory_iterator it(place, error), end; !error && it != end; it.increment(error))
            if (it->path().filename() == path.filename() && it->is_regular_file(error))
                found.push_back(it->path());
        if (!found.empty())
            return *std::min_element(found.begin(), found.end());
    }
    return path;
}

bool LoadedPlanning::holds(const fs::path& file) const
{
    return isInside(file, loadedFolder_) || isInside(file, folder_);
}
