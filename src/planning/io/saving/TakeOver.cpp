#include "planning/io/saving/TakeOver.h"

#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/WorkMark.h"

#include <filesystem>
#include <optional>
#include <set>
#include <utility>

namespace {

using PlanningFinder::previousPrefix;
constexpr int maxDepth = 8;

// What the file system answers when an entry may not go where it was to go: the entry stays
// where it is, and the user is told. Every other error is no answer: it stops the take-over.
bool isRefusal(int error)
{
    return error == EACCES || error == EPERM || error == EBUSY || error == EXDEV || error == EINVAL ||
           error == ENAMETOOLONG || error == EMLINK || error == ENOTDIR || error == EISDIR;
}

std::string joined(const std::string& relative, const std::string& name)
{
    return relative.empty() ? name : relative + "/" + name;
}

// One take-over's progress: what stayed in the replaced folder and why, and the step that
// stopped it.
struct Work
{
    const FolderHandle& replaced;
    std::vector<std::pair<std::string, std::string>> stays; // relative to the replaced folder, why
    std::string stop;                                        // the failed step and its reason
    std::vector<std::string> left;                           // what stays of the take-over itself

    bool stopped() const { return !stop.empty(); }
    void fail(const std::string& what, int error)
    {
        if (stop.empty())
            stop = what + " (" + reasonOf(error) + ")";
    }
    void failBecause(const std::string& why)
    {
        if (stop.empty())
            stop = why;
    }
    void stay(const std::string& relative, const std::string& why) { stays.emplace_back(relative, why); }
};

// The kind of an entry, or the take-over stops.
std::optional<FolderHandle::Kind> kindOf(const FolderHandle& folder, const std::string& name, Work& work)
{
    const auto kind = folder.kind(name);
    if (!kind.ok()) {
        work.fail(folder.pathOf(name) + " could not be looked at", kind.error());
        return std::nullopt;
    }
    return *kind;
}

// The sub-folder, or the take-over stops (nothing where it is gone).
std::optional<FolderHandle> childOf(const FolderHandle& folder, const std::string& relative, Work& work)
{
    FolderHandle child = relative.empty() ? folder.again() : folder.child(relative);
    if (!child && !child.isNoFolder())
        work.fail("the folder " + child.path() + " could not be opened", child.error());
    if (!child)
        return std::nullopt;
    return child;
}

// Moves `name` of `from` (`relative` in the replaced folder) to `name` in `to` without ever
// replacing a file: a folder of that name there is merged; a file the new planning holds byte
// for byte goes. What the file system refuses to move, and a different file of that name there,
// stays.
void moveInto(const FolderHandle& from, const std::string& relative, const std::string& name, const FolderHandle& to,
              Work& work, int depth)
{
    const std::string path = joined(relative, name);
    // An empty folder there is no file of the new planning's: the entry takes its place.
    const auto there = kindOf(to, name, work);
    if (!there)
        return;
    if (*there == FolderHandle::Kind::folder) {
        const auto target = childOf(to, name, work);
        if (work.stopped())
            return;
        if (target) {
            const auto empty = target->isEmpty();
            if (!empty.ok())
                return work.fail("the folder " + target->path() + " could not be read", empty.error());
            if (*empty)
                if (const int error = to.removeFolder(name); error && error != ENOENT && error != ENOTEMPTY)
                    return work.fail("the empty folder " + target->path() + " could not be removed", error);
        }
    }
    const int failed = from.moveTo(name, to, name);
    if (failed == 0)
        return;
    const auto kind = kindOf(from, name, work);
    if (!kind)
        return;
    if (*kind == FolderHandle::Kind::none)
        return; // moved meanwhile by another instance's hand
    if (failed != EEXIST && failed != ENOTEMPTY) {
        if (isRefusal(failed))
            return work.stay(path, reasonOf(failed));
        return work.fail(from.pathOf(name) + " could not be moved into " + to.path(), failed);
    }
    const auto target = kindOf(to, name, work);
    if (!target)
        return;
    if (*kind == FolderHandle::Kind::file) {
        const auto same = FolderHandle::sameBytes(from, name, to, name);
        if (!same.ok())
            return work.fail(from.pathOf(name) + " could not be compared with " + to.pathOf(name), same.error());
        if (!*same)
            return work.stay(path, "a different file of that name is in the new planning");
        const int error = from.removeFile(name);
        if (error && error != ENOENT)
            return isRefusal(error) ? work.stay(path, reasonOf(error))
                                    : work.fail(from.pathOf(name) + " could not be removed", error);
        return;
    }
    if (*kind != FolderHandle::Kind::folder || *target != FolderHandle::Kind::folder || depth > 64)
        return work.stay(path, "an entry of that name is in the new planning");
    const auto inner = childOf(from, name, work);
    const auto into = inner ? childOf(to, name, work) : std::nullopt;
    if (work.stopped() || !inner || !into)
        return;
    const auto names = inner->entries();
    if (!names.ok())
        return work.fail("the folder " + inner->path() + " could not be read", names.error());
    const std::size_t before = work.stays.size();
    for (const std::string& entry : *names) {
        moveInto(*inner, path, entry, *into, work, depth + 1);
        if (work.stopped())
            return;
    }
    if (work.stays.size() == before)
        if (const int error = from.removeFolder(name); error && error != ENOENT && error != ENOTEMPTY)
            return isRefusal(error) ? work.stay(path, reasonOf(error))
                                    : work.fail("the emptied folder " + inner->path() + " could not be removed", error);
}

// The folders the own files lie in, relative ("dicom", "implant/0", "implant").
std::set<std::string> foldersOf(const TakeOverRecord& record)
{
    std::set<std::string> folders;
    for (const auto& [file, stamp] : record.own)
        for (auto at = std::filesystem::path(file).parent_path(); !at.empty(); at = at.parent_path())
            folders.insert(at.generic_string());
    return folders;
}

// Whether a folder inside the replaced one holds a replaced planning an earlier version left.
std::optional<bool> isEarlierReplaced(const FolderHandle& folder, const std::string& name, Work& work)
{
    if (!name.starts_with(previousPrefix))
        return false;
    const auto inner = childOf(folder, name, work);
    if (!inner)
        return work.stopped() ? std::nullopt : std::optional<bool>(false);
    const auto planning = PlanningFinder::planningIn(*inner);
    if (!planning.ok()) {
        work.fail("the folder " + inner->path() + " could not be read", planning.error());
        return std::nullopt;
    }
    return !planning->empty();
}

// Moves what `relative` of the replaced folder holds besides its planning's own files to the same
// place in `into`; the folders own files lie in are gone through.
void moveOthers(const FolderHandle& replaced, const TakeOverRecord& record, const std::string& relative,
                const std::set<std::string>& ownFolders, const FolderHandle& into, Work& work)
{
    const auto from = childOf(replaced, relative, work);
    if (!from)
        return;
    const auto names = from->entries();
    if (!names.ok())
        return work.fail("the folder " + from->path() + " could not be read", names.error());
    for (const std::string& name : *names) {
        const std::string path = joined(relative, name);
        const auto kind = kindOf(*from, name, work);
        if (!kind)
            return;
        const bool folder = *kind == FolderHandle::Kind::folder;
        if (*kind == FolderHandle::Kind::none)
            continue;
        if (relative.empty()) {
            if (name == WorkMark::fileName || name == record.planning || name.starts_with(TakeOverRecord::prefix))
                continue;
            if (folder) {
                const auto earlier = isEarlierReplaced(*from, name, work);
                if (!earlier)
                    return;
                if (*earlier)
                    continue;
            }
        }
        if (!folder && record.own.count(path))
            continue;
        if (folder && ownFolders.count(path)) {
            moveOthers(replaced, record, path, ownFolders, into, work);
            if (work.stopped())
                return;
            continue;
        }
        // The place in the new planning, made as a real folder where it is missing.
        std::optional<FolderHandle> to = childOf(into, {}, work);
        std::string refused;
        for (const auto& part : std::filesystem::path(relative)) {
            if (!to)
                break;
            const std::string step = part.string();
            if (const int made = to->makeFolder(step); made && made != EEXIST) {
                if (isRefusal(made))
                    refused = reasonOf(made);
                else
                    work.fail("the folder " + to->pathOf(step) + " could not be made", made);
                to.reset();
                break;
            }
            to = childOf(*to, step, work);
            if (!to && !work.stopped())
                refused = "its folder in the new planning is no folder";
        }
        if (work.stopped())
            return;
        if (!to)
            work.stay(path, refused);
        else
            moveInto(*from, relative, name, *to, work, 0);
        if (work.stopped())
            return;
    }
}

// The own files of the record still in the replaced folder that are not provably the replaced
// planning's (the user changed them): they stay where they are.
void findChanged(const FolderHandle& replaced, const TakeOverRecord& record, const FolderHandle& holder, bool proven,
                 Work& work)
{
    for (const auto& [file, stamp] : record.own) {
        const std::filesystem::path path(file);
        const auto in = childOf(replaced, path.parent_path().string(), work);
        if (!in) {
            if (work.stopped())
                return;
            continue;
        }
        const auto kind = kindOf(*in, path.filename().string(), work);
        if (!kind)
            return;
        if (*kind != FolderHandle::Kind::file)
            continue;
        const auto mine = record.isOwnFile(replaced, file, holder, proven);
        if (!mine.ok())
            return work.fail(replaced.pathOf(file) + " could not be read", mine.error());
        if (!*mine)
            work.stay(file, "it is no longer the file the replaced planning had");
    }
}

// Removes the own files of the record that did not stay, then the folders they emptied.
void removeOwnFiles(const FolderHandle& replaced, const TakeOverRecord& record, Work& work)
{
    std::set<std::string> stayed;
    for (const auto& [path, why] : work.stays)
        stayed.insert(path);
    for (const auto& [file, stamp] : record.own) {
        if (stayed.count(file))
            continue;
        const std::filesystem::path path(file);
        const auto in = childOf(replaced, path.parent_path().string(), work);
        if (!in) {
            if (work.stopped())
                return;
            continue;
        }
        const std::string name = path.filename().string();
        const auto kind = kindOf(*in, name, work);
        if (!kind)
            return;
        if (*kind != FolderHandle::Kind::file)
            continue;
        if (const int error = in->removeFile(name); error && error != ENOENT)
            return work.fail(in->pathOf(name) + " could not be removed", error);
    }
    // Only while empty: what else they hold is the user's. One that cannot go is left, and told.
    const std::set<std::string> folders = foldersOf(record);
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        const std::filesystem::path path(*it);
        const FolderHandle in = replaced.child(path.parent_path().string());
        const int error = in ? in.removeFolder(path.filename().string()) : (in.isNoFolder() ? 0 : in.error());
        if (error && error != ENOENT && error != ENOTEMPTY && error != EEXIST)
            work.left.push_back("the emptied folder " + replaced.pathOf(*it) + " could not be removed (" +
                                reasonOf(error) + ")");
    }
}

// What stayed, each with why, as the end of a sentence.
std::string listOf(const Work& work)
{
    std::string text;
    for (const auto& [path, why] : work.stays)
        text += (text.empty() ? "" : ", ") + path + " (" + why + ")";
    return text;
}

// The paragraph for the user once the take-over ends, or nothing to tell: whole sentences on one
// line, as the start's box and the log show each paragraph.
std::string noteOf(const Work& work, const std::string& replaced, const FolderHandle& into)
{
    const std::string replacedBy = "The planning in " + into.path() + " replaced the planning in " + replaced;
    if (work.stopped())
        return replacedBy + ", but taking its files over is not finished: " + work.stop +
               ". The next start of the program tries again.";
    std::string note;
    if (!work.stays.empty())
        note = replacedBy + ". What could not move into it stays in " + replaced +
               ", which is no planning any more: " + listOf(work) + ".";
    for (const std::string& line : work.left)
        note += (note.empty() ? replacedBy + ", and took its files over, but " : " Also, ") + line + ".";
    return note;
}

// The take-over of a folder judged to hold the replaced planning (or what is left of it), under
// its mark.
void takeOver(const FolderHandle& parent, const TakeOverRecord& record, TakeOverRecord::Finding finding,
              const FolderHandle& holder, const std::string& recordName, const FolderHandle& into,
              std::vector<std::string>& notes, int depth, Work& work)
{
    const FolderHandle& replaced = work.replaced;
    const bool wholePlanning = finding == TakeOverRecord::Finding::planning;
    if (wholePlanning) {
        const auto names = replaced.entries();
        if (!names.ok())
            return work.fail("the folder " + replaced.path() + " could not be read", names.error());
        // What take-overs into it left: its own records, then (after the folder's own entries:
        // where names meet, the later planning's file is kept) an earlier version's folders.
        std::vector<std::string> earlier;
        for (const std::string& name : *names) {
            if (depth >= maxDepth)
                break;
            const auto kind = kindOf(replaced, name, work);
            if (!kind)
                return;
            if (name.starts_with(TakeOverRecord::prefix) && *kind == FolderHandle::Kind::file) {
                std::vector<std::string> done;
                const auto result = TakeOver::finishRecord(parent, replaced, name, into, done, notes, depth + 1);
                if (result == TakeOver::Result::stopped || result == TakeOver::Result::busy)
                    return work.failBecause("the planning it had replaced in turn, named in " + replaced.pathOf(name) +
                                            ", is not taken over yet");
            } else if (*kind == FolderHandle::Kind::folder) {
                const auto isEarlier = isEarlierReplaced(replaced, name, work);
                if (!isEarlier)
                    return;
                if (*isEarlier)
                    earlier.push_back(name);
            }
        }
        moveOthers(replaced, record, {}, foldersOf(record), into, work);
        if (work.stopped())
            return;
        for (const std::string& name : earlier) {
            const auto inner = childOf(replaced, name, work);
            const auto planning = inner ? PlanningFinder::planningIn(*inner) : Answer<std::string>(std::string());
            if (!planning.ok())
                return work.fail("the folder " + inner->path() + " could not be read", planning.error());
            if (!inner || planning->empty())
                continue;
            const auto result = TakeOver::runUnrecorded(replaced, name, *planning, into, notes, depth + 1);
            if (result != TakeOver::Result::whole && result != TakeOver::Result::gone)
                return work.failBecause("the planning it had replaced in turn, in " + replaced.pathOf(name) +
                                        ", is not taken over yet");
        }
    }
    findChanged(replaced, record, holder, wholePlanning, work);
    if (work.stopped())
        return;
    if (wholePlanning) {
        // Before the planning file goes: what stayed is recorded, so that the folder stays
        // provably the one replaced until the take-over is done.
        if (!work.stays.empty() && !recordName.empty()) {
            TakeOverRecord updated = record;
            for (const auto& [path, why] : work.stays) {
                const std::filesystem::path at(path);
                const FolderHandle in = replaced.child(at.parent_path().string());
                const auto status = in ? in.status(at.filename().string()) : Answer<struct stat>(Failure{in.error()});
                if (!status.ok())
                    return work.fail(replaced.pathOf(path) + " could not be looked at", status.error());
                updated.stays[path] = {std::uintmax_t(status->st_size), status->st_mtim.tv_sec, status->st_mtim.tv_nsec};
            }
            if (const int error = holder.writeWhole(recordName, updated.text()))
                return work.fail("its record " + holder.pathOf(recordName) + " could not be written", error);
        }
        if (const int error = replaced.removeFile(record.planning); error && error != ENOENT)
            return work.fail("its planning file " + replaced.pathOf(record.planning) +
                                 " could not be removed, so both plannings are listed",
                             error);
        if (const int error = replaced.sync())
            return work.fail("the removal of its planning file could not be put on the disk", error);
    }
    removeOwnFiles(replaced, record, work);
}

}

namespace TakeOver {

Result run(const FolderHandle& parent, const TakeOverRecord& record, const FolderHandle& holder,
           const std::string& recordName, const FolderHandle& into, std::vector<std::string>& notes, int depth)
{
    const std::string where = parent.pathOf(record.folder);
    const FolderHandle replaced = parent.child(record.folder);
    Work work{replaced, {}, {}, {}};
    const auto stop = [&](const std::string& what, int error) {
        work.fail(what, error);
        notes.push_back(noteOf(work, where, into));
        return Result::stopped;
    };
    // What the record finds there; an end of the take-over in `ended`.
    TakeOverRecord::Finding finding{};
    const auto judge = [&](std::optional<Result>& ended) {
        const auto found = record.judge(holder, replaced);
        if (!found.ok())
            ended = stop(where + " could not be read", found.error());
        else if (*found == TakeOverRecord::Finding::gone)
            ended = Result::gone;
        else if (*found == TakeOverRecord::Finding::notIt)
            ended = Result::notIt;
        else
            finding = *found;
        return !ended;
    };
    if (!replaced && replaced.error() == ENOENT)
        return Result::gone;
    if (!replaced && !replaced.isNoFolder())
        return stop("the folder " + where + " could not be opened", replaced.error());
    // The record's own folder is never the one it replaced (and carries the caller's mark).
    const auto same = holder.isSameFolder(replaced);
    if (!same.ok())
        return stop(where + " could not be looked at", same.error());
    if (*same)
        return Result::notIt;
    // A folder another instance is or may be at work in is left alone, not even judged.
    const auto held = replaced ? WorkMark::isHeld(replaced) : Answer<bool>(false);
    if (!held.ok())
        return stop("its mark in " + where + " could not be read", held.error());
    if (*held)
        return Result::busy;
    // A folder the record does not fit is not touched, not even by a mark.
    std::optional<Result> ended;
    if (!judge(ended))
        return *ended;
    // Held while it is taken over, so that no start finishes take-overs into it meanwhile.
    auto taking = WorkMark::take(replaced, true);
    if (!taking.ok())
        return stop("no mark could be made in " + where, taking.error());
    if (!taking->mark && !taking->idle)
        return Result::busy;
    // Judged again under the mark: another instance may have finished it in between.
    if (!judge(ended))
        return *ended;

    takeOver(parent, record, finding, holder, recordName, into, notes, depth, work);
    if (work.stopped()) {
        notes.push_back(noteOf(work, where, into));
        return Result::stopped;
    }
    // The mark goes (an idle one of another computer's too: nothing of the planning is left for
    // that computer to finish), then the folder, only while empty: what stayed of the user's
    // keeps it.
    const int unmarked = taking->mark ? taking->mark->release() : replaced.removeFile(WorkMark::fileName);
    if (unmarked && unmarked != ENOENT)
        work.left.push_back("its mark " + replaced.pathOf(WorkMark::fileName) + " could not be removed (" +
                            reasonOf(unmarked) + ")");
    if (const int error = parent.removeFolder(record.folder); error && error != ENOENT && error != ENOTEMPTY &&
                                                                error != EEXIST)
        work.left.push_back("the emptied folder " + where + " could not be removed (" + reasonOf(error) + ")");
    if (const std::string note = noteOf(work, where, into); !note.empty())
        notes.push_back(note);
    return Result::whole;
}

Result runUnrecorded(const FolderHandle& parent, const std::string& name, const std::string& planning,
                     const FolderHandle& into, std::vector<std::string>& notes, int depth)
{
    const std::string where = parent.pathOf(name);
    const FolderHandle folder = parent.child(name);
    if (!folder && folder.error() == ENOENT)
        return Result::gone;
    Work work{folder, {}, {}, {}};
    const auto files = folder ? TakeOverRecord::filesNamedBy(folder, planning)
                              : Answer<std::vector<std::string>>(Failure{folder.error()});
    const auto record = files.ok() ? TakeOverRecord::describe(folder, name, planning, *files)
                                   : Answer<TakeOverRecord>(files.failure());
    if (!record.ok()) {
        work.fail(where + " could not be read", record.error());
        notes.push_back(noteOf(work, where, into));
        return Result::stopped;
    }
    return run(parent, *record, parent, {}, into, notes, depth);
}

std::string leftBusy(const std::string& folder)
{
    return "left " + folder + ": another instance is at work in it";
}

std::string tookOver(const std::string& replaced, const std::string& into)
{
    return "took over the files of the replaced planning " + replaced + " into " + into;
}

Result finishRecord(const FolderHandle& parent, const FolderHandle& holder, const std::string& fileName,
                    const FolderHandle& into, std::vector<std::string>& done, std::vector<std::string>& notes, int depth)
{
    const std::string path = holder.pathOf(fileName);
    const auto cannotRead = [&](int error) {
        notes.push_back("The planning in " + holder.path() + " replaced another one, whose files are to be taken over, "
                        "but its record " + path + " could not be read (" + reasonOf(error) +
                        "). The next start of the program tries again.");
        return Result::stopped;
    };
    const auto kind = holder.kind(fileName);
    if (!kind.ok())
        return cannotRead(kind.error());
    if (*kind == FolderHandle::Kind::none) {
        done.push_back("the record " + path + " was finished meanwhile by another instance");
        return Result::gone;
    }
    const auto record = TakeOverRecord::read(holder, fileName);
    if (!record.ok())
        return cannotRead(record.error());
    const std::string replaced = *record ? parent.pathOf((*record)->folder) : std::string();
    const Result result = *record ? run(parent, **record, holder, fileName, into, notes, depth) : Result::notIt;
    if (result == Result::busy)
        done.push_back(leftBusy(replaced));
    if (result == Result::busy || result == Result::stopped)
        return result;
    if (result == Result::notIt) {
        const auto aside = TakeOverRecord::setAside(holder, fileName);
        std::string note = *record ? "The planning in " + holder.path() + " records that it replaced the planning in " +
                                         replaced + ", but " + replaced +
                                         " does not hold that planning now. Nothing was moved or removed for it"
                                   : "The planning in " + holder.path() + " holds a record of a replaced planning, " +
                                         path + ", that this program cannot read. Nothing was moved or removed for it";
        note += aside.ok() ? "; the record is kept as " + holder.pathOf(*aside) + "."
                           : "; the record could not be set aside (" + reasonOf(aside.error()) +
                                 ") and is looked at again at the next start.";
        notes.push_back(note);
        return result;
    }
    // The log names a folder files went into only where they went.
    const std::string line = result == Result::gone ? "the folder " + replaced + " is gone"
                                                    : tookOver(replaced, into.path());
    if (const int error = holder.removeFile(fileName); error && error != ENOENT)
        done.push_back(line + ", but its record " + path + " could not be removed (" + reasonOf(error) + ")");
    else
        done.push_back(line + (result == Result::gone ? ": removed its record " + path : std::string()));
    return result;
}

}
