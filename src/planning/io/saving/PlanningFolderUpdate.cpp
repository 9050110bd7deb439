#include "planning/io/saving/PlanningFolderUpdate.h"

#include "planning/io/saving/OriginLock.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/TakeOver.h"
#include "planning/io/saving/TakeOverRecord.h"
#include "planning/io/saving/WorkMark.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// The text of a failed step at `folder` with errno value `error`.
std::string failureAt(const std::string& what, const std::string& folder, int error)
{
    if (Vexa::AtomicFile::isDiskFull(error))
        return Vexa::AtomicFile::failureText(what + " " + folder, error);
    // Its mark held by another at each try: over by now.
    if (error == EWOULDBLOCK)
        return "Could not make " + what + " " + folder + ": " + FolderHandle::whyNotMade(error, "its mark") +
               ". Saving again is all it takes.";
    return "Could not make " + what + " " + folder + ": " + reasonOf(error);
}

std::runtime_error cannotPublish(const FolderHandle& parent, int error)
{
    return std::runtime_error(failureAt("the new planning folder in", parent.path(), error));
}

std::runtime_error existsAlready(const std::string& folder)
{
    return std::runtime_error("The folder " + folder + " exists already; the planning is not saved over it.");
}

}

PlanningFolderUpdate::PlanningFolderUpdate(std::string folder, std::string previous) try
    : folder_(FolderHandle::plainPath(folder)), previous_(FolderHandle::plainPath(previous))
{
    const fs::path target(folder_);
    parent_ = FolderHandle::make(target.parent_path().string());
    // The working folder's name means nothing to the user; the folder the planning goes in does.
    const auto cannotCreate = [&target](int error) {
        return std::runtime_error(failureAt("the new planning folder in", target.parent_path().string(), error));
    };
    if (!parent_)
        throw cannotCreate(parent_.error());
    const std::string name = target.filename().string();
    if (const auto status = parent_.status(name); status.ok() && S_ISDIR(status->st_mode)) {
        // The folder reserved for it, which cannot be read.
        const auto empty = parent_.child(name).isEmpty();
        if (!empty.ok())
            throw std::runtime_error(failureAt("the new planning folder", folder_, empty.error()));
        reserved_ = *empty;
    } else if (!status.ok() && status.error() != ENOENT) {
        throw cannotCreate(status.error());
    }
    // A name that is taken: the next number, up to a bound; any other error ends it, and what was
    // made goes again.
    const std::string base = "." + name + ".saving";
    for (unsigned n = 0; n < 1000 && !mark_; ++n) {
        const std::string candidate = base + std::to_string(n);
        if (const int error = parent_.makeFolder(candidate).error()) {
            if (error != EEXIST)
                throw cannotCreate(error);
            continue;
        }
        const FolderHandle staging = parent_.child(candidate);
        auto mark = staging ? WorkMark::create(staging) : Answer<std::unique_ptr<WorkMark>>(staging.failure());
        if (!mark.ok()) {
            // Gone between its making and its mark: a start took it for one a save left.
            const auto kind =
                mark.error() == ENOENT ? parent_.kind(candidate) : Answer<FolderHandle::Kind>(Failure{mark.error()});
            parent_.removeFolder(candidate);
            if (kind.ok() && *kind == FolderHandle::Kind::none)
                throw std::runtime_error(clearedAwayText(target.parent_path().string()));
            throw cannotCreate(mark.error());
        }
        // Without a mark something else stands in it: left as it is.
        if (*mark) {
            mark_ = std::move(*mark);
            stagingName_ = candidate;
            staging_ = parent_.pathOf(candidate);
        }
    }
    if (!mark_)
        throw std::runtime_error("No working folder for the new planning is free in " + target.parent_path().string() +
                                 ".");
}
VEXA_RETHROW

PlanningFolderUpdate::~PlanningFolderUpdate()
{
    if (committed_ || !mark_)
        return;
    // The mark goes last: a working folder that cannot be removed whole stays marked, for the
    // next start of this computer to remove.
    const FolderHandle staging = parent_.child(stagingName_);
    const auto names = staging.entries();
    int error = names.ok() ? 0 : names.error();
    for (const std::string& name : names.ok() ? *names : std::vector<std::string>())
        if (!WorkMark::isMarkName(name))
            if (const int failed = staging.removeAll(name).error(); failed && !error)
                error = failed;
    if (error || !mark_->release().ok()) {
        mark_->leave();
    } else {
        WorkMark::removeLeftNames(staging);
        parent_.removeFolder(stagingName_);
    }
    if (reserved_)
        parent_.removeFolder(fs::path(folder_).filename().string()); // only while it is empty
}

std::string PlanningFolderUpdate::clearedAwayText(const std::string& parent)
{
    return "The save stood still for longer than two minutes (its file server or this computer paused), and "
           "meanwhile a start of the program cleared its unfinished work away from " +
           parent + ", as a start does with what a save left. Nothing of it is left; saving again works.";
}

bool PlanningFolderUpdate::isClearedAway() const
{
    if (committed_ || stagingName_.empty())
        return false;
    const auto kind = parent_.kind(stagingName_);
    return kind.ok() && *kind == FolderHandle::Kind::none;
}

void PlanningFolderUpdate::setReplacedPlanning(std::string fileName, std::vector<std::string> ownFiles)
{
    replacedFile_ = std::move(fileName);
    replacedOwn_ = std::move(ownFiles);
}

std::optional<TakeOverRecord> PlanningFolderUpdate::describeReplaced(FolderHandle& replacedParent) const
{
    // What could not be read: `what`, or the file in it that failed (Failure::where).
    const auto cannotRead = [this](const std::string& what, int error, const std::string& where = {}) {
        return std::runtime_error("The planning in " + previous_ + " cannot be replaced: " +
                                  (where.empty() || where == previous_ ? what : where) + " cannot be read (" +
                                  reasonOf(error) + ").");
    };
    if (previous_.empty() || previous_ == folder_)
        return std::nullopt;
    replacedParent = FolderHandle::open(fs::path(previous_).parent_path().string(), true);
    const std::string replacedName = fs::path(previous_).filename().string();
    if (!replacedParent) {
        if (replacedParent.isNoFolder())
            return std::nullopt;
        throw cannotRead("the folder " + replacedParent.path(), replacedParent.error());
    }
    const FolderHandle replaced = replacedParent.child(replacedName);
    if (!replaced) {
        if (replaced.isNoFolder())
            return std::nullopt;
        throw cannotRead("its folder", replaced.error());
    }
    const auto planning = PlanningFinder::planningIn(replaced, replacedFile_);
    if (!planning.ok())
        throw cannotRead("its folder", planning.error(), planning.where());
    std::set<std::string> own(replacedOwn_.begin(), replacedOwn_.end());
    if (!planning->empty()) {
        const auto named = TakeOverRecord::filesNamedBy(replaced, *planning);
        if (!named.ok())
            throw cannotRead("its planning file " + *planning, named.error(), named.where());
        own.insert(named->begin(), named->end());
        checkRetirable(replacedParent, replaced, *planning);
    }
    const auto record = TakeOverRecord::describe(replaced, replacedName, *planning, {own.begin(), own.end()});
    if (!record.ok())
        throw cannotRead("its files", record.error(), record.where());
    return *record;
}

void PlanningFolderUpdate::checkRetirable(const FolderHandle& replacedParent, const FolderHandle& replaced,
                                          const std::string& planning) const
{
    const std::string refused = "The planning in " + previous_ + " cannot be replaced";
    // Only a refusal is this user's; every other error is told as it is.
    const auto check = [&](const std::string& what, int error) {
        if (error == EACCES || error == EPERM)
            throw std::runtime_error(refused + " by this user: " + what + " cannot be removed (" + reasonOf(error) + ").");
        if (error)
            throw std::runtime_error(refused + ": " + what + (error == EROFS ? " cannot be removed (" : " cannot be read (") +
                                     reasonOf(error) + ").");
    };
    // Its take-over marks it: something of the user's at the mark's name stays as it is, and so
    // does the mark of another user's save that ended, where this user may not replace it (said
    // first: that user's next start finishes it).
    const auto stranger = WorkMark::inTheWay(replaced);
    if (!stranger.ok())
        throw std::runtime_error(refused + ": its mark " + replaced.pathOf(WorkMark::fileName) +
                                 " could not be looked at (" + reasonOf(stranger.error()) + ").");
    if (!stranger->empty())
        throw std::runtime_error(refused + ": " + *stranger + ".");
    check("its planning file " + planning, replaced.mayRemove(planning).error());
    check("its folder", replacedParent.mayRemove(fs::path(previous_).filename().string()).error());
}

bool PlanningFolderUpdate::isReserved(const std::string& name) const
{
    const auto target = parent_.status(name);
    if (!target.ok() && target.error() != ENOENT)
        throw cannotPublish(parent_, target.error());
    if (!target.ok())
        return false;
    const auto empty = S_ISDIR(target->st_mode) ? parent_.child(name).isEmpty() : Answer<bool>(false);
    if (!empty.ok())
        throw std::runtime_error(failureAt("the new planning folder", folder_, empty.error()));
    if (!*empty)
        throw existsAlready(folder_);
    return true;
}

void PlanningFolderUpdate::publish(const std::string& name, bool reserved)
{
    // One rename: an empty folder reserved for it is replaced, anything else is not.
    const int refused =
        (reserved ? parent_.replace(stagingName_, parent_, name) : parent_.moveTo(stagingName_, parent_, name)).error();
    if (refused == EEXIST || refused == ENOTEMPTY)
        throw existsAlready(folder_);
    if (refused)
        throw cannotPublish(parent_, refused);
}

void PlanningFolderUpdate::commit(OriginLock* turn) try
{
    const std::string name = fs::path(folder_).filename().string();
    const bool reserved = isReserved(name);
    // The planning replaced, as the record will tell it, checked to be retirable before anything
    // is published.
    FolderHandle replacedParent;
    const std::optional<TakeOverRecord> record = describeReplaced(replacedParent);
    // Only a folder beside the planning is recorded: the record must mean the same on every
    // computer, whatever path the patient folder has there. Another is taken over here alone.
    const auto beside = record ? replacedParent.isSameFolder(parent_) : Answer<bool>(false);
    if (!beside.ok())
        throw cannotPublish(parent_, beside.error());
    if (*beside) {
        const FolderHandle staging = parent_.child(stagingName_);
        const auto written = staging ? staging.createWhole(record->fileName(), record->text())
                                     : Answer<FolderHandle::File>(staging.failure());
        if (!written.ok())
            throw cannotPublish(parent_, written.error());
    }
    // Overwrites take turns only while the lock is kept: one whose beat could not be written may
    // be another computer's by now.
    if (const int lost = turn ? turn->lost().error() : 0)
        throw std::runtime_error("The lock that lets saves of the planning take turns was lost: " + turn->path() +
                                 " could not be written (" + reasonOf(lost) + ").");
    publish(name, reserved);
    committed_ = true;

    // From here on nothing is thrown: what is not finished, and every step that failed, is said.
    if (const int error = parent_.sync().error())
        noteFailed("its folder could not be put on the disk", error);
    const FolderHandle into = parent_.child(name);
    if (record)
        takeOver(*record, *beside, replacedParent, into);
    settle(into, turn);
}
VEXA_RETHROW

void PlanningFolderUpdate::takeOver(const TakeOverRecord& record, bool recorded, const FolderHandle& replacedParent,
                                    const FolderHandle& into)
{
    // Without a record in the new planning no later start finishes what this one leaves.
    const std::string replacedBy = "The planning in " + folder_ + " replaced the planning in " + previous_;
    if (!into) {
        notes_.push_back(replacedBy + ", but taking its files over is not finished: the folder " + folder_ +
                         " could not be opened (" + reasonOf(into.error()) + "). " +
                         (recorded ? TakeOver::triesAgain : "Nothing of it was moved or removed."));
        return;
    }
    std::vector<std::string> done;
    const TakeOver::Result result = recorded
                                        ? TakeOver::finishRecord(replacedParent, into, record.fileName(), into, done, notes_)
                                        : TakeOver::run(replacedParent, record, into, {}, into, notes_, 0, false);
    if (result == TakeOver::Result::busy)
        notes_.push_back(replacedBy + ", but another instance of the program is at work in " + previous_ +
                         (recorded ? ": its files are taken over at a later start." : ": nothing of it was moved or removed."));
    else if (result == TakeOver::Result::notIt && !recorded)
        notes_.push_back(replacedBy + ", but " + previous_ + " no longer holds that planning: nothing of it was moved or "
                                                              "removed.");
}

void PlanningFolderUpdate::settle(const FolderHandle& into, OriginLock* turn)
{
    if (const int error = into ? into.sync().error() : 0)
        noteFailed("its folder could not be put on the disk", error);
    // The planning is whole: from now on another save may replace it.
    if (const int error = mark_->release().error())
        noteFailed("its mark " + folder_ + "/" + WorkMark::fileName + " could not be removed", error);
    if (const int error = turn ? turn->release().error() : 0)
        noteFailed("the lock file " + turn->path() + " could not be removed", error);
}

void PlanningFolderUpdate::noteFailed(const std::string& what, int error)
{
    const std::string note = "The planning is saved in " + folder_ + ", but " + what + " (" + reasonOf(error) + ").";
    if (std::find(notes_.begin(), notes_.end(), note) == notes_.end())
        notes_.push_back(note);
}
