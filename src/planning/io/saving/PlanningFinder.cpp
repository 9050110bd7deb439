#include "planning/io/saving/PlanningFinder.h"

#include "vexa/core/DetachableCall.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IniFileManager.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>

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

// The number of millisecond digits of a time-stamp name "yyyy-MM-dd__hh-mm-ss-z" (one to three);
// 0 for any other name.
std::size_t timeStampDigits(const std::string& name)
{
    // The shape, "d" a digit: "dddd-dd-dd__dd-dd-dd-" and one to three digits.
    static const std::string shape = "dddd-dd-dd__dd-dd-dd-";
    const std::size_t digits = name.size() - std::min(name.size(), shape.size());
    if (name.size() <= shape.size() || digits > 3)
        return 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (i < shape.size() ? (shape[i] == 'd') != digit || (!digit && name[i] != shape[i]) : !digit)
            return 0;
    }
    return digits;
}

// A time-stamp name with the milliseconds as three digits, so that names sort by time; anything
// else as it is.
std::string paddedTimeStamp(const std::string& name)
{
    const std::size_t digits = timeStampDigits(name);
    if (digits == 0)
        return name;
    return name.substr(0, name.size() - digits) + std::string(3 - digits, '0') + name.substr(name.size() - digits);
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

// What a planning file tells of its planning, from one read of it.
struct Facts
{
    // The origin it carries; the folder's name for one written before it was kept.
    std::string origin;
    // Sorts plannings by the time they were saved: first the time the file server gave the planning
    // file when it was written (it is never written again once published), so that which planning
    // replaced which is told alike whatever the clocks of the computers that saved them; then, for
    // files of one tick, the stored save time and the folder's time-stamp name.
    std::string key;
    // The file system and the file server's time of that write.
    dev_t device = 0;
    timespec written{};
    std::uintmax_t size = 0;
};

std::string keyOf(const timespec& written, const std::string& stored, const std::string& folder)
{
    char server[48];
    std::snprintf(server, sizeof server, "%020lld.%09ld", static_cast<long long>(written.tv_sec),
                  static_cast<long>(written.tv_nsec));
    return server + ("|" + sortableTime(stored) + "|" + paddedTimeStamp(folder));
}

// The facts of the planning file `planning` of the folder; nothing when no regular file has that
// name.
Answer<std::optional<Facts>> factsOf(const FolderHandle& folder, const std::string& planning)
{
    using Found = std::optional<Facts>;
    const auto file = folder.openFile(planning);
    if (!file.ok())
        return file.error() == ENOENT || file.error() == ELOOP ? Answer<Found>(std::nullopt)
                                                               : Failure{file.error(), folder.pathOf(planning)};
    const auto status = file->status();
    if (!status.ok())
        return Failure{status.error(), folder.pathOf(planning)};
    if (!S_ISREG(status->st_mode))
        return Found();
    const auto text = file->readAll(64 << 20);
    if (!text.ok())
        return Failure{text.error(), folder.pathOf(planning)};
    const Vexa::IniFileManager ini(folder.pathOf(planning), *text);
    Facts facts;
    facts.origin = ini.getValue("Planningdata", "origin", std::string());
    if (facts.origin.empty())
        facts.origin = folderName(folder);
    facts.device = status->st_dev;
    facts.written = status->st_mtim;
    facts.size = std::uintmax_t(status->st_size);
    facts.key = keyOf(facts.written, ini.getValue("Planningdata", "lastModified", std::string()), folderName(folder));
    return Found(std::move(facts));
}

// What a walk passes over unopened: a folder with a time-stamp name (a planning folder, as the
// program names them) that the file server has not changed since `before`, by its own clock, on
// the file system `device`. Such a folder holds no planning written since: publishing one sets its
// folder's change time.
struct Unchanged
{
    bool any = false;
    dev_t device = 0;
    timespec before{};

    bool covers(const std::string& name, const struct stat& entry) const
    {
        return isOld(entry) && timeStampDigits(name) != 0;
    }
    // Whether nothing was changed there since.
    bool isOld(const struct stat& entry) const
    {
        const auto earlier = [this](const timespec& t) {
            return t.tv_sec < before.tv_sec || (t.tv_sec == before.tv_sec && t.tv_nsec < before.tv_nsec);
        };
        return any && entry.st_dev == device && earlier(entry.st_mtim) && earlier(entry.st_ctim);
    }
};

// eachPlanning, passing over what `unchanged` covers and counting every step made in `beat`, so that
// whoever waits for the walk sees it go on.
int walk(const FolderHandle& folder, const std::function<int(const FolderHandle&, const std::string&)>& visit,
         std::string* where, int depth, const Unchanged& unchanged, std::atomic<long>* beat)
{
    const auto fail = [&](const std::string& at, int error) {
        if (where)
            *where = at;
        return error;
    };
    const auto step = [beat] {
        if (beat)
            beat->fetch_add(1, std::memory_order_relaxed);
    };
    const auto names = folder.entries();
    step();
    if (!names.ok())
        return fail(folder.path(), names.error());
    // A folder that nothing was put in since holds only planning folders that were there before:
    // those are passed over without a look at each. Looked at once listed, as the listing is.
    bool quiet = false;
    if (unchanged.any) {
        const auto self = folder.status(".");
        step();
        if (!self.ok())
            return fail(folder.path(), self.error());
        quiet = unchanged.isOld(*self);
    }
    for (const std::string& name : *names) {
        if (name.starts_with('.') || (quiet && timeStampDigits(name) != 0))
            continue;
        const auto entry = folder.status(name);
        step();
        if (!entry.ok() && entry.error() == ENOENT)
            continue; // gone meanwhile
        if (!entry.ok())
            return fail(folder.pathOf(name), entry.error());
        if (!S_ISDIR(entry->st_mode) || unchanged.covers(name, *entry))
            continue;
        const FolderHandle inner = folder.child(name);
        step();
        if (!inner) {
            if (inner.isNoFolder())
                continue; // gone, or replaced by a link, meanwhile
            return fail(inner.path(), inner.error());
        }
        const auto planning = PlanningFinder::planningIn(inner);
        step();
        if (!planning.ok())
            return fail(inner.path(), planning.error());
        if (!planning->empty()) {
            if (const int error = visit(inner, *planning))
                return fail(inner.path(), error);
        } else if (depth < 8) {
            if (const int error = walk(inner, visit, where, depth + 1, unchanged, beat))
                return error;
        }
    }
    return 0;
}

using OriginVisit = std::function<Answer<Done>(const FolderHandle&, const std::string&, const Facts&)>;

// Calls `visit` with each planning of the origin below `folder` and with its facts, until it
// fails; done or the first failure, which names the folder in `where` (and the file in it that
// failed, where known, in its own `where`).
Answer<Done> eachOfOriginIn(const FolderHandle& folder, const std::string& origin, const OriginVisit& visit,
                            std::string& where, const Unchanged& unchanged = {}, std::atomic<long>* beat = nullptr)
{
    where = folder.path();
    std::string at;
    const int error = walk(
        folder,
        [&](const FolderHandle& planning, const std::string& file) {
            const auto facts = factsOf(planning, file);
            const auto visited = !facts.ok()                                  ? Answer<Done>(facts.failure())
                                 : *facts && (*facts)->origin == origin ? visit(planning, file, **facts)
                                                                             : Done{};
            at = visited.where();
            return visited.error();
        },
        &where, 0, unchanged, beat);
    if (error)
        return Failure{error, at};
    return Done{};
}

// The same below every patient folder.
Answer<Done> eachOfOrigin(const std::vector<std::string>& patientPaths, const std::string& origin,
                          const OriginVisit& visit, std::string& where)
{
    if (origin.empty())
        return Done{};
    for (const FolderHandle& folder : PlanningFinder::patientFolders(patientPaths)) {
        if (!folder) {
            where = folder.path();
            return folder.failure();
        }
        if (const auto visited = eachOfOriginIn(folder, origin, visit, where); !visited.ok())
            return visited;
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
    return walk(folder, visit, where, depth, {}, nullptr);
}

std::string findByOrigin(const std::vector<std::string>& patientPaths, const std::string& origin) try
{
    std::string found, foundTime, where;
    const auto visited = eachOfOrigin(
        patientPaths, origin,
        [&](const FolderHandle& folder, const std::string&, const Facts& facts) -> Answer<Done> {
            if (found.empty() || facts.key > foundTime) {
                found = folder.path();
                foundTime = facts.key;
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
    // The key begins with the file's size: a file of another size is not read again.
    const std::string size = contentKey.substr(0, contentKey.find(' '));
    const auto visited = eachOfOrigin(
        patientPaths, origin,
        [&](const FolderHandle& folder, const std::string& planning, const Facts& facts) -> Answer<Done> {
            if (!found.empty() || std::to_string(facts.size) != size)
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

Later findLater(const std::vector<std::string>& patientPaths, const std::string& origin, const std::string& folder,
                const std::string& planning, std::chrono::milliseconds silence) try
{
    Later later;
    const std::string than = FolderHandle::plainPath(folder);
    // The planning it must be later than, and the folder by its identity (a path may name it
    // otherwise from a patient folder).
    const FolderHandle loaded = FolderHandle::open(than, true);
    const bool gone = loaded.isNoFolder();
    const auto facts = loaded ? factsOf(loaded, planning)
                       : gone ? Answer<std::optional<Facts>>(std::nullopt)
                              : Answer<std::optional<Facts>>(loaded.failure());
    if (!facts.ok())
        cannotRead(than, facts.error(), facts.where());
    const auto self = gone ? Answer<struct stat>(Failure{ENOENT}) : loaded.status(".");
    if (!self.ok() && !gone)
        cannotRead(than, self.error(), self.where());
    const dev_t device = gone ? 0 : self->st_dev;
    const ino_t inode = gone ? 0 : self->st_ino;
    // Every other planning of the origin is later than one whose file went meanwhile; else folders
    // not changed since the planning loaded was written hold no later one.
    const std::string thanKey = *facts ? (*facts)->key : std::string();
    const Unchanged unchanged = *facts ? Unchanged{true, (*facts)->device, (*facts)->written} : Unchanged{};

    // Each patient folder is looked through in a call of its own: one that stopped answering holds
    // only its own look.
    struct Look
    {
        std::atomic<long> beat{0};
        std::string found, key, where;
        std::optional<Failure> failed;
    };
    struct Pending
    {
        std::string path;
        std::shared_ptr<Look> look;
        std::unique_ptr<Vexa::DetachableCall> call;
        long beat = -1;
        Vexa::DetachableCall::Clock::time_point since;
    };
    std::vector<Pending> pending;
    for (const std::string& base : patientPaths) {
        if (base.empty() || origin.empty())
            continue;
        auto look = std::make_shared<Look>();
        auto work = [look, base, origin, thanKey, gone, device, inode, unchanged] {
            const FolderHandle top = FolderHandle::open(base, true);
            look->beat.fetch_add(1, std::memory_order_relaxed);
            if (!top) {
                if (top.error() != ENOENT) {
                    look->failed = top.failure();
                    look->where = base;
                }
                return;
            }
            const auto visited = eachOfOriginIn(
                top, origin,
                [&](const FolderHandle& candidate, const std::string&, const Facts& its) -> Answer<Done> {
                    if (its.key <= thanKey || (!look->found.empty() && its.key <= look->key))
                        return Done{};
                    const auto status = candidate.status(".");
                    if (!status.ok())
                        return status.failure();
                    if (gone || status->st_dev != device || status->st_ino != inode) {
                        look->found = candidate.path();
                        look->key = its.key;
                    }
                    return Done{};
                },
                look->where, unchanged, &look->beat);
            if (!visited.ok())
                look->failed = visited.failure();
        };
        auto call = std::make_unique<Vexa::DetachableCall>(std::move(work));
        pending.push_back({base, look, std::move(call), -1, Vexa::DetachableCall::Clock::now()});
    }
    std::string key;
    while (!pending.empty()) {
        for (auto it = pending.begin(); it != pending.end();) {
            const auto now = Vexa::DetachableCall::Clock::now();
            if (!it->call->waitUntil(now + std::chrono::milliseconds(20))) {
                // Left out once it has made no step for so long; a slow folder that goes on is waited for.
                if (const long beat = it->look->beat.load(std::memory_order_relaxed); beat != it->beat) {
                    it->beat = beat;
                    it->since = now;
                } else if (now - it->since >= silence) {
                    later.silent.push_back(it->path);
                    it = pending.erase(it);
                    continue;
                }
                ++it;
                continue;
            }
            const Look& look = *it->look;
            if (look.failed)
                cannotRead(look.where, look.failed->error, look.failed->where);
            if (!look.found.empty() && (later.folder.empty() || look.key > key)) {
                later.folder = look.found;
                key = look.key;
            }
            it = pending.erase(it);
        }
    }
    return later;
}
VEXA_RETHROW

}
