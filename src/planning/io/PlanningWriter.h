#pragma once
// The planning save job: writes the Model's planning as a planning folder: the ".srl" file
// named `file`, copies of the DICOM series in "dicom", the 3D model in "surface" and the
// implant descriptions with their surfaces and pictures in "implant/<k>/". The new planning is
// built completely in a working folder (PlanningStaging) and only then published, replacing the
// planning loaded (PlanningFolderUpdate), so a save that fails leaves the planning loaded as it
// was and says so. Not cancelable.
#include "vexa/core/IAlgorithmProgressState.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class LoadedPlanning;
class Model;
class PlanningFolderUpdate;
class PlanningStaging;
class Settings;
struct PlanningFile;

namespace Vexa {
class IndexedTriangleMesh;
}

class PlanningWriter : public Vexa::IAlgorithmProgressState
{
public:
    // overwrite: the planning replaces the one loaded (the settings' planning file), whose
    // folder goes once the new one is written, handing over what else it holds (screenshots,
    // logs); its DICOM copies are taken from there. Otherwise a new planning is written.
    // Progress 0, empty error text.
    PlanningWriter(std::string file, std::shared_ptr<Model> model, std::shared_ptr<Settings> settings,
                   bool overwrite);
    ~PlanningWriter() override;

    // Saves; true on success (then the Model's DICOM file list and implants name the copies,
    // the settings' planning file is `file`, its origin the planning's and the planning state
    // is 2). Only a planning that reads back whole replaces another; a new one takes no
    // folder that holds anything. A failure says that the planning was not saved, why (a full
    // disk as such, with the file that could not be written) and where the planning loaded is,
    // unchanged. Never throws.
    bool start() override;
    void cancel() override {}
    double getProgressState() const override { return progress_; }
    std::string getShortDescription() const override;
    bool isCancelable() const override { return false; }

    // A planning file "<parent>/<name>/<name>.srl" under a new time-stamp name, whose folder is
    // made (empty) at once, so that no other program instance takes the name; the writer puts
    // the planning in it, or removes it again when the save fails. Throws std::runtime_error
    // with the reason ("The disk is full: ..." when it is) when no folder can be made.
    static std::string reserveFile(const std::string& parentFolder);

    // Why the last start failed; empty after success.
    const std::string& getErrorMessage() const { return errorMessage_; }
    // The text of a failed save: that the planning was not saved, the cause, and where the
    // planning loaded (if any) is, unchanged.
    static std::string failureText(const std::string& cause, const std::string& unchangedFolder);
    // The folder that holds the loaded planning now when another program instance saved it
    // again meanwhile and removed the folder it was loaded from; else empty. An overwrite
    // fails then; a new planning takes the series from there.
    const std::string& getReplacement() const { return replacement_; }
    // A file that goes into the planning with it (a picture, the recording), before the planning
    // is published: `into` is its name in the planning folder ("images/<name>"). A moved file's
    // source goes once the planning stands; either stays where it is when it cannot go in.
    void carryIn(std::string source, std::string into, bool move);
    // After a successful start: each file to carry in that stayed where it is, with the reason.
    const std::vector<std::pair<std::string, std::string>>& getNotCarried() const { return notCarried_; }
    // After a successful start: one line for each entry of the replaced planning's folder that
    // stayed where it was, with the reason, and for each patient folder that did not answer the
    // look for a later save of the planning (left out of it).
    const std::vector<std::string>& getNotes() const { return notes_; }

private:
    // What is saved, taken from the Model at once.
    struct Snapshot;
    // Where the new planning's files go.
    struct Staged;

    void save();
    Snapshot takeSnapshot() const;
    // The Model's planning apart from its files.
    void collect(PlanningFile& planning) const;
    // Writes the new planning into the working folder.
    Staged stage(Snapshot& snapshot, PlanningFolderUpdate& update, LoadedPlanning& loaded);
    // Its parts: the series, the implant descriptions (with those undo may bring back, in
    // `withKept`), the files carried in.
    void stageSeries(Snapshot& snapshot, const PlanningStaging& staging, LoadedPlanning& loaded, Staged& staged);
    void stageImplants(Snapshot& snapshot, const PlanningStaging& staging, LoadedPlanning& loaded, Staged& staged,
                       PlanningFile& withKept);
    void stageCarried(const PlanningStaging& staging, Staged& staged);
    // A stage that failed: said as the user knows the files, or, where another instance published
    // its save of the planning loaded meanwhile, or a start cleared the working folder away, as that.
    [[noreturn]] void stagingFailed(const std::exception& e, const PlanningFolderUpdate& update, LoadedPlanning& loaded);
    // Copies with `copy`; for a new planning, once more from the replacement when the planning
    // loaded went meanwhile (another instance published its overwrite of it).
    template<class Copy>
    void copyFromLoaded(LoadedPlanning& loaded, const Copy& copy);
    // Publishes the new planning, in turn with other overwrites of the planning loaded.
    void publish(PlanningFolderUpdate& update, LoadedPlanning& loaded);
    // What the save says while it waits for another instance; empty while it does not.
    void setWaiting(const std::string& what);

    std::string file_;
    std::shared_ptr<Model> model_;
    std::shared_ptr<Settings> settings_;
    bool overwrite_;
    std::string errorMessage_;
    std::string replacement_;
    // Where the planning loaded is, unchanged, should the save fail.
    std::string unchanged_;
    struct Carried
    {
        std::string source, into;
        bool move;
    };
    std::vector<Carried> carried_;
    std::vector<std::pair<std::string, std::string>> notCarried_;
    std::vector<std::string> notes_;
    // Patient folders the look for a later save of the planning left out, said with the notes.
    std::vector<std::string> silent_;
    std::atomic<double> progress_{0.0};
    mutable std::mutex waitingMutex_;
    std::string waiting_;
};
