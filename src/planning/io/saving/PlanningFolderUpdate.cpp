#include "planning/io/saving/PlanningFolderUpdate.h"

#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/TakeOver.h"
#include "planning/io/saving/TakeOverRecord.h"
#include "planning/io/saving/WorkMark.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"

#include <cerrno>
#include <optional>
#include <cstring>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

std::string normalFolder(const std::string& path)
{
    if (path.empty())
        return path;
    fs::path p = fs::absolute(fs::path(path)).lexically_normal();
    if (!p.has_filename())
        p = p.parent_path();
    return p.string();
}

// The text of a failed step at `folder` with errno value `error`.
std::string failureAt(const std::string& what, const std::string& folder, int error)
{
    if (Vexa::AtomicFile::isDiskFull(error))
        return Vexa::AtomicFile::failureText(what + " " + folder, error);
    return "Could not make " + what + " " + folder + ": " + std::strerror(error);
}

}

PlanningFolderUpdate::PlanningFolderUpdate(std::string folder, std::string previous) try
    : folder_(normalFolder(folder)), previous_(normalFolder(previous))
{
    const fs::path target(folder_);
    std::error_code made;
    fs::create_directories(target.parent_path(), made);
    parent_ = FolderHandle::open(target.parent_path().string(), true);
    // The working folder's name means nothing to the user; the folder the planning goes in does.
    const auto cannotCreate = [&target](int error) {
        return std::runtime_error(failureAt("the new planning folder in", target.parent_path().string(), error));
    };
    if (!parent_)
        throw cannotCreate(made ? made.value() : parent_.error());
    const std::string name = target.filename().string();
    if (const auto status = parent_.status(name); status.ok() && S_ISDIR(status->st_mode)) {
        const auto empty = parent_.child(name).isEmpty();
        if (!empty.ok())
            throw cannotCreate(empty.error());
        reserved_ = *empty;
    } else if (!status.ok() && status.error() != ENOENT) {
        throw cannotCreate(status.error());
    }
    // A name that is taken: the next number, up to a bound; any other error ends it, and what was
    // made goes again.
    const std::string base = "." + name + ".saving";
    for (unsigned n = 0; n < 1000 && !mark_; ++n) {
        const std::string candidate = base + std::to_string(n);
        if (const int error = parent_.makeFolder(candidate)) {
            if (error != EEXIST)
                throw cannotCreate(error);
            continue;
        }
        const FolderHandle staging = parent_.child(candidate);
        auto mark = staging ? WorkMark::create(staging) : Answer<std::unique_ptr<WorkMark>>(Failure{staging.error()});
        if (!mark.ok()) {
            parent_.removeFolder(candidate);
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
        if (name != WorkMark::fileName)
            if (const int failed = staging.removeAll(name); failed && !error)
                error = failed;
    if (error || mark_->release() != 0) {
        mark_->leave();
    } else {
        parent_.removeFolder(stagingName_);
    }
    if (reserved_)
        parent_.removeFolder(fs::path(folder_).filename().string()); // only while it is empty
}

void PlanningFolderUpdate::setReplacedPlanning(std::string fileName, std::vector<std::string> ownFiles)
{
    replacedFile_ = std::move(fileName);
    replacedOwn_ = std::move(ownFiles);
}

std::optional<TakeOverRecord> PlanningFolderUpdate::describeReplaced(FolderHandle& replacedParent) const
{
    const auto cannotRead = [this](const std::string& what, int error) {
        return std::runtime_error("The planning in " + previous_ + " cannot be replaced: " + what + " cannot be read (" +
                                  std::strerror(error) + ").");
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
        throw cannotRead("its folder", planning.error());
    std::set<std::string> own(replacedOwn_.begin(), replacedOwn_.end());
    if (!planning->empty()) {
        const auto named = TakeOverRecord::filesNamedBy(replaced, *planning);
        if (!named.ok())
            throw cannotRead("its planning file " + *planning, named.error());
        own.insert(named->begin(), named->end());
        const auto refuse = [&](const std::string& what, int error) {
            return std::runtime_error("The planning in " + previous_ + " cannot be replaced by this user: " + what +
                                      " cannot be removed (" + std::strerror(error) + ").");
        };
        if (const int error = replaced.mayRemove(*planning))
            throw refuse("its planning file " + *planning, error);
        if (const int error = replacedParent.mayRemove(replacedName))
            throw refuse("its folder", error);
    }
    const auto record = TakeOverRecord::describe(replaced, replacedName, *planning, {own.begin(), own.end()});
    if (!record.ok())
        throw cannotRead("its files", record.error());
    return *record;
}

void PlanningFolderUpdate::commit() try
{
    const std::string name = fs::path(folder_).filename().string();
    const auto existsAlready = [this] {
        return std::runtime_error("The folder " + folder_ + " exists already; the planning is not saved over it.");
    };
    const auto cannotPublish = [this](int error) {
        return std::runtime_error(failureAt("the new planning folder in", parent_.path(), error));
    };
    const auto target = parent_.status(name);
    if (!target.ok() && target.error() != ENOENT)
        throw cannotPublish(target.error());
    if (target.ok()) {
        const auto empty = S_ISDIR(target->st_mode) ? parent_.child(name).isEmpty() : Answer<bool>(false);
        if (!empty.ok())
            throw cannotPublish(empty.error());
        if (!*empty)
            throw existsAlready();
    }

    // The planning replaced, as the record will tell it, checked to be retirable before anything
    // is published.
    FolderHandle replacedParent;
    const std::optional<TakeOverRecord> record = describeReplaced(replacedParent);
    // Only a folder beside the planning is recorded: the record must mean the same on every
    // computer, whatever path the patient folder has there. Another is taken over here alone.
    const auto beside = record ? replacedParent.isSameFolder(parent_) : Answer<bool>(false);
    if (!beside.ok())
        throw cannotPublish(beside.error());
    const bool recorded = *beside;
    if (recorded) {
        const FolderHandle staging = parent_.child(stagingName_);
        const auto written = staging ? staging.createWhole(record->fileName(), record->text())
                                     : Answer<FolderHandle::File>(Failure{staging.error()});
        if (!written.ok())
            throw cannotPublish(written.error());
    }

    // Published in one rename: an empty folder reserved for it is replaced, anything else is not.
    const int refused =
        target.ok() ? parent_.replace(stagingName_, parent_, name) : parent_.moveTo(stagingName_, parent_, name);
    if (refused == EEXIST || refused == ENOTEMPTY)
        throw existsAlready();
    if (refused)
        throw cannotPublish(refused);
    committed_ = true;

    // From here on nothing is thrown and nothing dropped: what is not finished is said.
    if (const int error = parent_.sync())
        notes_.push_back("The planning is saved in " + folder_ + ", but its folder could not be put on the disk (" +
                         std::strerror(error) + ").");
    const FolderHandle into = parent_.child(name);
    if (record && !into) {
        notes_.push_back("The planning in " + folder_ + " replaced the planning in " + previous_ +
                         ", but taking its files over is not finished: the folder " + folder_ + " could not be opened (" +
                         std::strerror(into.error()) + "). The next start of the program tries again.");
    } else if (record) {
        std::vector<std::string> done;
        const TakeOver::Result result =
            recorded ? TakeOver::finishRecord(replacedParent, into, record->fileName(), into, done, notes_)
                     : TakeOver::run(replacedParent, *record, into, {}, into, notes_);
        if (result == TakeOver::Result::busy)
            notes_.push_back("The planning in " + folder_ + " replaced the planning in " + previous_ +
                             ", but another instance of the program is at work in " + previous_ +
                             ": its files are taken over at a later start.");
        else if (result == TakeOver::Result::notIt && !recorded)
            notes_.push_back("The planning in " + folder_ + " replaced the planning in " + previous_ + ", but " +
                             previous_ + " no longer holds that planning: nothing of it was moved or removed.");
    }
    if (into)
        into.sync();
    // The planning is whole: from now on another save may replace it. A mark that cannot be
    // removed names this process, and goes at the next start once it has ended.
    mark_->release();
}
VEXA_RETHROW
