#pragma once
// Replaces a planning folder without ever destroying the planning it held, and so that every
// program instance, on this computer or another one sharing the patient folder, lists at every
// moment a planning that loads, with every file of it in a listed planning's folder.
//
// The new planning is built completely in a hidden folder beside the target, with everything
// that goes into it (pictures, the recording copy), and with one record for each folder it
// replaces (".morvanta-replaces-<folder>": where that folder is, its planning file and the
// files that planning names). A commit then publishes it in one rename; from then on nothing is
// written into it but what the replaced folders hand over:
//   1. the staging folder becomes the target (the new planning is listed beside the old one);
//   2. for each record, the replaced folder's entries that are not its planning's own files move
//      into the new planning (one rename each, a folder of that name there merged), then its
//      planning file goes (it is listed no more), then its own files, then the folder;
//   3. the record goes once no file of the replaced planning is left.
// Step 2 may be finished from the record by any instance at any time (finishInterrupted): each
// move is one rename and what is gone was moved. A staging folder that was never published
// holds only the new save's own files; it is removed by a later start of the computer that made
// it (its WorkMark tells), and hides nothing meanwhile.
//
// A planning's own files are always those its planning file names (PlanningFile::ownFiles), and
// the planning of a folder is the one planningIn tells: one rule everywhere. Nothing is ever
// moved, removed or made through a symbolic link.
#include <memory>
#include <string>
#include <vector>

class QLockFile;
class WorkMark;

class PlanningFolderUpdate
{
public:
    // folder: the planning folder to write. previous: the folder of the planning this one
    // replaces when that is another folder (a planning saved again under a new name), else
    // empty. Without `mayReplace` the folder is a new one: should a folder of its name hold
    // anything by the commit, the commit fails and it stays as it is. An empty folder of that
    // name is one reserved for this planning (it goes again when the update is abandoned).
    // Creates the staging folder (and the target's parent); throws std::runtime_error when
    // that fails.
    PlanningFolderUpdate(std::string folder, std::string previous, bool mayReplace = true);
    // Removes the staging folder (and a reserved target) unless the update was committed.
    ~PlanningFolderUpdate();
    PlanningFolderUpdate(const PlanningFolderUpdate&) = delete;
    PlanningFolderUpdate& operator=(const PlanningFolderUpdate&) = delete;

    // Where the new planning is built; it becomes `folder` at commit.
    const std::string& getStagingFolder() const { return staging_; }
    const std::string& getFolder() const { return folder_; }

    // The planning the save replaces (the one loaded) and the files it names, relative to its
    // folder: that of `previous`, or the target's when there is no previous folder. Without it,
    // the planning a replaced folder holds is found by planningIn and its files read from it.
    void setReplacedPlanning(std::string fileName, std::vector<std::string> ownFiles);

    // Puts the staged planning in place (and on the disk). Throws std::runtime_error, with
    // everything as it was, when the target cannot be replaced. Afterwards the replaced
    // folders are taken over; what of them cannot move stays where it is, told by getNotes.
    void commit();

    // After commit: one line for each entry of a replaced folder that stayed where it was, with
    // the reason, and for a replaced folder that is left.
    const std::vector<std::string>& getNotes() const { return notes_; }

    // The planning file (its name) that `folder` holds: `known` when it is there; else the one
    // named after the folder (a ".previous-<name>[-<n>]" folder of an earlier version: <name>);
    // else the only ".srl" file in it; empty when there is none.
    static std::string planningIn(const std::string& folder, const std::string& known = {});

    // The folder that holds the planning of that origin now (after another program instance
    // saved it again under a new name): the planning below the patient folders that carries
    // the origin (or, without one, is in a folder of that name), the last saved one of them;
    // empty when there is none.
    static std::string findByOrigin(const std::vector<std::string>& patientPaths, const std::string& origin);

    // A key of the planning folder that sorts by the time it was saved: the stored save time,
    // then the time-stamp name with its milliseconds counted as a number.
    static std::string saveTimeKey(const std::string& folder);

    // Finishes what saves cut off by a crash left below the patient folders: the take-overs
    // a published planning records are finished (by any instance, on any computer); a staging
    // folder of this computer's whose save is gone is removed (one of an earlier version that
    // was being published is published); temporary files and stale locks go. Only what the
    // program made is touched, a save at work anywhere is left alone, and no link is followed.
    // Called while no other instance of this installation runs. One line for each thing done.
    static std::vector<std::string> finishInterrupted(const std::vector<std::string>& patientPaths);

    // Held around the check, the publishing and the take-over of an overwrite, so that two
    // program instances saving one planning at once take turns: the later one then finds the
    // planning it loaded replaced. One lock for each origin, in the folder that holds its
    // plannings; waits for it. Without a lock file where none can be made.
    class OriginLock
    {
    public:
        OriginLock(const std::string& parentFolder, const std::string& origin);
        ~OriginLock();

    private:
        std::unique_ptr<QLockFile> lock_;
    };

private:
    std::string folder_;
    std::string previous_;
    std::string staging_;
    std::unique_ptr<WorkMark> mark_;
    std::string replacedFile_;
    std::vector<std::string> replacedOwn_;
    bool replacedKnown_ = false;
    std::vector<std::string> notes_;
    bool mayReplace_;
    bool reserved_ = false;
    bool committed_ = false;
};
