#include "planning/io/saving/PlanningFinder.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IniFileManager.h"

#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace {

// Folders an earlier version of the program put the replaced plannings in, inside the new one.
const std::string previousPrefix = ".previous-";

// "MM/dd/yyyy hh:mm:ss" as "yyyy/MM/dd hh:mm:ss", which sorts by time; anything else as it is.
std::string sortableTime(const std::string& stored)
{
    if (stored.size() != 19 || stored[2] != '/' || stored[5] != '/')
        return stored;
    return stored.substr(6, 4) + "/" + stored.substr(0, 5) + stored.substr(10);
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

std::string folderName(const FolderHandle& folder)
{
    return fs::path(folder.path()).filename().string();
}

// The origin the planning file carries; the folder's name for one written before it was kept.
std::string originOf(const FolderHandle& folder, const std::string& planning)
{
    const Vexa::IniFileManager ini(folder.pathOf(planning), Vexa::IniFileManager::ReadOnly);
    const std::string stored = ini.getValue("Planningdata", "origin", std::string());
    return stored.empty() ? folderName(folder) : stored;
}

// Calls `visit` with each planning of the origin below the patient folders.
void eachOfOrigin(const std::vector<std::string>& patientPaths, const std::string& origin,
                  const std::function<void(const FolderHandle&, const std::string&)>& visit)
{
    if (origin.empty())
        return;
    for (const std::string& base : patientPaths)
        if (!base.empty())
            PlanningFinder::eachPlanning(FolderHandle::open(base, true), [&](const FolderHandle& folder, const std::string& planning) {
                if (originOf(folder, planning) == origin)
                    visit(folder, planning);
            });
}

}

namespace PlanningFinder {

std::string planningIn(const FolderHandle& folder, const std::string& known)
{
    if (!folder)
        return {};
    if (!known.empty())
        return folder.isFile(known) ? known : std::string();
    std::string name = folderName(folder);
    if (name.compare(0, previousPrefix.size(), previousPrefix) == 0)
        name.erase(0, previousPrefix.size());
    // An earlier version numbered folders of one name: ".previous-<name>-<n>".
    for (std::string planning = name; !planning.empty();) {
        if (folder.isFile(planning + ".srl"))
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
    for (const std::string& file : folder.entries()) {
        const auto dot = file.find('.');
        if (dot != std::string::npos && file.compare(dot, std::string::npos, ".srl") == 0 && folder.isFile(file)) {
            only = file;
            ++count;
        }
    }
    return count == 1 ? only : std::string();
}

std::string planningIn(const std::string& folder, const std::string& known)
{
    return planningIn(FolderHandle::open(folder), known);
}

void eachPlanning(const FolderHandle& folder, const std::function<void(const FolderHandle&, const std::string&)>& visit,
                  int depth)
{
    for (const std::string& name : folder.entries()) {
        if (name.front() == '.' || !folder.isFolder(name))
            continue;
        const FolderHandle entry = folder.child(name);
        if (const std::string planning = planningIn(entry); !planning.empty())
            visit(entry, planning);
        else if (depth < 8)
            eachPlanning(entry, visit, depth + 1);
    }
}

std::string saveTimeKey(const std::string& folder) try
{
    const FolderHandle handle = FolderHandle::open(folder, true);
    const Vexa::IniFileManager ini(handle.pathOf(planningIn(handle)), Vexa::IniFileManager::ReadOnly);
    return sortableTime(ini.getValue("Planningdata", "lastModified", std::string())) + "|" +
           paddedTimeStamp(folderName(handle));
}
VEXA_RETHROW

std::string findByOrigin(const std::vector<std::string>& patientPaths, const std::string& origin) try
{
    std::string found, foundTime;
    eachOfOrigin(patientPaths, origin, [&](const FolderHandle& folder, const std::string&) {
        // The last saved one: the stored time has seconds, the time-stamp name milliseconds.
        const std::string time = saveTimeKey(folder.path());
        if (found.empty() || time > foundTime) {
            found = folder.path();
            foundTime = time;
        }
    });
    return found;
}
VEXA_RETHROW

std::string findByContent(const std::vector<std::string>& patientPaths, const std::string& origin,
                          const std::string& contentKey) try
{
    std::string found;
    if (contentKey.empty())
        return found;
    eachOfOrigin(patientPaths, origin, [&](const FolderHandle& folder, const std::string& planning) {
        if (found.empty() && folder.contentKey(planning) == contentKey)
            found = folder.path();
    });
    return found;
}
VEXA_RETHROW

}
