#include "planning/io/saving/StartRecovery.h"

#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/OriginLock.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/TakeOver.h"
#include "planning/io/saving/TakeOverRecord.h"
#include "planning/io/saving/WorkMark.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>

namespace {

using PlanningFinder::previousPrefix;
// Another computer's unfinished save is told once it is older than any save takes, by the file
// server's clock: clocks of computers sharing a patient folder are not set alike.
constexpr std::chrono::seconds unfinishedForLong{3600};
constexpr int maxDepth = 8;
// An empty working folder without a mark, or an empty folder reserved for a planning, is litter
// once it is older than a save takes to make the working folder's mark (or its working folder),
// by the file server's clock, never this computer's. That clock is read by a probe, a temporary
// file of its own kind (named as a lock's, as earlier versions named it), which the walk removes
// there should a crash leave it.
constexpr std::chrono::seconds emptyForLong = HolderFile::makingTime;
const std::string clockKind = ".clock.lock";

// A probe of the file server's clock that a start left.
bool isClockProbe(const std::string& name)
{
    return Vexa::AtomicFile::isTemporaryName(name) && HolderFile::temporaryKind(name) == clockKind;
}

// A name the program gives a folder reserved for a planning: the time-stamp name
// "2030-01-01__07-00-00-0" (Utilities::getTimeStampName).
bool isTimeStampName(const std::string& name)
{
    static const std::string shape = "dddd-dd-dd__dd-dd-dd-";
    if (name.size() < shape.size() + 1 || name.size() > shape.size() + 3)
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (i < shape.size() && shape[i] != 'd' ? name[i] != shape[i] : (name[i] < '0' || name[i] > '9'))
            return false;
    return true;
}

// The target of a hidden working folder ".<target><suffix><number>"; empty when it is none.
std::string workingTarget(const std::string& name, const std::string& suffix)
{
    const auto at = name.rfind(suffix);
    if (name.size() < 2 || name[0] != '.' || at == std::string::npos || at < 2 || at + suffix.size() == name.size())
        return {};
    for (std::size_t i = at + suffix.size(); i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9')
            return {};
    return name.substr(1, at - 1);
}

// An origin lock (".<origin>.lock"), or the temporary file one was made from.
bool isLockFile(const std::string& name)
{
    if (!name.starts_with('.'))
        return false;
    if (name.ends_with(".lock"))
        return true;
    const auto tag = name.rfind(Vexa::AtomicFile::temporaryTag);
    return Vexa::AtomicFile::isTemporaryName(name) && tag != std::string::npos && name.substr(0, tag).ends_with(".lock");
}

std::string sizeText(std::uintmax_t bytes)
{
    return QLocale::c().formattedDataSize(qint64(bytes), 1, QLocale::DataSizeSIFormat).toStdString();
}

class Recovery
{
public:
    StartRecovery::Report report;
    const StartRecovery::Walk* walk = nullptr;
    // The patient folder being walked, of how many: for the part walked.
    std::size_t patientFolder = 0, patientFolders = 1;

    // What is said to be looked at again at the next start is said, in the log as to the user,
    // only where it is there at the end of this one: a folder this start went on to finish (a
    // replaced planning it took over) needs no next start.
    void settle()
    {
        for (const auto& [path, text] : promised) {
            const std::filesystem::path at(path);
            const auto there = FolderHandle::open(at.parent_path().string(), true).kind(at.filename().string());
            if (!there.ok() || *there != FolderHandle::Kind::none)
                tell(text);
        }
        promised.clear();
    }

    void finishIn(const FolderHandle& folder, int depth)
    {
        const auto names = folder.entries();
        if (!names.ok())
            return cannotRead(folder.path(), names.error());
        std::vector<FolderHandle> replacing;
        for (std::size_t i = 0; i < names->size(); ++i) {
            const std::string& name = (*names)[i];
            if (stopping())
                return;
            if (depth == 0 && walk && walk->advanced)
                walk->advanced((double(patientFolder) + double(i) / double(names->size())) / double(patientFolders),
                               report.plannings.size());
            const auto kind = folder.kind(name);
            if (!kind.ok()) {
                cannotRead(folder.pathOf(name), kind.error());
                continue;
            }
            if (*kind == FolderHandle::Kind::file && isClockProbe(name)) {
                removeClockProbe(folder, name);
                continue;
            }
            if (*kind == FolderHandle::Kind::file && isLockFile(name)) {
                bool forTheUser = false;
                const auto removed = OriginLock::removeIfStale(folder, name, &forTheUser);
                if (!removed.ok())
                    done("left the lock " + folder.pathOf(name) + ": it could not be read (" + reasonOf(removed.error()) +
                         ")");
                else if (forTheUser)
                    tell(*removed);
                else if (!removed->empty())
                    done(*removed);
                continue;
            }
            if (*kind != FolderHandle::Kind::folder)
                continue;
            if (name.starts_with('.')) {
                if (const std::string target = workingTarget(name, ".saving"); !target.empty())
                    finishStaging(folder, name, target);
                else if (const std::string target = workingTarget(name, ".previous"); !target.empty())
                    finishPutAside(folder, name, target);
                continue;
            }
            FolderHandle entry = folder.child(name);
            if (!entry) {
                if (!entry.isNoFolder())
                    cannotRead(entry.path(), entry.error());
                continue;
            }
            const auto planning = PlanningFinder::planningIn(entry);
            if (!planning.ok())
                cannotRead(entry.path(), planning.error());
            else if (!planning->empty())
                finishPlanning(folder, entry, &replacing);
            else if (const auto retired = holdsOnlyMarkNames(entry); retired.ok() && *retired)
                removeRetired(folder, name, entry);
            else if (const auto empty = entry.isEmpty();
                     isTimeStampName(name) && empty.ok() && *empty && !hasWorkingFolder(folder, *names, name))
                removeReserved(folder, name, true);
            else if (depth < maxDepth)
                finishIn(entry, depth + 1);
        }
        // A planning that replaced another takes it over once every planning here was looked at
        // on its own: whatever order the folder lists them in, a replaced planning that could not
        // be marked on its own visit is still taken over by the same start.
        for (FolderHandle& entry : replacing)
            if (!stopping())
                finishPlanning(folder, entry, nullptr);
    }

    bool stopping()
    {
        report.stopped = report.stopped || (walk && walk->stop && walk->stop());
        return report.stopped;
    }

private:
    // The promises of the next start, by the path they are about.
    std::vector<std::pair<std::string, std::string>> promised;

    void done(const std::string& line) { report.lines.push_back(line); }
    void tell(const std::string& line)
    {
        report.lines.push_back(line);
        report.toTell.push_back(line);
    }
    void tellAll(const std::vector<std::string>& notes)
    {
        for (const std::string& note : notes)
            tell(note);
    }
    // What is left at `path` for the next start to look at again, told once this start is through
    // where it is still there (settle).
    void promise(const std::string& path, const std::string& text)
    {
        promised.emplace_back(path, text);
    }
    // A start that cannot look leaves what may be there for a later one, and says why.
    void cannotRead(const std::string& path, int error, const std::string& what = "read")
    {
        promise(path, "The program could not " + what + " " + path + " (" + reasonOf(error) +
                          "). What earlier sessions may have left unfinished there is looked at again at the next start.");
    }

    // What the records in `folder` name as replaced, for a sentence: "the planning in <folder>",
    // or "another one" where not one record alone names it.
    static std::string replacedIn(const FolderHandle& parent, const FolderHandle& folder,
                                  const std::vector<std::string>& records)
    {
        if (records.size() == 1)
            if (const auto record = TakeOverRecord::read(folder, records.front()); record.ok() && *record)
                return "the planning in " + parent.pathOf((*record)->folder);
        return "another one";
    }

    // Folders an earlier version left inside `folder` holding a replaced planning.
    Answer<std::vector<std::string>> earlierReplacedIn(const FolderHandle& folder)
    {
        const auto names = folder.entries();
        if (!names.ok())
            return names.failure();
        std::vector<std::string> found;
        for (const std::string& name : *names) {
            if (!name.starts_with(previousPrefix))
                continue;
            const FolderHandle inner = folder.child(name);
            if (!inner) {
                if (inner.isNoFolder())
                    continue;
                return inner.failure();
            }
            const auto planning = PlanningFinder::planningIn(inner);
            if (!planning.ok())
                return planning.failure();
            if (!planning->empty())
                found.push_back(name);
        }
        return found;
    }

    // Tells another computer's save that has not finished for long, by the file server's clock
    // (the mark's time is that clock's); logs every other one left.
    void leftUnfinished(const FolderHandle& parent, const FolderHandle& staging, const WorkMark::Taking& taking)
    {
        std::time_t since = 0;
        const auto holder = WorkMark::holderOf(staging, &since);
        const bool elsewhere = taking.verdict == HolderFile::Verdict::elsewhere && holder.ok() && *holder && since;
        const auto now = elsewhere ? parent.timeThere(clockKind) : Answer<std::chrono::nanoseconds>(Failure{ENOENT});
        if (elsewhere && !now.ok())
            return done("left " + staging.path() + ": " + taking.why + "; how long ago it began could not be told (" +
                        reasonOf(now.error()) + ")");
        if (elsewhere && *now - std::chrono::seconds(since) > unfinishedForLong) {
            const auto size = staging.treeSize();
            tell("An unfinished save of " + (*holder)->describe() + ", begun " +
                 QDateTime::fromSecsSinceEpoch(since).toString("yyyy-MM-dd hh:mm").toStdString() +
                 (size.ok() ? ", holds " + sizeText(*size) : std::string()) + " in the hidden folder " + staging.path() +
                 ". That computer removes it at its next start; nothing of it was removed here.");
            return;
        }
        done("left " + staging.path() + ": " + taking.why);
    }

    // A working folder left by a save. One that was never published holds only that save's own
    // files: it goes, with the folder reserved for it, under its mark taken from a save that is
    // gone, the mark last. One of an earlier version, whose commit had put the replaced folders
    // inside, is published and they are taken over; without a mark only when it plainly holds a
    // planning, new and replaced.
    void finishStaging(const FolderHandle& parent, const std::string& name, const std::string& targetName)
    {
        // The old planning that a planning replaced in its own folder (an earlier version) took
        // the working folder's name: it is that planning's to take over, by its record, or to
        // keep where its record was set aside.
        const FolderHandle target = parent.child(targetName);
        if (!target && !target.isNoFolder())
            return cannotRead(target.path(), target.error());
        if (target)
            for (const std::string& record : {TakeOverRecord::prefix + name, TakeOverRecord::setAsidePrefix + name}) {
                const auto file = target.isFile(record);
                if (!file.ok())
                    return cannotRead(target.pathOf(record), file.error());
                if (*file)
                    return;
            }
        const FolderHandle staging = parent.child(name);
        if (!staging)
            return staging.isNoFolder() ? void() : cannotRead(staging.path(), staging.error());
        const std::string where = staging.path();
        const auto marked = WorkMark::isIn(staging);
        if (!marked.ok())
            return cannotRead(where, marked.error());
        std::unique_ptr<WorkMark> mark;
        if (*marked) {
            auto taking = WorkMark::take(staging, false);
            if (!taking.ok())
                return cannotRead(taking.where().empty() ? where : taking.where(), taking.error());
            if (!taking->mark)
                return leftUnfinished(parent, staging, *taking);
            mark = std::move(taking->mark);
        }
        const auto replaced = earlierReplacedIn(staging);
        if (!replaced.ok())
            return cannotRead(where, replaced.error());
        if (!mark && replaced->empty())
            return removeIfLitter(parent, name, targetName);
        if (!mark && !adoptEarlier(staging, targetName, *replaced, mark))
            return;
        if (replaced->empty())
            return removeStaging(parent, name, targetName, std::move(mark));
        publishEarlier(parent, name, targetName, *replaced, std::move(mark));
    }

    // An unmarked working folder is an earlier version's only where it plainly holds a planning,
    // new and replaced: then it is marked here.
    bool adoptEarlier(const FolderHandle& staging, const std::string& targetName, const std::vector<std::string>& replaced,
                      std::unique_ptr<WorkMark>& mark)
    {
        if (replaced.empty())
            return false;
        const auto names = staging.entries();
        const auto planning = staging.isFile(targetName + ".srl");
        if (!names.ok() || !planning.ok()) {
            cannotRead(staging.path(), names.ok() ? planning.error() : names.error());
            return false;
        }
        std::size_t folders = 0;
        for (const std::string& entry : *names)
            folders += entry.starts_with(previousPrefix);
        if (folders != replaced.size() || !*planning)
            return false;
        auto taking = WorkMark::take(staging, true);
        if (!taking.ok())
            cannotRead(taking.where().empty() ? staging.path() : taking.where(), taking.error());
        else
            mark = std::move(taking->mark);
        return mark != nullptr;
    }

    // A working folder without a mark that holds nothing (its save died before it was marked, or
    // its removal failed after the mark went) goes, with the folder reserved for it.
    void removeIfLitter(const FolderHandle& parent, const std::string& name, const std::string& targetName)
    {
        const std::string where = parent.pathOf(name);
        // A save cut off while it made its mark under a temporary name (where the file system has
        // no nameless files) left that name alone: it goes once no maker can be at it any more,
        // and the folder with it.
        const auto onlyMarking = holdsOnlyMarkNames(parent.child(name));
        if (!onlyMarking.ok())
            return cannotRead(where, onlyMarking.error());
        if (*onlyMarking)
            return removeCutMarking(parent, name, targetName);
        const auto empty = parent.child(name).isEmpty();
        if (!empty.ok())
            return cannotRead(where, empty.error());
        if (!*empty)
            return;
        // Made by a save that is about to mark it, while it is that new.
        if (!isOld(parent, name))
            return;
        // Not empty by now: a save (of a computer whose clock is behind) has begun in it.
        const int error = parent.removeFolder(name).error();
        if (error == ENOTEMPTY || error == EEXIST)
            return done("left the working folder " + where + ": a save has begun in it");
        if (error == ENOENT)
            return;
        if (error)
            return done("left the empty working folder " + where + ": it could not be removed (" + reasonOf(error) + ")");
        done("removed the empty working folder " + where);
        removeReserved(parent, targetName);
    }

    // Whether the folder holds temporary names of marks and nothing else.
    static Answer<bool> holdsOnlyMarkNames(const FolderHandle& folder)
    {
        const auto names = folder.entries();
        if (!names.ok())
            return names.failure();
        return !names->empty() && std::all_of(names->begin(), names->end(), [](const std::string& entry) {
            return entry != WorkMark::fileName && WorkMark::isMarkName(entry);
        });
    }

    // A replaced planning whose take-over was through but for what a cut-off mark left in it
    // (its temporary name, while its maker may still have been at it): that goes, and the folder,
    // as the take-over would have removed it.
    void removeRetired(const FolderHandle& parent, const std::string& name, const FolderHandle& folder)
    {
        if (const int error = WorkMark::removeLeftNames(folder).error())
            return done("left " + folder.path() + ": what a mark left in it could not be removed (" + reasonOf(error) +
                        ")");
        const auto empty = folder.isEmpty();
        if (!empty.ok() || !*empty)
            return;
        const int error = parent.removeFolder(name).error();
        if (!error)
            done("removed the emptied folder " + folder.path() + " of a replaced planning");
        else if (error != ENOENT && error != ENOTEMPTY && error != EEXIST)
            done("left the emptied folder " + folder.path() + " of a replaced planning: it could not be removed (" +
                 reasonOf(error) + ")");
    }

    // A working folder that holds only what its save left of a mark it was making.
    void removeCutMarking(const FolderHandle& parent, const std::string& name, const std::string& targetName)
    {
        const std::string where = parent.pathOf(name);
        const FolderHandle staging = parent.child(name);
        if (const int error = WorkMark::removeLeftNames(staging).error())
            return done("left the unfinished save " + where + ": what its mark left could not be removed (" +
                        reasonOf(error) + ")");
        const auto empty = staging.isEmpty();
        if (!empty.ok())
            return cannotRead(where, empty.error());
        // A maker may still be at it (or a save has begun in it): left for a later start.
        if (!*empty)
            return;
        const int error = parent.removeFolder(name).error();
        if (error == ENOTEMPTY || error == EEXIST || error == ENOENT)
            return;
        if (error)
            return done("left the working folder " + where + ": it could not be removed (" + reasonOf(error) + ")");
        done("removed the unfinished save " + where + ", cut off while it made its mark");
        removeReserved(parent, targetName);
    }

    // A probe of the file server's clock that a start left, as any temporary file of the program's
    // (HolderFile::removeTemporary): one so new that its start may still be reading it stays.
    void removeClockProbe(const FolderHandle& folder, const std::string& name)
    {
        const std::string what = "the probe " + folder.pathOf(name) + " of the file server's clock that a start left";
        const auto removed = HolderFile::removeTemporary(folder, name);
        if (!removed.ok() && HolderFile::isRefused(removed.error()))
            done("left " + what + ": this user cannot remove it (" + reasonOf(removed.error()) + ")");
        else if (!removed.ok())
            done("left " + what + ": it could not be removed (" + reasonOf(removed.error()) + ")");
        else if (*removed)
            done("removed " + what);
    }

    // Whether the empty folder `name` of `parent` is older than emptyForLong by the file server's
    // clock. Not where it went, nor where this user cannot make a file there to tell (nor remove
    // the folder); a look that failed is said.
    bool isOld(const FolderHandle& parent, const std::string& name)
    {
        const auto young = parent.isNew(name, clockKind, emptyForLong);
        if (!young.ok() && young.error() != ENOENT && !HolderFile::isRefused(young.error()) && young.error() != EROFS)
            cannotRead(parent.pathOf(name), young.error());
        return young.ok() && !*young;
    }

    // Whether a working folder of a save into `targetName` stands beside it (by the listing
    // `names` of `parent`, looked at again).
    static bool hasWorkingFolder(const FolderHandle& parent, const std::vector<std::string>& names,
                                 const std::string& targetName)
    {
        return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
            if (workingTarget(name, ".saving") != targetName)
                return false;
            const auto kind = parent.kind(name);
            return !kind.ok() || *kind != FolderHandle::Kind::none;
        });
    }

    // The folder reserved for the planning of a save that never published goes while empty. One
    // that no working folder stands beside (`alone`: its save was killed right after it reserved
    // it) goes only once no save can be about to begin in it.
    void removeReserved(const FolderHandle& parent, const std::string& targetName, bool alone = false)
    {
        const FolderHandle target = parent.child(targetName);
        if (!target)
            return target.isNoFolder() ? void() : cannotRead(target.path(), target.error());
        const auto empty = target.isEmpty();
        if (!empty.ok())
            return cannotRead(target.path(), empty.error());
        if (!*empty)
            return;
        if (alone && !isOld(parent, targetName))
            return;
        const std::string what =
            "the empty folder " + target.path() + (alone ? " reserved for a new planning" : " reserved for it");
        const int error = parent.removeFolder(targetName).error();
        if (!error)
            done("removed " + what);
        else if (error != ENOENT && error != ENOTEMPTY && error != EEXIST)
            done("left " + what + ": it could not be removed (" + reasonOf(error) + ")");
    }

    void removeStaging(const FolderHandle& parent, const std::string& name, const std::string& targetName,
                       std::unique_ptr<WorkMark> mark)
    {
        const FolderHandle staging = parent.child(name);
        const std::string where = parent.pathOf(name);
        const auto cannotRemove = [&](int error) {
            mark->leave();
            promise(where, "The unfinished save " + where + " could not be removed (" + reasonOf(error) +
                               "). The next start tries again.");
        };
        const auto names = staging.entries();
        if (!names.ok())
            return cannotRemove(names.error());
        // The mark goes last: what stays of the folder stays marked for the next start.
        for (const std::string& entry : *names)
            if (!WorkMark::isMarkName(entry))
                if (const int error = staging.removeAll(entry).error())
                    return cannotRemove(error);
        if (const int error = mark->release().error())
            return cannotRemove(error);
        if (const int error = WorkMark::removeLeftNames(staging).error())
            return tell("The unfinished save " + where + " could not be removed (" + reasonOf(error) + ").");
        if (const int error = parent.removeFolder(name).error(); error && error != ENOENT)
            return tell("The unfinished save " + where + " could not be removed (" + reasonOf(error) + ").");
        removeReserved(parent, targetName);
        done("removed the unfinished save " + where);
    }

    // An earlier version's working folder whose commit had put the replaced folders inside.
    void publishEarlier(const FolderHandle& parent, const std::string& name, const std::string& targetName,
                        const std::vector<std::string>& replaced, std::unique_ptr<WorkMark> mark)
    {
        const std::string where = parent.pathOf(name);
        const auto target = parent.kind(targetName);
        if (!target.ok()) {
            mark->leave();
            return cannotRead(parent.pathOf(targetName), target.error());
        }
        if (*target != FolderHandle::Kind::none) {
            const FolderHandle folder = parent.child(targetName);
            const auto empty = folder ? folder.isEmpty() : Answer<bool>(false);
            if (!empty.ok()) {
                mark->leave();
                return cannotRead(folder.path(), empty.error());
            }
            if (!*empty) {
                mark->leave();
                return done("kept " + where + ": " + parent.pathOf(targetName) + " is taken");
            }
        }
        const int error = (*target != FolderHandle::Kind::none ? parent.replace(name, parent, targetName)
                                                               : parent.moveTo(name, parent, targetName))
                              .error();
        if (error) {
            mark->leave();
            return tell("The unfinished save " + where + " could not be published (" + reasonOf(error) + ").");
        }
        done("finished the save of " + parent.pathOf(targetName));
        const FolderHandle published = parent.child(targetName);
        if (!published)
            return cannotRead(published.path(), published.error());
        for (const std::string& folder : replaced)
            takeOverEarlier(published, folder);
    }

    // A replaced planning no record describes (an earlier version's) in `parent`, into `into`.
    void takeOverUnrecorded(const FolderHandle& parent, const std::string& name, const std::string& planning,
                            const FolderHandle& into)
    {
        std::vector<std::string> notes;
        const auto result = TakeOver::runUnrecorded(parent, name, planning, into, notes);
        tellAll(notes);
        if (result == TakeOver::Result::whole)
            done(TakeOver::tookOver(parent.pathOf(name), into.path()));
        else if (result == TakeOver::Result::busy)
            done(TakeOver::leftBusy(parent.pathOf(name)));
    }

    // A replaced planning an earlier version left inside the planning `into`.
    void takeOverEarlier(const FolderHandle& into, const std::string& name)
    {
        const FolderHandle folder = into.child(name);
        const auto planning = PlanningFinder::planningIn(folder);
        if (!planning.ok())
            return cannotRead(folder.path(), planning.error());
        if (!planning->empty())
            takeOverUnrecorded(into, name, *planning, into);
    }

    // The folder an earlier version put aside as ".<name>.previous<n>" (the planning <name> in
    // it): its other contents go into the planning that replaced it, or, with none there, it is
    // the planning again.
    void finishPutAside(const FolderHandle& parent, const std::string& name, const std::string& targetName)
    {
        const std::string planning = targetName + ".srl";
        const FolderHandle aside = parent.child(name);
        if (!aside)
            return aside.isNoFolder() ? void() : cannotRead(aside.path(), aside.error());
        const auto hasPlanning = aside.isFile(planning);
        const auto target = parent.kind(targetName);
        if (!hasPlanning.ok() || !target.ok())
            return cannotRead(aside.path(), hasPlanning.ok() ? target.error() : hasPlanning.error());
        if (!*hasPlanning || (*target != FolderHandle::Kind::none && *target != FolderHandle::Kind::folder))
            return;
        const FolderHandle into = parent.child(targetName);
        const auto intoHolds = into ? into.isFile(planning) : Answer<bool>(false);
        const auto empty = into ? into.isEmpty() : Answer<bool>(true);
        if (!intoHolds.ok() || !empty.ok())
            return cannotRead(into.path(), intoHolds.ok() ? empty.error() : intoHolds.error());
        if (*intoHolds)
            return takeOverUnrecorded(parent, name, planning, into);
        if (*target != FolderHandle::Kind::none && !*empty)
            return;
        const auto restored = *target == FolderHandle::Kind::none ? parent.moveTo(name, parent, targetName)
                                                                  : parent.replace(name, parent, targetName);
        if (restored.ok())
            return done("restored the planning " + parent.pathOf(targetName));
        promise(aside.path(), "The planning that an earlier version of the program put aside in " + aside.path() +
                                  " could not be restored to " + parent.pathOf(targetName) + " (" +
                                  reasonOf(restored.error()) + "). It is looked at again at the next start.");
    }

    // A planning folder: the take-overs it records, and replaced folders an earlier version left
    // in it, are finished, by any instance, under its mark (so that an overwrite of it waits);
    // where a save of this computer died at work in it (its mark is left), what that save had
    // begun there goes too.
    // A planning whose take-overs are to be finished is put to `later` where one is given.
    void finishPlanning(const FolderHandle& parent, FolderHandle& folder, std::vector<FolderHandle>* later)
    {
        const auto names = folder.entries();
        if (!names.ok())
            return cannotRead(folder.path(), names.error());
        // Met once, on its own visit (a planning whose take-overs wait comes here again).
        if (later)
            report.plannings.push_back({folder.path(), *names});
        std::vector<std::string> records;
        bool marked = false;
        bool markLeftAside = false;
        for (const std::string& name : *names) {
            marked = marked || name == WorkMark::fileName;
            markLeftAside = markLeftAside || (name != WorkMark::fileName && WorkMark::isMarkName(name));
            if (!name.starts_with(TakeOverRecord::prefix))
                continue;
            const auto file = folder.isFile(name);
            if (!file.ok())
                return cannotRead(folder.pathOf(name), file.error());
            if (*file)
                records.push_back(name);
        }
        if (!records.empty() && later)
            return later->push_back(std::move(folder));
        const auto earlier = earlierReplacedIn(folder);
        if (!earlier.ok())
            return cannotRead(folder.path(), earlier.error());
        if (records.empty() && earlier->empty() && !marked) {
            removeLeftNames(folder, markLeftAside);
            return;
        }
        const bool toFinish = !records.empty() || !earlier->empty();
        auto taking = WorkMark::take(folder, toFinish);
        if (!taking.ok() && !taking.where().empty())
            return cannotRead(taking.where(), taking.error());
        // Gone meanwhile: a take-over another instance finished removed it.
        if (!taking.ok() && taking.error() == ENOENT && isGone(parent, folder))
            return;
        // Refused in a folder of another user's: every start of this user's would meet the same.
        if (const std::string user = HolderFile::isRefused(taking.error()) && toFinish ? HolderFile::otherOwnerOf(folder)
                                                                                      : std::string();
            !user.empty())
            return tell("The planning in " + folder.path() + " replaced " + replacedIn(parent, folder, records) +
                        ", whose files are to be taken over, but no mark could be made in it (" +
                        reasonOf(taking.error()) + "). " + TakeOver::onlyAsThatUser(user, folder));
        if (!taking.ok())
            return promise(folder.path(), "No mark could be made in the planning " + folder.path() + " (" +
                                              reasonOf(taking.error()) + "), so what earlier sessions left unfinished "
                                                                         "there is looked at again at the next start.");
        // Left by a save of another user's that ended, where this user may not replace its mark:
        // that user's next start finishes it.
        if (taking->refused && toFinish)
            return tell("The planning in " + folder.path() + " replaced " + replacedIn(parent, folder, records) +
                        ", whose files are to be taken over, but " + taking->why + ". The next start of the program as "
                        "that user takes them over.");
        // Left by a save that ended, whose mark this user cannot take over safely here.
        if (taking->unsafe && toFinish)
            return tell("The planning in " + folder.path() + " replaced " + replacedIn(parent, folder, records) +
                        ", whose files are to be taken over, but " + taking->why + ". " +
                        (taking->ownersOnly ? "Only a start of the program as that user can take them over."
                                            : TakeOver::triesAgain));
        if (taking->refused || taking->unsafe)
            return done("left " + folder.path() + ": " + taking->why);
        if (taking->verdict == HolderFile::Verdict::notOurs && toFinish)
            return tell("The planning in " + folder.path() + " replaced another one, whose files are to be taken over, "
                        "but " + taking->why + "; once it is moved away, the next start of the program takes them over.");
        if (taking->verdict == HolderFile::Verdict::notOurs)
            return done("left " + folder.path() + ": " + taking->why);
        if (!taking->mark && !taking->idle && taking->verdict != HolderFile::Verdict::none)
            return done(TakeOver::leftBusy(folder.path()));
        // What a mark whose holder was cut off on a file system without nameless files left: its
        // temporary name, gone from here on under the mark (or where nobody is at work).
        // A dead save's mark stays where this start cannot go on, for the next one.
        if (!removeLeftNames(folder, markLeftAside)) {
            if (taking->mark && taking->mark->wasLeft())
                taking->mark->leave();
            return;
        }
        for (const std::string& record : records) {
            std::vector<std::string> lines, notes;
            TakeOver::finishRecord(parent, folder, record, folder, lines, notes);
            tellAll(notes);
            for (const std::string& line : lines)
                done(line);
        }
        for (const std::string& name : *earlier)
            takeOverEarlier(folder, name);
        // What a dead save left that cannot go keeps the mark, so that the next start looks again.
        if (taking->mark && taking->mark->wasLeft() && !removeWhatASaveLeft(folder))
            taking->mark->leave();
        else if (taking->mark)
            if (const int error = taking->mark->release().error())
                done("the mark in " + folder.path() + " could not be removed (" + reasonOf(error) + ")");
    }

    // The temporary names of marks in `folder` that nobody holds, as far as this user may remove
    // them (another user's, where this one may not, stay for that user's next start: nothing of
    // the planning waits for them). Whether no step failed.
    bool removeLeftNames(const FolderHandle& folder, bool any)
    {
        const int error = any ? WorkMark::removeLeftNames(folder).error() : 0;
        if (HolderFile::isRefused(error))
            done("left what a mark left in " + folder.path() + ": this user cannot remove it (" + reasonOf(error) +
                 "); a start of the program as the user whose it is removes it");
        else if (error)
            cannotRead(folder.path(), error, "remove what a mark left in");
        return !error || HolderFile::isRefused(error);
    }

    // Whether `folder` no longer stands at its name in `parent`.
    static bool isGone(const FolderHandle& parent, const FolderHandle& folder)
    {
        const std::string name = std::filesystem::path(folder.path()).filename().string();
        const FolderHandle there = parent.child(name);
        if (!there)
            return there.isNoFolder();
        const auto same = there.isSameFolder(folder);
        return same.ok() && !*same;
    }

    // What a save that died at work in a planning had begun there: temporary files, and a
    // replaced folder whose removal was cut off after its planning file. Whether all of it went;
    // a step that fails ends it, said.
    bool removeWhatASaveLeft(const FolderHandle& folder)
    {
        for (const char* place : {"", "system", "images"}) {
            const FolderHandle in = *place ? folder.child(place) : folder.again();
            const auto names = in ? in.entries() : Answer<std::vector<std::string>>(in.failure());
            if (!in && in.isNoFolder())
                continue;
            if (!names.ok())
                return cannotRead(in.path(), names.error()), false;
            for (const std::string& name : *names)
                if (Vexa::AtomicFile::isTemporaryName(name) && !removeLeft(in, name, false))
                    return false;
        }
        const auto names = folder.entries();
        if (!names.ok())
            return cannotRead(folder.path(), names.error()), false;
        for (const std::string& name : *names)
            if (name.starts_with(previousPrefix) && !removeLeft(folder, name, true))
                return false;
        return true;
    }

    // A temporary file, or an empty folder, that a dead save left; anything else of that name
    // stays. Whether no step failed.
    bool removeLeft(const FolderHandle& in, const std::string& name, bool emptyFolder)
    {
        const auto kind = in.kind(name);
        if (!kind.ok())
            return cannotRead(in.pathOf(name), kind.error()), false;
        if (*kind != (emptyFolder ? FolderHandle::Kind::folder : FolderHandle::Kind::file))
            return true;
        const auto empty = emptyFolder ? in.child(name).isEmpty() : Answer<bool>(true);
        if (!empty.ok())
            return cannotRead(in.pathOf(name), empty.error()), false;
        // A temporary file that a live instance holds is its file in flight, not the dead save's.
        if (!emptyFolder) {
            const auto removed = HolderFile::removeTemporary(in, name);
            if (!removed.ok())
                return cannotRead(in.pathOf(name), removed.error(), "remove"), false;
            if (*removed)
                done("removed the temporary file " + in.pathOf(name));
            return true;
        }
        const int error = !*empty ? 0 : in.removeFolder(name).error();
        if (error && error != ENOENT && error != ENOTEMPTY)
            return cannotRead(in.pathOf(name), error, "remove"), false;
        if (*empty && !error)
            done((emptyFolder ? "removed the empty folder " : "removed the temporary file ") + in.pathOf(name));
        return true;
    }
};

}

namespace StartRecovery {

Report finishInterrupted(const std::vector<std::string>& patientPaths, const Walk& walk) try
{
    Recovery recovery;
    recovery.walk = &walk;
    const std::vector<FolderHandle> folders = PlanningFinder::patientFolders(patientPaths);
    recovery.patientFolders = std::max<std::size_t>(folders.size(), 1);
    for (const FolderHandle& folder : folders) {
        // A setting that names no folder is told as such, not as a folder to look at again.
        if (folder.error() == ENOTDIR)
            recovery.report.noFolders.push_back(folder.path());
        else
            recovery.finishIn(folder, 0);
        ++recovery.patientFolder;
    }
    if (recovery.report.stopped)
        return recovery.report;
    recovery.settle();
    if (walk.advanced)
        walk.advanced(1.0, recovery.report.plannings.size());
    return recovery.report;
}
VEXA_RETHROW

}
