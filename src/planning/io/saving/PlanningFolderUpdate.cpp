#include "planning/io/saving/PlanningFolderUpdate.h"

#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/TakeOver.h"
#include "planning/io/saving/TakeOverRecord.h"
#include "planning/io/saving/WorkMark.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"

#include <cerrno>
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
    const auto cannotCreate = [this, &target](int error) {
        return std::runtime_error(failureAt("the new planning folder in", target.parent_path().string(), error));
    };
    if (!parent_)
        throw cannotCreate(made ? made.value() : parent_.error());
    if (const auto status = parent_.status(target.filename().string()))
        reserved_ = S_ISDIR(status->st_mode) && parent_.child(target.filename().string()).isEmpty();
    const std::string base = "." + target.filename().string() + ".saving";
    for (unsigned n = 0; !mark_; ++n) {
        const std::string candidate = base + std::to_string(n);
        // A folder of that name is there already: the next number.
        if (const int error = parent_.makeFolder(candidate)) {
            if (error != EEXIST)
                throw cannotCreate(error);
            continue;
        }
        const FolderHandle staging = parent_.child(candidate);
        try {
            mark_ = staging ? WorkMark::create(staging) : nullptr;
        } catch (const Vexa::WriteError& e) {
            parent_.removeFolder(candidate);
            throw cannotCreate(e.error());
        }
        // Without a mark another instance's start took the folder, in that instant, for a
        // leftover: it is that start's to remove.
        if (mark_) {
            stagingName_ = candidate;
            staging_ = parent_.pathOf(candidate);
        }
    }
}
VEXA_RETHROW

PlanningFolderUpdate::~PlanningFolderUpdate()
{
    if (committed_)
        return;
    parent_.removeAll(stagingName_);
    mark_.reset();
    if (reserved_)
        parent_.removeFolder(fs::path(folder_).filename().string()); // only while it is empty
}

void PlanningFolderUpdate::setReplacedPlanning(std::string fileName, std::vector<std::string> ownFiles)
{
    replacedFile_ = std::move(fileName);
    replacedOwn_ = std::move(ownFiles);
}

void PlanningFolderUpdate::commit() try
{
    const std::string name = fs::path(folder_).filename().string();
    const auto existsAlready = [this] {
        return std::runtime_error("The folder " + folder_ + " exists already; the planning is not saved over it.");
    };
    const auto target = parent_.status(name);
    if (target && !(S_ISDIR(target->st_mode) && parent_.child(name).isEmpty()))
        throw existsAlready();

    // The planning replaced, as the record will tell it, checked to be retirable before anything
    // is published.
    std::optional<TakeOverRecord> record;
    FolderHandle replacedParent;
    if (!previous_.empty() && previous_ != folder_) {
        replacedParent = FolderHandle::open(fs::path(previous_).parent_path().string(), true);
        const std::string replacedName = fs::path(previous_).filename().string();
        const FolderHandle replaced = replacedParent.child(replacedName);
        if (!replaced && replaced.error() != ENOENT)
            throw std::runtime_error("The planning folder " + previous_ + " cannot be replaced: " +
                                     std::strerror(replaced.error()) + ".");
        if (replaced) {
            const std::string planning = PlanningFinder::planningIn(replaced, replacedFile_);
            std::set<std::string> own(replacedOwn_.begin(), replacedOwn_.end());
            if (!planning.empty()) {
                for (const std::string& file : TakeOverRecord::filesNamedBy(replaced, planning))
                    own.insert(file);
                const auto refuse = [&](const std::string& what, int error) {
                    return std::runtime_error("The planning in " + previous_ + " cannot be replaced by this user: " +
                                              what + " cannot be removed (" + std::strerror(error) + ").");
                };
                if (const int error = replaced.mayRemove(planning))
                    throw refuse("its planning file " + planning, error);
                if (const int error = replacedParent.mayRemove(replacedName))
                    throw refuse("its folder", error);
            }
            record = TakeOverRecord::describe(replaced, replacedName, planning, {own.begin(), own.end()});
        }
    }
    // Only a folder beside the planning is recorded: the record must mean the same on every
    // computer, whatever path the patient folder has there. Another is taken over here alone.
    const bool recorded = record && replacedParent.isSameFolder(parent_);
    if (recorded) {
        try {
            Vexa::AtomicFile::writeFile(staging_ + "/" + record->fileName(), record->text());
        } catch (const Vexa::WriteError& e) {
            throw std::runtime_error(failureAt("the new planning folder in", parent_.path(), e.error()));
        }
    }

    // Published in one rename: an empty folder reserved for it is replaced, anything else is not.
    const int refused = target ? parent_.replace(stagingName_, parent_, name) : parent_.moveTo(stagingName_, parent_, name);
    if (refused == EEXIST || refused == ENOTEMPTY)
        throw existsAlready();
    if (refused)
        throw std::runtime_error(failureAt("the new planning folder in", parent_.path(), refused));
    committed_ = true;
    parent_.sync();

    // From here on nothing is thrown and nothing dropped.
    const FolderHandle into = parent_.child(name);
    if (record) {
        std::vector<std::string> done;
        const TakeOver::Result result = recorded
                                            ? TakeOver::finishRecord(replacedParent, into, record->fileName(), into, done, notes_)
                                            : TakeOver::run(replacedParent, *record, into, into, notes_);
        if (result == TakeOver::Result::busy)
            notes_.push_back(TakeOver::leftBusy(previous_));
        else if (result == TakeOver::Result::notIt && !recorded)
            notes_.push_back("left " + previous_ + ": it no longer holds the planning replaced");
    }
    into.sync();
    // The planning is whole: from now on another save may replace it.
    mark_.reset();
}
VEXA_RETHROW
