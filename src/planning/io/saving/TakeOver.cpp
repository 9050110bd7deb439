#include "planning/io/saving/TakeOver.h"

#include "vexa/io/AtomicFile.h"

#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/WorkMark.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <utility>

namespace {

using Kind = FolderHandle::Kind;
using TakeOver::Result;
using Finding = TakeOverRecord::Finding;

constexpr int maxDepth = 8;

// What the file system answers when an entry may not go where it was to go, or may not be
// removed: the entry stays where it is, and the user is told. Every other error is no answer: it
// stops the take-over.
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
    // Where that step was refused in a folder of another user's: that user. Every start of this
    // user's would meet the same refusal; one of that user's goes on.
    std::string onlyAs;

    bool stopped() const { return !stop.empty(); }
    // `in`: the folder the step was made in, where it is not the replaced one.
    void fail(const std::string& what, int error, const FolderHandle* in = nullptr)
    {
        if (!stop.empty())
            return;
        stop = what + " (" + reasonOf(error) + ")";
        if (error == EACCES || error == EPERM)
            onlyAs = HolderFile::otherOwnerOf(in ? *in : replaced);
    }
    void failBecause(const std::string& why)
    {
        if (stop.empty())
            stop = why;
    }
    // Whether the step failed: then the take-over stops, saying what failed.
    template<class T>
    bool failed(const Answer<T>& answer, const std::string& what)
    {
        if (answer.ok())
            return false;
        fail(failedOn(answer, what), answer.error());
        return true;
    }
    void stay(const std::string& relative, const std::string& why) { stays.emplace_back(relative, why); }
    // A step on an entry of the user's (`relative`) that failed: refused, the entry stays;
    // otherwise the take-over stops.
    void stayOrStop(const std::string& relative, const std::string& what, int error)
    {
        isRefusal(error) ? stay(relative, reasonOf(error)) : fail(what, error);
    }
    // The removal of what the take-over itself leaves (an emptied folder, its mark) that failed:
    // refused, it is left and told; otherwise the take-over stops.
    void leaveOrStop(const std::string& what, int error)
    {
        if (isRefusal(error))
            left.push_back(what + " could not be removed (" + reasonOf(error) + ")");
        else
            fail(what + " could not be removed", error);
    }
};

// The sub-folder; invalid where no folder has that name, or where it does not open (then the
// take-over stops).
FolderHandle childOf(const FolderHandle& folder, const std::string& relative, Work& work)
{
    FolderHandle child = relative.empty() ? folder.again() : folder.child(relative);
    if (!child && !child.isNoFolder())
        work.fail("the folder " + child.path() + " could not be opened", child.error());
    return child;
}

// Whether the entry `name` of `from`, there at an earlier look, is gone now: another instance
// taking the same folder over moved or removed it meanwhile, which is that instance's work, not a
// change or a failure of this one. Only its absence tells it; a look that fails stops the
// take-over (and is no answer).
bool wentMeanwhile(const FolderHandle& from, const std::string& name, Work& work)
{
    const auto kind = from.kind(name);
    return !work.failed(kind, from.pathOf(name) + " could not be looked at") && *kind == Kind::none;
}

void moveInto(const FolderHandle& from, const std::string& relative, const std::string& name, const FolderHandle& to,
              Work& work, int depth);

// An empty folder at `name` in `to` is no file of the new planning's: it goes, so that the entry
// moving in takes its place.
void clearEmptyFolder(const FolderHandle& to, const std::string& name, Work& work)
{
    const auto there = to.kind(name);
    if (work.failed(there, to.pathOf(name) + " could not be looked at") || *there != Kind::folder)
        return;
    const FolderHandle target = childOf(to, name, work);
    if (!target)
        return;
    const auto empty = target.isEmpty();
    if (work.failed(empty, "the folder " + target.path() + " could not be read") || !*empty)
        return;
    if (const int error = to.removeFolder(name).error(); error && error != ENOENT && error != ENOTEMPTY)
        work.fail("the empty folder " + target.path() + " could not be removed", error, &to);
}

// `name` of `from`, of the kind given, meets an entry of that name in `to`: a file the new
// planning holds byte for byte goes, a folder is merged into the folder there, anything else
// stays where it is.
void meet(const FolderHandle& from, const std::string& relative, const std::string& name, Kind kind,
          const FolderHandle& to, Work& work, int depth)
{
    const std::string path = joined(relative, name);
    const auto target = to.kind(name);
    if (work.failed(target, to.pathOf(name) + " could not be looked at"))
        return;
    // What had the name there went meanwhile (an empty folder another instance cleared for this
    // very move): the move is made again.
    if (*target == Kind::none && depth < 64)
        return moveInto(from, relative, name, to, work, depth + 1);
    if (kind == Kind::file) {
        const auto same = FolderHandle::sameBytes(from, name, to, name);
        if (work.failed(same, from.pathOf(name) + " could not be compared with " + to.pathOf(name)))
            return;
        if (!*same && !wentMeanwhile(from, name, work) && !work.stopped())
            return work.stay(path, "a different file of that name is in the new planning");
        if (!*same)
            return;
        if (const int error = from.removeFile(name).error(); error && error != ENOENT)
            work.stayOrStop(path, from.pathOf(name) + " could not be removed", error);
        return;
    }
    if (kind != Kind::folder || *target != Kind::folder || depth > 64)
        return work.stay(path, "an entry of that name is in the new planning");
    const FolderHandle inner = childOf(from, name, work);
    const FolderHandle into = inner ? childOf(to, name, work) : FolderHandle();
    if (work.stopped() || !inner || !into)
        return;
    const auto names = inner.entries();
    if (work.failed(names, "the folder " + inner.path() + " could not be read"))
        return;
    const std::size_t before = work.stays.size();
    for (const std::string& entry : *names) {
        moveInto(inner, path, entry, into, work, depth + 1);
        if (work.stopped())
            return;
    }
    if (work.stays.size() == before)
        if (const int error = from.removeFolder(name).error(); error && error != ENOENT && error != ENOTEMPTY)
            work.stayOrStop(path, "the emptied folder " + inner.path() + " could not be removed", error);
}

// Moves `name` of `from` (`relative` in the replaced folder) to `name` in `to` without ever
// replacing a file (meet). What the file system refuses to move stays.
void moveInto(const FolderHandle& from, const std::string& relative, const std::string& name, const FolderHandle& to,
              Work& work, int depth)
{
    clearEmptyFolder(to, name, work);
    if (work.stopped())
        return;
    const int failed = from.moveTo(name, to, name).error();
    if (failed == 0)
        return;
    // None there: moved meanwhile by another instance's hand.
    const auto kind = from.kind(name);
    if (work.failed(kind, from.pathOf(name) + " could not be looked at") || *kind == Kind::none)
        return;
    if (failed == EEXIST || failed == ENOTEMPTY)
        return meet(from, relative, name, *kind, to, work, depth);
    work.stayOrStop(joined(relative, name), from.pathOf(name) + " could not be moved into " + to.path(), failed);
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
Answer<bool> isEarlierReplaced(const FolderHandle& folder, const std::string& name)
{
    if (!name.starts_with(PlanningFinder::previousPrefix))
        return false;
    const FolderHandle inner = folder.child(name);
    if (!inner)
        return inner.isNoFolder() ? Answer<bool>(false) : inner.failure();
    const auto planning = PlanningFinder::planningIn(inner);
    if (!planning.ok())
        return planning.failure();
    return !planning->empty();
}

// Whether an entry at the top of the replaced folder stays for the take-over itself: its mark,
// its planning file, records, and replaced plannings an earlier version left (taken over on
// their own).
Answer<bool> isTheTakeOvers(const FolderHandle& folder, const std::string& name, bool isFolder,
                            const TakeOverRecord& record)
{
    if (WorkMark::isMarkName(name) || name == record.planning || name.starts_with(TakeOverRecord::prefix))
        return true;
    return isFolder ? isEarlierReplaced(folder, name) : Answer<bool>(false);
}

// The place `relative` in the new planning, made as a real folder where it is missing; invalid
// where the file system refuses it (why in `refused`) or a step fails.
FolderHandle placeIn(const FolderHandle& into, const std::string& relative, Work& work, std::string& refused)
{
    FolderHandle to = childOf(into, {}, work);
    for (const auto& part : std::filesystem::path(relative)) {
        if (!to)
            break;
        const std::string step = part.string();
        if (const int made = to.makeFolder(step).error(); made && made != EEXIST) {
            if (isRefusal(made))
                refused = reasonOf(made);
            else
                work.fail("the folder " + to.pathOf(step) + " could not be made", made);
            return FolderHandle();
        }
        to = childOf(to, step, work);
        if (!to && !work.stopped())
            refused = "its folder in the new planning is no folder";
    }
    return to;
}

// Moves what `relative` of the replaced folder holds besides its planning's own files to the same
// place in `into`; the folders own files lie in are gone through.
void moveOthers(const TakeOverRecord& record, const std::string& relative, const std::set<std::string>& ownFolders,
                const FolderHandle& into, Work& work)
{
    const FolderHandle from = childOf(work.replaced, relative, work);
    if (!from)
        return;
    const auto names = from.entries();
    if (work.failed(names, "the folder " + from.path() + " could not be read"))
        return;
    for (const std::string& name : *names) {
        const std::string path = joined(relative, name);
        const auto kind = from.kind(name);
        if (work.failed(kind, from.pathOf(name) + " could not be looked at"))
            return;
        const bool folder = *kind == Kind::folder;
        const auto stays = relative.empty() ? isTheTakeOvers(from, name, folder, record) : Answer<bool>(false);
        if (work.failed(stays, "the folder " + from.pathOf(name) + " could not be read"))
            return;
        if (*kind == Kind::none || *stays || (!folder && record.own.count(path)))
            continue;
        // A temporary file of the program's is never the user's: one that a dead instance left
        // goes, one in flight (held) is its instance's and stays.
        if (!folder && Vexa::AtomicFile::isTemporaryName(name)) {
            if (work.failed(HolderFile::removeTemporary(from, name), from.pathOf(name) + " could not be removed"))
                return;
            continue;
        }
        if (folder && ownFolders.count(path)) {
            moveOthers(record, path, ownFolders, into, work);
        } else {
            std::string refused;
            const FolderHandle to = placeIn(into, relative, work, refused);
            if (to)
                moveInto(from, relative, name, to, work, 0);
            else if (!work.stopped())
                work.stay(path, refused);
        }
        if (work.stopped())
            return;
    }
}

// The own files of the record still in the replaced folder that are not provably the replaced
// planning's (the user changed them): they stay where they are.
void findChanged(const TakeOverRecord& record, const FolderHandle& holder, bool proven, Work& work)
{
    for (const auto& [file, stamp] : record.own) {
        const std::filesystem::path path(file);
        const FolderHandle in = childOf(work.replaced, path.parent_path().string(), work);
        const auto kind = in ? in.kind(path.filename().string()) : Answer<Kind>(Kind::none);
        if (work.stopped() || work.failed(kind, work.replaced.pathOf(file) + " could not be looked at"))
            return;
        if (*kind != Kind::file)
            continue;
        const auto mine = record.isOwnFile(work.replaced, file, holder, proven);
        if (work.failed(mine, work.replaced.pathOf(file) + " could not be read"))
            return;
        if (!*mine && !wentMeanwhile(in, path.filename().string(), work) && !work.stopped())
            work.stay(file, "it is no longer the file the replaced planning had");
        if (work.stopped())
            return;
    }
}

// Removes the own files of the record that did not stay, then the folders they emptied.
void removeOwnFiles(const TakeOverRecord& record, Work& work)
{
    std::set<std::string> stayed;
    for (const auto& [path, why] : work.stays)
        stayed.insert(path);
    for (const auto& [file, stamp] : record.own) {
        if (stayed.count(file))
            continue;
        const std::filesystem::path path(file);
        const std::string name = path.filename().string();
        const FolderHandle in = childOf(work.replaced, path.parent_path().string(), work);
        const auto kind = in ? in.kind(name) : Answer<Kind>(Kind::none);
        if (work.stopped() || work.failed(kind, in.pathOf(name) + " could not be looked at"))
            return;
        if (*kind != Kind::file)
            continue;
        if (const int error = in.removeFile(name).error(); error && error != ENOENT)
            return work.fail(in.pathOf(name) + " could not be removed", error, &in);
    }
    // Only while empty: what else they hold is the user's.
    const std::set<std::string> folders = foldersOf(record);
    for (auto it = folders.rbegin(); it != folders.rend() && !work.stopped(); ++it) {
        const std::filesystem::path path(*it);
        const FolderHandle in = childOf(work.replaced, path.parent_path().string(), work);
        const int error = in ? in.removeFolder(path.filename().string()).error() : 0;
        if (error && error != ENOENT && error != ENOTEMPTY && error != EEXIST)
            work.leaveOrStop("the emptied folder " + work.replaced.pathOf(*it), error);
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
std::string noteOf(const Work& work, const std::string& replaced, const FolderHandle& into, bool resumable = true)
{
    const std::string replacedBy = "The planning in " + into.path() + " replaced the planning in " + replaced;
    if (work.stopped())
        return replacedBy + ", but taking its files over is not finished: " + work.stop + ". " +
               (!resumable               ? "Nothing more of it is moved or removed."
                : !work.onlyAs.empty() ? TakeOver::onlyAsThatUser(work.onlyAs, into)
                                       : TakeOver::triesAgain);
    std::string note;
    if (!work.stays.empty())
        note = replacedBy + ". What could not move into it stays in " + replaced +
               ", which is no planning any more: " + listOf(work) + ".";
    for (const std::string& line : work.left)
        note += (note.empty() ? replacedBy + ", and took its files over, but " : " Also, ") + line + ".";
    return note;
}

// One take-over of the folder a record names (or that an earlier version left).
struct Run
{
    const FolderHandle& parent;
    const TakeOverRecord& record;
    const FolderHandle& holder;
    const std::string& recordName;
    const FolderHandle& into;
    std::vector<std::string>& notes;
    int depth;
    bool resumable;
    Work work;
    std::string where;

    // Stops where a step failed, saying so.
    Result stop(const std::string& what, int error)
    {
        work.fail(what, error);
        return stopped();
    }
    Result stopped()
    {
        if (went())
            return Result::gone;
        notes.push_back(noteOf(work, where, into, resumable));
        return Result::stopped;
    }

    // Whether the folder went since it was opened (nothing has its name any more): another
    // instance took it over meanwhile and removed it, which it does only once nothing of the
    // replaced planning is left in it. A step that failed in it leaves nothing unfinished then.
    bool went() const
    {
        const FolderHandle now = parent.child(record.folder);
        return work.replaced && !now && now.error() == ENOENT;
    }

    // The end the record's finding means for the take-over; none where it goes on.
    std::optional<Result> endOf(const Answer<Finding>& finding)
    {
        if (!finding.ok())
            return stop(failedOn(finding, where + " could not be read"), finding.error());
        if (*finding == Finding::gone)
            return Result::gone;
        if (*finding == Finding::notIt)
            return Result::notIt;
        return std::nullopt;
    }

    Result start()
    {
        const FolderHandle& replaced = work.replaced;
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
            return stop(failedOn(held, "its mark in " + where + " could not be read"), held.error());
        if (*held)
            return Result::busy;
        // A folder the record does not fit is not touched, not even by a mark.
        if (const auto end = endOf(record.judge(holder, replaced)))
            return *end;
        return underMark();
    }

    // Held while it is taken over, so that no start finishes take-overs into it meanwhile.
    Result underMark()
    {
        auto taking = WorkMark::take(work.replaced, true);
        if (!taking.ok())
            return stop(taking.where().empty() ? "no mark could be made in " + where
                                               : failedOn(taking, "its mark in " + where + " could not be read"),
                        taking.error());
        if (taking->verdict == HolderFile::Verdict::notOurs) {
            notes.push_back("The planning in " + into.path() + " replaced the planning in " + where +
                            ", but its files could not be taken over: " + taking->why +
                            (resumable ? "; once it is moved away, the next start of the program takes them over."
                                       : "."));
            return Result::stopped;
        }
        if (taking->refused || taking->unsafe) {
            notes.push_back("The planning in " + into.path() + " replaced the planning in " + where +
                            ", but its files could not be taken over: " + taking->why + "." +
                            (!resumable       ? ""
                             : taking->refused    ? " The next start of the program as that user takes them over."
                             : taking->ownersOnly ? " Only a start of the program as that user can take them over."
                                                  : " " + TakeOver::triesAgain));
            return Result::stopped;
        }
        if (!taking->mark && !taking->idle)
            return Result::busy;
        // Judged again under the mark: another instance may have finished it in between.
        const auto finding = record.judge(holder, work.replaced);
        if (const auto end = endOf(finding))
            return *end;
        takeOver(*finding);
        if (work.stopped())
            return stopped();
        retire(taking->mark.get());
        if (work.stopped())
            return stopped();
        if (const std::string note = noteOf(work, where, into, resumable); !note.empty())
            notes.push_back(note);
        return Result::whole;
    }

    // The take-over of a folder judged to hold the replaced planning (or what is left of it).
    void takeOver(Finding finding)
    {
        const bool wholePlanning = finding == Finding::planning;
        std::vector<std::string> earlier;
        if (wholePlanning) {
            finishInner(earlier);
            if (!work.stopped())
                moveOthers(record, {}, foldersOf(record), into, work);
            if (!work.stopped())
                takeOverEarlier(earlier);
        }
        if (!work.stopped())
            findChanged(record, holder, wholePlanning, work);
        if (!work.stopped() && !wholePlanning)
            stillStaying();
        if (!work.stopped() && wholePlanning)
            retirePlanningFile();
        if (!work.stopped())
            removeOwnFiles(record, work);
    }

    // What take-overs into the replaced folder left there: its own records are finished first;
    // an earlier version's folders go in `earlier`, to be taken over after the folder's own
    // entries moved (where names meet, the later planning's file is kept).
    void finishInner(std::vector<std::string>& earlier)
    {
        const FolderHandle& replaced = work.replaced;
        const auto names = replaced.entries();
        if (work.failed(names, "the folder " + replaced.path() + " could not be read") || depth >= maxDepth)
            return;
        for (const std::string& name : *names) {
            const auto kind = replaced.kind(name);
            if (work.failed(kind, replaced.pathOf(name) + " could not be looked at"))
                return;
            if (name.starts_with(TakeOverRecord::prefix) && *kind == Kind::file) {
                std::vector<std::string> done;
                const auto result = TakeOver::finishRecord(parent, replaced, name, into, done, notes, depth + 1);
                if (result == Result::stopped || result == Result::busy)
                    return work.failBecause("the planning it had replaced in turn, named in " + replaced.pathOf(name) +
                                            ", is not taken over yet");
            } else if (*kind == Kind::folder) {
                const auto isEarlier = isEarlierReplaced(replaced, name);
                if (work.failed(isEarlier, "the folder " + replaced.pathOf(name) + " could not be read"))
                    return;
                if (*isEarlier)
                    earlier.push_back(name);
            }
        }
    }

    void takeOverEarlier(const std::vector<std::string>& earlier)
    {
        for (const std::string& name : earlier) {
            const FolderHandle inner = childOf(work.replaced, name, work);
            const auto planning = inner ? PlanningFinder::planningIn(inner) : Answer<std::string>(std::string());
            if (work.stopped() || work.failed(planning, "the folder " + inner.path() + " could not be read"))
                return;
            if (planning->empty())
                continue;
            const auto result = TakeOver::runUnrecorded(work.replaced, name, *planning, into, notes, depth + 1);
            if (result != Result::whole && result != Result::gone)
                return work.failBecause("the planning it had replaced in turn, in " + work.replaced.pathOf(name) +
                                        ", is not taken over yet");
        }
    }

    // What a take-over cut off once its planning file went had recorded as staying, and is still
    // there, is told as that take-over would have told it; why it could not move then is not
    // recorded.
    void stillStaying()
    {
        for (const auto& [path, stamp] : record.stays) {
            if (std::any_of(work.stays.begin(), work.stays.end(), [&](const auto& stay) { return stay.first == path; }))
                continue;
            const std::filesystem::path at(path);
            const FolderHandle in = childOf(work.replaced, at.parent_path().string(), work);
            const auto there = in ? in.kind(at.filename().string()) : Answer<Kind>(Kind::none);
            if (work.stopped() || work.failed(there, work.replaced.pathOf(path) + " could not be looked at"))
                return;
            if (*there != Kind::none)
                work.stay(path, "it could not move when the planning was replaced");
        }
    }

    // Before the planning file goes, what stayed is recorded, on the disk, so that the folder
    // stays provably the one replaced until the take-over is done. Then the planning file goes,
    // also on the disk: from then on it is listed no more.
    void retirePlanningFile()
    {
        const FolderHandle& replaced = work.replaced;
        TakeOverRecord updated = record;
        for (auto it = work.stays.begin(); it != work.stays.end();) {
            const std::filesystem::path at(it->first);
            const FolderHandle in = replaced.child(at.parent_path().string());
            const auto status = in ? in.status(at.filename().string()) : Answer<struct stat>(in.failure());
            // Taken away since it was found staying: nothing of it stays to record or to tell.
            if (status.error() == ENOENT) {
                it = work.stays.erase(it);
                continue;
            }
            if (work.failed(status, replaced.pathOf(it->first) + " could not be looked at"))
                return;
            updated.stays[it->first] = {std::uintmax_t(status->st_size), status->st_mtim.tv_sec, status->st_mtim.tv_nsec};
            ++it;
        }
        if (!work.stays.empty() && !recordName.empty()) {
            if (const int error = holder.writeWhole(recordName, updated.text()).error())
                return work.fail("its record " + holder.pathOf(recordName) + " could not be written", error, &holder);
            if (const int error = holder.sync().error())
                return work.fail("its record " + holder.pathOf(recordName) + " could not be put on the disk", error);
        }
        if (const int error = replaced.removeFile(record.planning).error(); error && error != ENOENT)
            return work.fail("its planning file " + replaced.pathOf(record.planning) +
                                 " could not be removed, so both plannings are listed",
                             error);
        if (const int error = replaced.sync().error())
            work.fail("the removal of its planning file could not be put on the disk", error);
    }

    // The mark goes (an idle one of another computer's too: nothing of the planning is left for
    // that computer to finish; never one that another instance holds now, which that instance
    // removes), then the folder, only while empty: what stayed of the user's keeps it.
    void retire(WorkMark* mark)
    {
        const int unmarked = (mark ? mark->release() : WorkMark::removeIdle(work.replaced)).error();
        if (unmarked && unmarked != ENOENT)
            work.leaveOrStop("its mark " + work.replaced.pathOf(WorkMark::fileName), unmarked);
        if (work.stopped())
            return;
        WorkMark::removeLeftNames(work.replaced); // else the folder stays, as told below
        if (const int error = parent.removeFolder(record.folder).error();
            error && error != ENOENT && error != ENOTEMPTY && error != EEXIST)
            work.leaveOrStop("the emptied folder " + where, error);
    }
};

}

namespace TakeOver {

Result run(const FolderHandle& parent, const TakeOverRecord& record, const FolderHandle& holder,
           const std::string& recordName, const FolderHandle& into, std::vector<std::string>& notes, int depth,
           bool resumable)
{
    const FolderHandle replaced = parent.child(record.folder);
    Run take{parent,    record, holder, recordName, into, notes, depth, resumable, {replaced, {}, {}, {}, {}},
             parent.pathOf(record.folder)};
    return take.start();
}

Result runUnrecorded(const FolderHandle& parent, const std::string& name, const std::string& planning,
                     const FolderHandle& into, std::vector<std::string>& notes, int depth)
{
    const std::string where = parent.pathOf(name);
    const FolderHandle folder = parent.child(name);
    if (!folder && folder.error() == ENOENT)
        return Result::gone;
    Work work{folder, {}, {}, {}, {}};
    const auto files = folder ? TakeOverRecord::filesNamedBy(folder, planning)
                              : Answer<std::vector<std::string>>(folder.failure());
    const auto record = files.ok() ? TakeOverRecord::describe(folder, name, planning, *files)
                                   : Answer<TakeOverRecord>(files.failure());
    if (!record.ok()) {
        work.fail(failedOn(record, where + " could not be read"), record.error());
        notes.push_back(noteOf(work, where, into));
        return Result::stopped;
    }
    return run(parent, *record, parent, {}, into, notes, depth);
}

std::string onlyAsThatUser(const std::string& user, const FolderHandle& planning)
{
    std::string text = "Only a start of the program as the user " + user + " can take them over";
    // As an overwrite checks before it publishes: the planning file or its folder this user may not
    // remove.
    const auto file = PlanningFinder::planningIn(planning);
    const FolderHandle parent = FolderHandle::open(std::filesystem::path(planning.path()).parent_path().string(), true);
    const auto refused = [](const Answer<Done>& may) { return may.error() == EACCES || may.error() == EPERM; };
    if (file.ok() && !file->empty() &&
        (refused(planning.mayRemove(*file)) ||
         refused(parent.mayRemove(std::filesystem::path(planning.path()).filename().string()))))
        text += "; until then, saves of this user over the planning in " + planning.path() + " are refused";
    return text + ".";
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
    const auto finishedMeanwhile = [&] {
        done.push_back("the record " + path + " was finished meanwhile by another instance");
        return Result::gone;
    };
    std::optional<TakeOverRecord> record;
    std::string replaced;
    Result result = Result::notIt;
    for (int judging = 0; judging < 4; ++judging) {
        const auto kind = holder.kind(fileName);
        if (!kind.ok())
            return cannotRead(kind.error());
        if (*kind == FolderHandle::Kind::none)
            return finishedMeanwhile();
        const auto text = holder.read(fileName, 64 << 20);
        if (!text.ok())
            return cannotRead(text.error());
        record = *text ? TakeOverRecord::parse(**text) : std::nullopt;
        replaced = record ? parent.pathOf(record->folder) : std::string();
        result = record ? run(parent, *record, holder, fileName, into, notes, depth) : Result::notIt;
        if (result != Result::notIt)
            break;
        // A record that another instance taking the folder over rewrote (with what stays) or
        // finished meanwhile is judged by what it holds now.
        const auto now = holder.read(fileName, 64 << 20);
        if (!now.ok())
            return cannotRead(now.error());
        if (*now == *text)
            break;
    }
    if (result == Result::busy)
        done.push_back(leftBusy(replaced));
    if (result == Result::busy || result == Result::stopped)
        return result;
    if (result == Result::notIt) {
        const auto aside = TakeOverRecord::setAside(holder, fileName);
        if (aside.error() == ENOENT)
            return finishedMeanwhile();
        std::string note = record ? "The planning in " + holder.path() + " records that it replaced the planning in " +
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
    const int error = holder.removeFile(fileName).error();
    if (error && error != ENOENT)
        notes.push_back("The planning in " + holder.path() + " is done with the planning it replaced in " + replaced +
                        ", but its record " + path + " could not be removed (" + reasonOf(error) +
                        "). The next start of the program tries again.");
    done.push_back(line + (result == Result::gone && !error ? ": removed its record " + path : std::string()));
    return result;
}

}
