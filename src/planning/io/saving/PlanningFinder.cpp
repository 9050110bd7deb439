#include "planning/io/saving/PlanningFinder.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IniFileManager.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

using PlanningFinder::previousPrefix;

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
    // The shape, "d" a digit: "dddd-dd-dd__dd-dd-dd-" and one to three digits.
    static const std::string shape = "dddd-dd-dd__dd-dd-dd-";
    const std::size_t digits = name.size() - std::min(name.size(), shape.size());
    if (name.size() <= shape.size() || digits > 3)
        return name;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (i < shape.size() ? (shape[i] == 'd') != digit || (!digit && name[i] != shape[i]) : !digit)
            return name;
    }
    return name.substr(0, shape.size()) + std::string(3 - digits, '0') + name.substr(shape.size());
}

std::string folderName(const FolderHandle& folder)
{
    return fs::path(folder.path()).filename().string();
}

// The folder, or the file in it (`at`) where that is what failed.
[[noreturn]] void cannotRead(const std::string& folder, int error, const std::string& at = {})
{
    throw std::runtime_error((at.empty() ? "The folder " + folder : at) + " cannot be read (" + reasonOf(error) + ").");
}

// A value of the planning file's [Planningdata]; empty when there is none (no such file too).
Answer<std::string> planningValue(const FolderHandle& folder, const std::string& planning, const std::string& key)
{
    const auto text = folder.read(planning, 64 << 20);
    if (!text.ok())
        return text.failure();
    if (!*text)
        return std::string();
    return Vexa::IniFileManager(folder.pathOf(planning), **text).getValue("Planningdata", key, std::string());
}

// The key that sorts the planning folder by the time it was saved.
Answer<std::string> saveTimeKeyOf(const FolderHandle& folder)
{
    const auto planning = PlanningFinder::planningIn(folder);
    if (!planning.ok())
        return planning.failure();
    const auto stored =
        planning->empty() ? Answer<std::string>(std::string()) : planningValue(folder, *planning, "lastModified");
    if (!stored.ok())
        return stored.failure();
    return sortableTime(*stored) + "|" + paddedTimeStamp(folderName(folder));
}

// Calls `visit` with each planning of the origin below the patient folders (the origin the
// planning file carries; the folder's name for one written before it was kept), until it fails;
// done or the first failure, which names the folder in `where` (and the file in it that failed,
// where known, in its own `where`).
Answer<Done> eachOfOrigin(const std::vector<std::string>& patientPaths, const std::string& origin,
                          const std::function<Answer<Done>(const FolderHandle&, const std::string&)>& visit,
                          std::string& where)
{
    if (origin.empty())
        return Done{};
    for (const FolderHandle& folder : PlanningFinder::patientFolders(patientPaths)) {
        where = folder.path();
        std::string at;
        const int error = PlanningFinder::eachPlanning(
            folder,
            [&](const FolderHandle& planning, const std::string& file) {
                auto stored = planningValue(planning, file, "origin");
                const auto visited = !stored.ok() ? Answer<Done>(stored.failure())
                                     : (stored->empty() ? folderName(planning) : *stored) == origin ? visit(planning, file)
                                                                                                      : Done{};
                at = visited.where();
                return visited.error();
            },
            &where);
        if (error)
            return Failure{error, at};
    }
    return Done{};
}

}

namespace PlanningFinder {

std::vector<FolderHandle> patientFolders(const std::vector<std::string>& patientPaths)
{
    std::vector<FolderHandle> folders;
    for (const std::string& base : patientPaths)
        if (!base.empty())
            if (FolderHandle folder = FolderHandle::open(base, true); folder || folder.error() != ENOENT)
                folders.push_back(std::move(folder));
    return folders;
}

Answer<std::string> planningIn(const FolderHandle& folder, const std::string& known)
{
    if (!folder)
        return folder.isNoFolder() ? Answer<std::string>(std::string()) : folder.failure();
    if (!known.empty()) {
        const auto file = folder.isFile(known);
        if (!file.ok())
            return file.failure();
        return *file ? known : std::string();
    }
    std::string name = folderName(folder);
    if (name.starts_with(previousPrefix))
        name.erase(0, previousPrefix.size());
    // An earlier version numbered folders of one name: ".previous-<name>-<n>".
    for (std::string planning = name; !planning.empty();) {
        const auto file = folder.isFile(planning + ".srl");
        if (!file.ok())
            return file.failure();
        if (*file)
            return planning + ".srl";
        const auto dash = planning.rfind('-');
        if (dash == std::string::npos || dash + 1 == planning.size() ||
            planning.find_first_not_of("0123456789", dash + 1) != std::string::npos)
            break;
        planning.resize(dash);
    }
    // A folder the user renamed: its one planning file, as the planning list finds it (all
    // after the first dot is the extension).
    const auto names = folder.entries();
    if (!names.ok())
        return names.failure();
    std::string only;
    int count = 0;
    for (const std::string& file : *names) {
        const auto dot = file.find('.');
        if (dot == std::string::npos || file.compare(dot, std::string::npos, ".srl") != 0)
            continue;
        const auto regular = folder.isFile(file);
        if (!regular.ok())
            return regular.failure();
        if (*regular) {
            only = file;
            ++count;
        }
    }
    return count == 1 ? only : std::string();
}

std::string planningIn(const std::string& folder, const std::string& known)
{
    const auto found = planningIn(FolderHandle::open(folder), known);
    if (!found.ok())
        cannotRead(folder, found.error(), found.where());
    return *found;
}

int eachPlanning(const FolderHandle& folder, const std::function<int(const FolderHandle&, const std::string&)>& visit,
                 std::string* where, int depth)
{
    const auto fail = [&](const std::string& at, int error) {
        if (where)
            *where = at;
        return error;
    };
    const auto names = folder.entries();
    if (!names.ok())
        return fail(folder.path(), names.error());
    for (const std::string& name : *names) {
        if (name.starts_with('.'))
            continue;
        const auto isFolder = folder.isFolder(name);
        if (!isFolder.ok())
            return fail(folder.pathOf(name), isFolder.error());
        if (!*isFolder)
            continue;
        const FolderHandle entry = folder.child(name);
        if (!entry) {
            if (entry.isNoFolder())
                continue; // gone, or replaced by a link, meanwhile
            return fail(entry.path(), entry.error());
        }
        const auto planning = planningIn(entry);
        if (!planning.ok())
            return fail(entry.path(), planning.error());
        if (!planning->empty()) {
            if (const int error = visit(entry, *planning))
                return fail(entry.path(), error);
        } else if (depth < 8) {
            if (const int error = eachPlanning(entry, visit, where, depth + 1))
                return error;
        }
    }
    return 0;
}

std::string saveTimeKey(const std::string& folder) try
{
    const auto key = saveTimeKeyOf(FolderHandle::open(folder, true));
    if (!key.ok())
        cannotRead(folder, key.error(), key.where());
    return *key;
}
VEXA_RETHROW

std::string findByOrigin(const std::vector<std::string>& patientPaths, const std::string& origin) try
{
    std::string found, foundTime, where;
    const auto visited = eachOfOrigin(
        patientPaths, origin,
        [&](const FolderHandle& folder, const std::string&) -> Answer<Done> {
            // The last saved one: the stored time has seconds, the time-stamp name milliseconds.
            const auto time = saveTimeKeyOf(folder);
            if (!time.ok())
                return time.failure();
            if (found.empty() || *time > foundTime) {
                found = folder.path();
                foundTime = *time;
            }
            return Done{};
        },
        where);
    if (!visited.ok())
        cannotRead(where, visited.error(), visited.where());
    return found;
}
VEXA_RETHROW

std::string findByContent(const std::vector<std::string>& patientPaths, const std::string& origin,
                          const std::string& contentKey) try
{
    std::string found, where;
    if (contentKey.empty())
        return found;
    const auto visited = eachOfOrigin(
        patientPaths, origin,
        [&](const FolderHandle& folder, const std::string& planning) -> Answer<Done> {
            if (!found.empty())
                return Done{};
            const auto key = folder.contentKey(planning);
            if (!key.ok())
                return key.failure();
            if (*key == contentKey)
                found = folder.path();
            return Done{};
        },
        where);
    if (!visited.ok())
        cannotRead(where, visited.error(), visited.where());
    return found;
}
VEXA_RETHROW

}
