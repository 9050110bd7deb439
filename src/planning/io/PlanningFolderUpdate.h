#pragma once
// Replaces a planning folder without ever destroying the planning it held: the new planning
// is built completely in a hidden folder beside the target, and only then takes the target's
// place in two renames. What the previous planning folder holds besides the planning itself
// (screenshots in "images", the recording copy in "system", treatment logs in "Log", ...)
// moves into the new folder; the planning's own entries (the ".srl" file and the folders
// "dicom", "surface" and "implant") are replaced.
//
// Hidden folders are never listed when plannings are searched, so a save that dies halfway
// leaves nothing that looks like a planning.
#include <string>
#include <vector>

class PlanningFolderUpdate
{
public:
    // folder: the planning folder to write. previous: the folder of the planning this one
    // replaces when that is another folder (a planning saved again under a new name), else
    // empty. Without `mayReplace` the folder is a new one: should a folder of its name hold
    // anything by the commit, the commit fails and it stays as it is. Creates the staging
    // folder (and the target's parent); throws std::runtime_error when that fails.
    PlanningFolderUpdate(std::string folder, std::string previous, bool mayReplace = true);
    // Removes the staging folder unless the update was committed.
    ~PlanningFolderUpdate();
    PlanningFolderUpdate(const PlanningFolderUpdate&) = delete;
    PlanningFolderUpdate& operator=(const PlanningFolderUpdate&) = delete;

    // Where the new planning is built; it becomes `folder` at commit.
    const std::string& getStagingFolder() const { return staging_; }
    const std::string& getFolder() const { return folder_; }

    // Puts the staged planning in place (and on the disk). Throws std::runtime_error, with
    // everything as it was, when the target cannot be replaced. Afterwards the other contents of the replaced
    // folders are moved in and those folders removed; an entry that cannot be moved is kept
    // where it was (with its folder) rather than lost.
    void commit();

    // Whether a name in a planning folder belongs to the planning itself.
    static bool isPlanningEntry(const std::string& name);

    // The folder that holds the planning of that origin now (after another program instance
    // saved it again under a new name): the planning below the patient folders that carries
    // the origin (or, without one, is in a folder of that name), the last saved one of them;
    // empty when there is none.
    static std::string findByOrigin(const std::vector<std::string>& patientPaths, const std::string& origin);

private:
    // An unused hidden name beside the target, "." + target name + suffix + number.
    std::string hiddenSibling(const std::string& suffix) const;
    // Moves the entries that are not the planning's own from `from` into the target; true
    // when all of them moved.
    bool carryOver(const std::string& from);

    std::string folder_;
    std::string previous_;
    std::string staging_;
    bool mayReplace_;
    bool committed_ = false;
};
