#pragma once
// Replaces a planning folder without ever destroying the planning it held: the new planning
// is built completely in a hidden folder beside the target, and only then takes the target's
// place. What the previous planning folder holds besides the planning itself (screenshots in
// "images", the recording copy in "system", treatment logs in "Log", ...) moves into the new
// folder; the planning's own entries (its ".srl" file and the folders "dicom", "surface" and
// "implant") are replaced.
//
// The steps of a commit, each one rename, leave a state that tells how to go on should the
// program die in between (finishInterrupted):
//   1. every folder replaced goes into the staging folder as ".previous-<its name>": the old
//      planning is no longer listed, and the staging folder now says it is due to be published;
//   2. the staging folder becomes the target (one rename: the new planning is listed);
//   3. the other contents of the replaced folders move from ".previous-*" into the target, and
//      so do those of a ".previous-*" that an earlier take-over, cut off, left in them;
//   4. the replaced plannings are removed, and their ".previous-*" folders with them.
// A staging folder without ".previous-*" never got to its commit and is thrown away.
//
// The staging folder carries a WorkMark from its first moment to the end of the take-over (and
// further, for whoever takes it over with releaseMark), so that no other program instance, of
// this installation or another one sharing the patient folder, takes it for a crash's leftover.
// Hidden folders are never listed when plannings are searched, so a save that dies halfway
// leaves nothing that looks like a planning.
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
    // Removes the staging folder (and a reserved target) unless the update was committed. One
    // that still holds a replaced planning (it could not be put back) stays for the next start,
    // which publishes it.
    ~PlanningFolderUpdate();
    PlanningFolderUpdate(const PlanningFolderUpdate&) = delete;
    PlanningFolderUpdate& operator=(const PlanningFolderUpdate&) = delete;

    // Where the new planning is built; it becomes `folder` at commit.
    const std::string& getStagingFolder() const { return staging_; }
    const std::string& getFolder() const { return folder_; }

    // Puts the staged planning in place (and on the disk). Throws std::runtime_error, with
    // everything as it was, when the target cannot be replaced. Afterwards the other contents
    // of the replaced folders are moved in and those folders removed; an entry that cannot be
    // moved is kept (hidden in the new folder) rather than lost.
    void commit();

    // The mark of the published folder, for work that goes on in it after the commit (pictures
    // and the recording moving in); without it the mark goes with the update.
    std::unique_ptr<WorkMark> releaseMark();

    // Whether an entry of the folder of the planning `planning` belongs to the planning itself.
    static bool isPlanningEntry(const std::string& entry, const std::string& planning);

    // The folder that holds the planning of that origin now (after another program instance
    // saved it again under a new name): the planning below the patient folders that carries
    // the origin (or, without one, is in a folder of that name), the last saved one of them;
    // empty when there is none.
    static std::string findByOrigin(const std::vector<std::string>& patientPaths, const std::string& origin);

    // A key of the planning folder that sorts by the time it was saved: the stored save time,
    // then the time-stamp name with its milliseconds counted as a number.
    static std::string saveTimeKey(const std::string& folder);

    // Finishes what saves cut off by a crash left below the patient folders: a staging folder
    // that was being published is published, one that was not is removed, a published folder
    // gets the contents of the folder it replaced, and temporary files and stale locks go.
    // Only what the program made is touched, and only under a WorkMark taken from an instance
    // known to be gone (or made where none was): a save in progress anywhere is left alone.
    // Called while no other instance of this installation runs. One line for each thing done.
    static std::vector<std::string> finishInterrupted(const std::vector<std::string>& patientPaths);

    // Held around the check and the publishing of an overwrite, so that two program instances
    // saving one planning at once take turns: the later one then finds the folder it loaded
    // gone. One lock for each origin, in the folder that holds its plannings; waits for it.
    // Without a lock file where none can be made (a folder nobody can write to).
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
    bool mayReplace_;
    bool reserved_ = false;
    bool committed_ = false;
};
