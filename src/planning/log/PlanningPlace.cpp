#include "planning/log/PlanningPlace.h"

#include "planning/io/LoadedPlanning.h"
#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/OriginLock.h"
#include "planning/model/Settings.h"
#include "platform/DebugOutput.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <stdexcept>

namespace {

std::atomic<long long> patienceSet{0}; // milliseconds; 0: PlanningPlace::patience

bool isFolder(const std::string& path)
{
    const auto kind = FolderHandle::kindAt(path);
    return kind.ok() && *kind == FolderHandle::Kind::folder;
}

void record(const std::string& text)
{
    Platform::outputDebugString("PlanningPlace: " + text + "\n");
}

}

void PlanningPlace::setPatience(std::chrono::milliseconds patience)
{
    patienceSet = patience.count();
}

PlanningPlace::PlanningPlace(const Settings* settings, const std::function<void(const std::string&)>& waiting,
                             std::chrono::milliseconds most)
{
    if (!settings || settings->getPlanningFile().empty())
        return;
    const std::string loadedFolder =
        std::filesystem::absolute(settings->getPlanningFile()).lexically_normal().parent_path().string();
    try {
        LoadedPlanning loaded(*settings);
        try {
            turn_ = std::make_unique<OriginLock>(std::filesystem::path(loadedFolder).parent_path().string(),
                                                 loaded.origin(), waiting,
                                                 std::min(most, patienceSet ? std::chrono::milliseconds(patienceSet.load())
                                                                            : std::chrono::milliseconds(patience)));
        } catch (const std::exception& e) {
            record(std::string("the planning is looked for without its turn: ") + e.what());
        }
        // An overwrite may have published before the turn was ours.
        if (turn_)
            loaded.lookAgain();
        folder_ = loaded.folder().empty() ? loaded.replacement() : loaded.folder();
    } catch (const std::exception& e) {
        // A folder that cannot be read: the planning is taken to be where it was.
        record(e.what());
    }
    if (folder_.empty() && isFolder(loadedFolder))
        folder_ = loadedFolder;
}

PlanningPlace::~PlanningPlace() = default;
