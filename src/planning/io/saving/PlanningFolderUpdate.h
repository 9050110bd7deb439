#pragma once
// Staging and publishing: a save builds its new planning completely in a hidden working folder
// beside the target (".<name>.saving<n>", under the save's WorkMark), with everything that goes
// into it, and publishes it in one rename; from then on nothing is written into it but what the
// planning it replaces hands over (TakeOver).
//
// Rule:
//   - the target is a new name, or an empty folder reserved for this planning: a folder that
//     holds anything is never saved over;
//   - before anything is published, the planning replaced must be retirable by this user (its
//     planning file and its folder removable); else the commit fails with the reason and
//     everything stays as it was;
//   - the working folder holds the record of the folder it replaces (TakeOverRecord) when that
//     lies beside the target, so that any instance on any computer can finish the take-over;
//   - a working folder that is never published holds only the save's own files and goes with
//     the update, its mark last, or else at the next start of its computer (StartRecovery);
//   - after the publishing rename nothing is thrown: what is not finished, and every step that
//     failed (the last syncs, the removal of the mark and of the origin lock), is said in the notes.
#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/TakeOverRecord.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class OriginLock;
class WorkMark;

class PlanningFolderUpdate
{
public:
    // folder: the planning folder to write. previous: the folder of the planning this one
    // replaces, or empty. Creates the working folder (and the target's parent); throws
    // std::runtime_error when that fails.
    PlanningFolderUpdate(std::string folder, std::string previous);
    // Removes the working folder (and a reserved target) unless the update was committed.
    ~PlanningFolderUpdate();
    PlanningFolderUpdate(const PlanningFolderUpdate&) = delete;
    PlanningFolderUpdate& operator=(const PlanningFolderUpdate&) = delete;

    // Whether the working folder went before the commit: a start cleared it away as one that a
    // save left, the save having stood still for longer than a start waits.
    bool isClearedAway() const;
    // The words for that, for a save into `parent`.
    static std::string clearedAwayText(const std::string& parent);

    // Where the new planning is built; it becomes `folder` at commit.
    const std::string& getStagingFolder() const { return staging_; }
    const std::string& getFolder() const { return folder_; }

    // The planning the save replaces (the one loaded) and its own files, relative to its folder,
    // as the session knows them (with the implant descriptions it keeps for undo). Without it the
    // planning is the one PlanningFinder tells and its files those its planning file names.
    void setReplacedPlanning(std::string fileName, std::vector<std::string> ownFiles);

    // Checks that the replaced planning can be retired, puts the new planning in place (and on
    // the disk) and takes the replaced folder over. Throws std::runtime_error, with everything
    // as it was, when the planning cannot be published. `turn`, the origin lock the overwrite
    // holds: one that was lost (its beat could not be written) refuses the publishing, and it is
    // let go once the take-over ends.
    void commit(OriginLock* turn = nullptr);

    // After commit: one line for each entry of the replaced folder that stayed where it was, with
    // the reason, and for a replaced folder that is left.
    const std::vector<std::string>& getNotes() const { return notes_; }

private:
    // The record of the planning replaced, checked to be retirable; nothing where no planning is
    // replaced. Opens its parent in `replacedParent`. Throws std::runtime_error, with the reason.
    std::optional<TakeOverRecord> describeReplaced(FolderHandle& replacedParent) const;
    // Throws std::runtime_error where the planning replaced cannot be retired by this program.
    void checkRetirable(const FolderHandle& replacedParent, const FolderHandle& replaced,
                        const std::string& planning) const;
    // Whether an empty folder reserved for the planning stands at its name. Throws
    // std::runtime_error where anything else does.
    bool isReserved(const std::string& name) const;
    // Puts the working folder at the planning's name in one rename. Throws std::runtime_error,
    // with everything as it was.
    void publish(const std::string& name, bool reserved);
    // After the publishing: takes the replaced folder over into the new planning `into`.
    void takeOver(const TakeOverRecord& record, bool recorded, const FolderHandle& replacedParent,
                  const FolderHandle& into);
    // After the take-over: the new planning on the disk, its mark and the origin lock gone.
    void settle(const FolderHandle& into, OriginLock* turn);
    // A note that the planning is saved, but a step after it failed.
    void noteFailed(const std::string& what, int error);

    std::string folder_;
    std::string previous_;
    std::string staging_;
    std::string stagingName_;
    FolderHandle parent_;
    std::unique_ptr<WorkMark> mark_;
    std::string replacedFile_;
    std::vector<std::string> replacedOwn_;
    std::vector<std::string> notes_;
    bool reserved_ = false;
    bool committed_ = false;
};
