#include "planning/io/PlanningWriter.h"

#include "dicom/import/DicomData.h"
#include "dicom/import/DicomInformation.h"
#include "planning/io/LoadedPlanning.h"
#include "planning/io/PlanningFile.h"
#include "planning/io/PlanningStaging.h"
#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/OriginLock.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/PlanningFolderUpdate.h"
#include "planning/io/saving/WorkMark.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/model/Utilities.h"
#include "planning/objects/Implant.h"
#include "planning/objects/Nerve.h"
#include "planning/objects/OrthoSlicePositioner.h"
#include "planning/objects/PanoramicLine.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFiles.h"

#include <QDateTime>
#include <cerrno>
#include <chrono>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Share of the progress that copying the DICOM series takes.
constexpr double dicomShare = 0.8;
// How long an overwrite waits for another instance at work in the planning it replaces.
constexpr auto patience = std::chrono::seconds(60);
// How long a patient folder may make no step in the look for a later save of the planning before
// it is left out (its file server stopped answering).
constexpr auto unanswered = std::chrono::seconds(5);

// Where a file to copy is, or the failure to copy it (the `what` named `file`).
fs::path located(const Answer<fs::path>& place, const std::string& what, const std::string& file)
{
    if (!place.ok())
        throw PlanningStaging::cannotCopy(what, file, place.error());
    return *place;
}

// Whether the planning file loaded is provably gone from `folder` (another instance published its
// save of it); a look that fails is no answer, and tells nothing.
bool isGone(const LoadedPlanning& loaded, const std::string& folder)
{
    const auto kind = FolderHandle::kindAt((fs::path(folder) / loaded.fileName()).string());
    return kind.ok() && *kind == FolderHandle::Kind::none;
}

// The folder and the name of an entry by its path.
std::pair<FolderHandle, std::string> entryAt(const fs::path& path)
{
    return {FolderHandle::open(path.parent_path().string(), true), path.filename().string()};
}

}

struct PlanningWriter::Snapshot
{
    PlanningFile planning;
    std::vector<std::string> sources;
    std::vector<std::pair<std::string, std::string>> implantFiles; // as named, where it is now
    std::vector<std::string> kept; // descriptions of implants that only undo may bring back
    std::shared_ptr<Vexa::IndexedTriangleMesh> surface;
};

struct PlanningWriter::Staged
{
    std::string folder;                       // the new planning's, once published
    std::vector<std::string> copies;          // where the series lies once saved
    std::map<std::string, std::string> moved; // where each implant description goes
    std::vector<std::string> carriedIn;       // sources that go once the planning stands
    std::vector<std::string> ownFiles;        // the new planning's, with the descriptions kept for undo
};

PlanningWriter::PlanningWriter(std::string file, std::shared_ptr<Model> model, std::shared_ptr<Settings> settings,
                               bool overwrite) try
    : file_(std::move(file)), model_(std::move(model)), settings_(std::move(settings)), overwrite_(overwrite)
{
    if (!model_ || !settings_)
        throw std::runtime_error("PlanningWriter: a model and settings are required");
}
VEXA_RETHROW

PlanningWriter::~PlanningWriter() = default;

void PlanningWriter::carryIn(std::string source, std::string into, bool move)
{
    carried_.push_back({std::move(source), std::move(into), move});
}

std::string PlanningWriter::failureText(const std::string& cause, const std::string& unchangedFolder)
{
    std::string text = "The planning was not saved.\n" + cause;
    if (!unchangedFolder.empty())
        text += "\nThe planning loaded is unchanged in " + unchangedFolder + ".";
    return text;
}

bool PlanningWriter::start()
{
    errorMessage_.clear();
    notes_.clear();
    silent_.clear();
    notCarried_.clear();
    unchanged_.clear();
    progress_ = 0.0;
    std::string cause;
    try {
        save();
        progress_ = 1.0;
        return true;
    } catch (const std::exception& e) {
        cause = e.what();
    } catch (...) {
        cause = "An unknown error has occurred during saving the planning data.";
    }
    setWaiting({});
    errorMessage_ = failureText(cause.empty() ? "The planning " + file_ + " could not be saved." : cause, unchanged_);
    // A folder reserved for the planning goes again (only while it is empty).
    const auto [parent, reserved] = entryAt(fs::absolute(fs::path(file_)).lexically_normal().parent_path());
    if (const int error = parent ? parent.removeFolder(reserved).error() : parent.error();
        error && error != ENOENT && error != ENOTEMPTY && error != EEXIST)
        errorMessage_ += "\nThe empty folder " + parent.pathOf(reserved) + " reserved for the new planning stays (" + reasonOf(error) + ").";
    return false;
}

std::string PlanningWriter::reserveFile(const std::string& parentFolder) try
{
    const fs::path parent = fs::absolute(fs::path(parentFolder)).lexically_normal();
    const auto cannotCreate = [&parent](const fs::path& folder, int error) {
        if (Vexa::AtomicFile::isDiskFull(error))
            return std::runtime_error(Vexa::AtomicFile::failureText("the new planning folder in " + parent.string(), error));
        if (folder == parent)
            return std::runtime_error("The folder " + folder.string() + " cannot be created: " + reasonOf(error) + ".");
        return std::runtime_error("No new planning folder can be made in " + parent.string() + ": " +
                                  reasonOf(error) + ".");
    };
    // Made where it is missing; one that is there but cannot be opened says so.
    FolderHandle folder = FolderHandle::open(parent.string(), true);
    if (!folder && folder.error() != ENOENT && folder.error() != ENOTDIR)
        throw std::runtime_error("The folder " + parent.string() + " cannot be opened: " + reasonOf(folder.error()) +
                                 ".");
    if (!folder)
        folder = FolderHandle::make(parent.string());
    if (!folder)
        throw cannotCreate(parent, folder.error());
    // As every new name: the current time, drawn again (a millisecond later) while it is taken.
    for (int i = 0; i < 49; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::string name = Utilities::getTimeStampName(Utilities::currentDateTime());
        const int error = folder.makeFolder(name).error();
        if (!error)
            return (parent / name / (name + ".srl")).string();
        if (error != EEXIST)
            throw cannotCreate(parent / name, error);
    }
    throw std::runtime_error("No new folder name is free in " + parent.string() + ".");
}
VEXA_RETHROW

std::string PlanningWriter::getShortDescription() const
{
    const std::lock_guard<std::mutex> guard(waitingMutex_);
    return waiting_.empty() ? "Saving planning data" : "Saving planning data: waiting for " + waiting_;
}

void PlanningWriter::setWaiting(const std::string& what)
{
    const std::lock_guard<std::mutex> guard(waitingMutex_);
    waiting_ = what;
}

void PlanningWriter::save() try
{
    const fs::path target = fs::absolute(fs::path(file_)).lexically_normal();
    if (!target.has_filename() || !target.has_parent_path())
        throw std::runtime_error("Invalid planning file name " + file_);
    const std::string folder = target.parent_path().string();
    LoadedPlanning loaded(*settings_);
    unchanged_ = loaded.folder();
    // Another instance of the program may have saved the loaded planning again meanwhile, under
    // a new name, and removed the folder this session knows. Overwriting would throw that
    // instance's work away; saved as new, this planning takes its files from there.
    replacement_ = loaded.replacement();
    if (overwrite_ && !replacement_.empty())
        throw std::runtime_error(loaded.savedAgainText(replacement_));
    // Overwrites take turns by a lock named after the origin.
    if (overwrite_ && loaded.isSet())
        OriginLock::checkOrigin(loaded.origin());

    Snapshot snapshot = takeSnapshot();
    // An overwrite keeps the planning's origin; a new planning starts its own.
    snapshot.planning.origin =
        overwrite_ && loaded.isSet() ? loaded.origin() : target.parent_path().filename().string();

    PlanningFolderUpdate update(folder, overwrite_ ? loaded.folder() : std::string());
    // The planning replaced is the file loaded, whatever its folder is called, with the
    // descriptions this session keeps for undo.
    if (overwrite_ && loaded.isSet())
        update.setReplacedPlanning(loaded.fileName(), settings_->getPlanningOwnFiles());
    const Staged staged = stage(snapshot, update, loaded);
    progress_ = 0.95;
    try {
        publish(update, loaded);
    } catch (const std::exception&) {
        if (update.isClearedAway())
            throw std::runtime_error(PlanningFolderUpdate::clearedAwayText(folder));
        throw;
    }

    notes_ = update.getNotes();
    notes_.insert(notes_.end(), silent_.begin(), silent_.end());
    for (const std::string& source : staged.carriedIn) {
        const auto [folder, name] = entryAt(source);
        if (const int error = folder ? folder.removeFile(name).error() : folder.error(); error && error != ENOENT)
            notes_.push_back(source + " is in the planning and stays where it was too: it could not be removed (" +
                             reasonOf(error) + ").");
    }
    // From now on the whole Model refers to the new planning.
    {
        const auto lock = model_->changeLock();
        model_->setDicomFiles(staged.copies);
        model_->getImplantManager()->relocateDescriptions(staged.moved);
    }
    settings_->setPlanningFile(target.string());
    settings_->setPlanningOrigin(snapshot.planning.origin);
    settings_->setPlanningOwnFiles(staged.ownFiles);
    // An identity that cannot be read is none: the planning is then known by where it is alone.
    const auto identity = FolderHandle::open(folder).contentKey(target.filename().string());
    settings_->setPlanningIdentity(identity.ok() ? *identity : std::string());
    settings_->setPlanningState(2);
}
VEXA_RETHROW

PlanningWriter::Snapshot PlanningWriter::takeSnapshot() const try
{
    // Taken at once (views only read meanwhile); then the files are copied.
    Snapshot snapshot;
    const auto lock = model_->readLock();
    snapshot.sources = model_->getDicomFiles();
    if (snapshot.sources.empty() || !model_->getVolumeData())
        throw std::runtime_error("There is no patient data to save.");
    const auto manager = model_->getImplantManager();
    for (const auto& implant : manager->getImplants()) {
        const std::string file = implant->getFilename();
        snapshot.implantFiles.emplace_back(file, manager->locateDescription(file));
        snapshot.planning.implants.push_back({std::string(), implant->getGroup(), implant->getTransform()});
    }
    snapshot.kept = manager->getKnownDescriptions();
    snapshot.surface = model_->get3DModel();
    collect(snapshot.planning);
    return snapshot;
}
VEXA_RETHROW

template<class Copy>
void PlanningWriter::copyFromLoaded(LoadedPlanning& loaded, const Copy& copy)
{
    try {
        copy();
    } catch (const std::exception&) {
        if (overwrite_ || !replacement_.empty() || !loaded.isSet() || !isGone(loaded, loaded.loadedFolder()))
            throw;
        // Once the instance that published its overwrite of the planning loaded is through, the
        // files are where it put them.
        {
            const OriginLock turn(fs::path(loaded.loadedFolder()).parent_path().string(), loaded.origin(),
                                  [this](const std::string& what) { setWaiting(what); });
            setWaiting({});
            loaded.lookAgain();
        }
        replacement_ = loaded.replacement();
        if (replacement_.empty() && !loaded.wasMoved())
            throw;
        copy();
    }
}

PlanningWriter::Staged PlanningWriter::stage(Snapshot& snapshot, PlanningFolderUpdate& update, LoadedPlanning& loaded)
{
    PlanningFile& planning = snapshot.planning;
    Staged staged;
    staged.folder = update.getFolder();
    try {
        const PlanningStaging staging(update.getStagingFolder());
        for (const char* sub : {"dicom", "surface", "implant", "images", "system"})
            staging.makeFolder(sub);
        stageSeries(snapshot, staging, loaded, staged);
        PlanningFile withKept;
        stageImplants(snapshot, staging, loaded, staged, withKept);
        progress_ = 0.9;

        if (snapshot.surface) {
            staging.writeFile("surface/model.sff", [&] {
                std::ostringstream bytes;
                Vexa::writeSFFBinStream(*snapshot.surface, bytes);
                return bytes.str();
            });
            planning.surfaceFile = withKept.surfaceFile = "surface/model.sff";
        }
        const fs::path planningFile = fs::path(file_).filename();
        staging.writeFile(planningFile, [&] { return planning.text(); });
        staging.verify(planningFile, planning, snapshot.surface);
        withKept.dicomFiles = planning.dicomFiles;
        staged.ownFiles = withKept.ownFiles(update.getStagingFolder());
        stageCarried(staging, staged);
    } catch (const std::exception& e) {
        stagingFailed(e, update, loaded);
    }
    return staged;
}

void PlanningWriter::stageSeries(Snapshot& snapshot, const PlanningStaging& staging, LoadedPlanning& loaded,
                                 Staged& staged)
{
    // Files of the planning replaced are linked, not copied (they are never changed, and the
    // series is the largest part of a planning).
    std::set<std::string> names;
    for (std::size_t i = 0; i < snapshot.sources.size(); ++i) {
        const fs::path source = fs::path(snapshot.sources[i]).lexically_normal();
        std::string name = source.filename().string();
        for (std::size_t n = 0; name.empty() || names.count(name); ++n)
            name = std::to_string(i) + "_" + std::to_string(n) + "_" + source.filename().string();
        names.insert(name);
        copyFromLoaded(loaded, [&] {
            const fs::path from = located(loaded.locate(snapshot.sources[i]), "DICOM file", snapshot.sources[i]);
            staging.placeFile(from, fs::path("dicom") / name, overwrite_ && loaded.holds(from), "DICOM file");
        });
        snapshot.planning.dicomFiles.push_back("dicom/" + name);
        staged.copies.push_back((fs::path(staged.folder) / "dicom" / name).string());
        progress_ = dicomShare * double(i + 1) / double(snapshot.sources.size());
    }
}

void PlanningWriter::stageImplants(Snapshot& snapshot, const PlanningStaging& staging, LoadedPlanning& loaded,
                                   Staged& staged, PlanningFile& withKept)
{
    // One folder per description. `moved` tells the Model where each went.
    PlanningFile& planning = snapshot.planning;
    std::map<std::string, std::size_t> descriptions;
    for (std::size_t i = 0; i < snapshot.implantFiles.size(); ++i) {
        // Named, not bound: a lambda below takes them (clang 14 cannot capture a structured binding).
        const std::string& named = snapshot.implantFiles[i].first;
        const std::string& current = snapshot.implantFiles[i].second;
        const auto [it, added] = descriptions.emplace(current, descriptions.size());
        const std::string relative = "implant/" + std::to_string(it->second) + "/" + fs::path(current).filename().string();
        if (added)
            copyFromLoaded(loaded, [&] {
                const fs::path from = located(loaded.locateDescription(current), "implant description", current);
                staging.copyImplantDescription(from.string(), fs::path(relative).parent_path());
            });
        planning.implants[i].file = relative;
        staged.moved[named] = staged.moved[current] = (fs::path(staged.folder) / relative).string();
    }
    // Descriptions of implants that are not planned now but that undo may bring back, where this
    // save replaces the folder they lie in. They are the new planning's own files too.
    withKept = planning;
    for (const std::string& file : snapshot.kept) {
        // Only those the planning replaced holds are looked at.
        if (!overwrite_ || descriptions.count(file) || !loaded.holds(file))
            continue;
        const fs::path source = located(loaded.locate(file), "implant description", file);
        if (!loaded.holds(source))
            continue;
        const auto kind = FolderHandle::kindAt(source.string());
        if (!kind.ok())
            throw PlanningStaging::cannotCopy("implant description", source, kind.error());
        if (*kind != FolderHandle::Kind::file)
            continue;
        const fs::path relative = fs::path("implant") / std::to_string(descriptions.size()) / source.filename();
        descriptions.emplace(file, descriptions.size());
        staging.copyImplantDescription(source.string(), relative.parent_path());
        staged.moved[file] = (fs::path(staged.folder) / relative).string();
        withKept.implants.push_back({relative.generic_string(), 0, {}});
    }
}

void PlanningWriter::stageCarried(const PlanningStaging& staging, Staged& staged)
{
    // What goes in with the planning, before anyone can list it; what cannot stays where it is.
    for (const Carried& file : carried_) {
        try {
            if (!PlanningFile::staysInFolder(file.into))
                throw std::runtime_error("\"" + file.into + "\" is no name in a planning folder");
            staging.placeFile(file.source, file.into, file.move, "file");
            if (file.move)
                staged.carriedIn.push_back(file.source);
        } catch (const std::exception& e) {
            notCarried_.emplace_back(file.source, PlanningStaging::asShown(e.what(), staging.folder().string()));
        }
    }
}

void PlanningWriter::stagingFailed(const std::exception& e, const PlanningFolderUpdate& update, LoadedPlanning& loaded)
{
    // The working folder itself went: that is what the user is told.
    if (update.isClearedAway())
        throw std::runtime_error(
            PlanningFolderUpdate::clearedAwayText(fs::path(update.getFolder()).parent_path().string()));
    // Files of the loaded planning that went while they were copied: another instance has
    // published its save of it. Once it is through, the user is told that, not what went.
    if (overwrite_ && loaded.isSet() && isGone(loaded, loaded.folder())) {
        {
            const OriginLock turn(fs::path(loaded.loadedFolder()).parent_path().string(), loaded.origin(),
                                  [this](const std::string& what) { setWaiting(what); });
            setWaiting({});
            loaded.lookAgain();
        }
        if (!loaded.replacement().empty()) {
            unchanged_.clear();
            throw std::runtime_error(loaded.savedAgainText(loaded.replacement()));
        }
    }
    throw std::runtime_error(PlanningStaging::asShown(e.what(), update.getStagingFolder()));
}

void PlanningWriter::publish(PlanningFolderUpdate& update, LoadedPlanning& loaded)
{
    if (!overwrite_ || !loaded.isSet()) {
        update.commit();
        return;
    }
    // Overwrites of one planning by several instances take turns in checking and publishing, in
    // the folder that holds the planning.
    const std::string replaced = loaded.folder();
    OriginLock turn(fs::path(replaced).parent_path().string(), loaded.origin(),
                    [this](const std::string& what) { setWaiting(what); });
    // Another instance may still be taking over into the folder loaded what its save replaced:
    // the planning is whole there only once it is through.
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const auto held = WorkMark::isHeld(FolderHandle::open(replaced, true));
        if (!held.ok())
            throw std::runtime_error("The planning " + replaced + " is not replaced: " + held.where() +
                                     " cannot be read (" + reasonOf(held.error()) + ").");
        if (!*held)
            break;
        setWaiting("another instance at work in " + replaced);
        if (std::chrono::steady_clock::now() - start > patience)
            throw std::runtime_error("The planning " + replaced + " is not replaced: another instance of the "
                                     "program is still at work in its folder. Save again once it is through.");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    setWaiting({});
    // Another instance may have published its save of this planning since the start: the
    // folder loaded is gone then, or a later folder of the planning stands beside it.
    loaded.lookAgain();
    std::string now = loaded.replacement();
    if (now.empty() && !loaded.folder().empty()) {
        const PlanningFinder::Later later = PlanningFinder::findLater(settings_->getPatientPaths(), loaded.origin(),
                                                                      loaded.folder(), loaded.fileName(), unanswered);
        now = later.folder;
        for (const std::string& silent : later.silent)
            silent_.push_back(silent + " did not answer within " + std::to_string(unanswered.count()) +
                              " seconds and was left out of the look for a later save of this planning. A later "
                              "planning there, if any, is kept and shows beside this one once the folder answers.");
    }
    if (!now.empty()) {
        unchanged_.clear();
        throw std::runtime_error(loaded.savedAgainText(now));
    }
    // Moved once more while this save was written: the record would name the wrong folder.
    if (loaded.folder() != replaced)
        throw std::runtime_error("The planning was moved from " + replaced + " to " + loaded.folder() +
                                 " while it was being saved. Save again.");
    update.commit(&turn);
}

void PlanningWriter::collect(PlanningFile& planning) const try
{
    const std::map<std::string, std::string> patient = model_->getPatientData();
    const auto patientValue = [&](const char* key) {
        const auto it = patient.find(key);
        return it == patient.end() ? std::string() : it->second;
    };
    planning.patientName = patientValue("name");
    planning.birthday = patientValue("birthday");
    planning.sex = patientValue("sex");
    planning.patientId = patientValue("id");
    planning.version = Vexa::getProgramVersion();
    // The stored time is read from the clock the planning's new name is drawn from.
    planning.lastModified = Utilities::currentDateTime().toString("MM/dd/yyyy hh:mm:ss").toStdString();
    planning.jaw = model_->getJaw();
    if (const auto data = model_->getData())
        if (const auto information = data->getInformation())
            planning.imageDevice = information->getImageDeviceName();
    planning.minVoxelValue = model_->getMinVoxelValue();
    planning.midVoxelValue = model_->getMidVoxelValue();
    planning.maxVoxelValue = model_->getMaxVoxelValue();

    const auto line = model_->getPanoramicLine();
    for (auto it = line->cornersBegin(); it != line->cornersEnd(); ++it)
        planning.corners.push_back(line->toWorld((*it)->getPosition()));

    const auto nerve = model_->getNerve();
    planning.dividePlane = nerve->getDividePlane();
    for (auto it = nerve->elementsBegin(); it != nerve->elementsEnd(); ++it) {
        PlanningFile::NerveElement element;
        element.type = it->second->getType();
        for (const auto& point : it->second->getPointContainer())
            element.points.push_back({point->position, point->diameter, point->offset});
        planning.nerveElements.push_back(std::move(element));
    }

    for (const auto& marker : model_->getMarkers())
        planning.markers.push_back(marker->getPosition());
    planning.markersDetected = model_->isMarkerDetected();
    planning.markerDetectionMethod = model_->getMarkerDetectionMethode();
    planning.markerDetectionDone = settings_->isMarkerDetectionDone();

    // Stored positions; the coronal positioner shows its position mirrored.
    const auto transversal = model_->getTransversalSlicePositioner();
    const auto coronal = model_->getCoronalSlicePositioner();
    const auto sagittal = model_->getSagitalSlicePositioner();
    if (transversal->getMaxSlicePosition() >= 0.0)
        planning.transversalPosition = transversal->getSlicePosition(true);
    if (coronal->getMaxSlicePosition() >= 0.0)
        planning.coronalPosition = coronal->getMaxSlicePosition() - coronal->getSlicePosition(true);
    if (sagittal->getMaxSlicePosition() >= 0.0)
        planning.sagittalPosition = sagittal->getSlicePosition(true);
}
VEXA_RETHROW
