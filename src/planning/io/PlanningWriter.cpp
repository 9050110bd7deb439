#include "planning/io/PlanningWriter.h"

#include "dicom/import/DicomData.h"
#include "dicom/import/DicomInformation.h"
#include "planning/io/PlanningFile.h"
#include "planning/io/PlanningFolderUpdate.h"
#include "planning/io/WorkMark.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Constants.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/model/Utilities.h"
#include "planning/objects/Implant.h"
#include "planning/objects/Nerve.h"
#include "planning/objects/OrthoSlicePositioner.h"
#include "planning/objects/PanoramicLine.h"
#include "platform/ApplicationFolder.h"
#include "platform/DebugOutput.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IniFileManager.h"
#include "vexa/io/AtomicFile.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFiles.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Share of the progress that copying the DICOM series takes.
constexpr double dicomShare = 0.8;

bool isInside(const fs::path& file, const std::string& folder)
{
    if (folder.empty())
        return false;
    const fs::path relative = fs::absolute(file).lexically_normal().lexically_relative(fs::path(folder));
    return !relative.empty() && *relative.begin() != "..";
}

// The text of a failed write of `shown` (the file as the user will find it) with errno value
// `error`.
[[noreturn]] void writeFailed(const std::string& shown, int error)
{
    throw std::runtime_error(Vexa::AtomicFile::failureText(shown, error));
}

// Every mention of the hidden staging folder in `text` as the planning folder it becomes.
std::string asFinal(std::string text, const std::string& staging, const std::string& folder)
{
    if (staging.empty())
        return text;
    for (auto at = text.find(staging); at != std::string::npos; at = text.find(staging, at + folder.size()))
        text.replace(at, staging.size(), folder);
    return text;
}

// Builds in the staging folder; errors name the file in the planning folder.
class Staging
{
public:
    Staging(fs::path staging, fs::path folder) : staging_(std::move(staging)), folder_(std::move(folder)) {}

    fs::path at(const fs::path& relative) const { return staging_ / relative; }
    std::string shown(const fs::path& relative) const { return (folder_ / relative).string(); }

    void makeFolder(const fs::path& relative) const
    {
        std::error_code error;
        fs::create_directories(at(relative), error);
        if (error || !fs::is_directory(at(relative)))
            writeFailed(shown(relative), error ? error.value() : ENOTDIR);
    }

    // Copies a file; files of plannings that are being replaced are linked instead (they are
    // never changed, and the series is the largest part of a planning). `what` names the
    // file in the error text.
    void placeFile(const fs::path& from, const fs::path& relative, bool mayLink, const std::string& what) const
    {
        const fs::path to = at(relative);
        std::error_code error;
        if (mayLink) {
            fs::create_hard_link(from, to, error);
            if (!error)
                return;
            error.clear();
        }
        if (!fs::is_regular_file(from, error))
            throw std::runtime_error("Could not copy the " + what + " " + from.string() +
                                     ": the file does not exist.");
        makeFolder(relative.parent_path());
        // Checked to the last byte on the disk: a copy that a full disk cut short is an error.
        try {
            Vexa::AtomicFile::copyFile(from.string(), to.string());
        } catch (const Vexa::WriteError& e) {
            writeFailed(shown(relative), e.error());
        } catch (const std::exception& e) {
            throw std::runtime_error("Could not copy the " + what + " " + from.string() + ": " + e.what());
        }
    }

    // Reads the planning file back and checks that it is the planning written and that every
    // file it names is there: only such a planning may replace another.
    void verify(const fs::path& relative, const PlanningFile& written,
                const std::shared_ptr<Vexa::IndexedTriangleMesh>& surface) const
    {
        const std::string file = at(relative).string();
        const auto failed = [&](std::string reason) {
            const std::string name = shown(relative);
            for (std::size_t at = reason.find(file); at != std::string::npos; at = reason.find(file, at + name.size()))
                reason.replace(at, file.size(), name);
            throw std::runtime_error("The planning file " + shown(relative) + " did not read back as written: " +
                                     reason);
        };
        PlanningFile back;
        try {
            back = PlanningFile::read(file);
        } catch (const std::exception& e) {
            failed(e.what());
        }
        bool same = back.dicomFiles == written.dicomFiles && back.surfaceFile == written.surfaceFile &&
                    back.origin == written.origin && back.jaw == written.jaw &&
                    back.implants.size() == written.implants.size() && back.corners.size() == written.corners.size() &&
                    back.markers.size() == written.markers.size() &&
                    back.nerveElements.size() == written.nerveElements.size();
        for (std::size_t i = 0; same && i < back.implants.size(); ++i)
            same = back.implants[i].file == written.implants[i].file && back.implants[i].group == written.implants[i].group;
        if (!same)
            failed("its contents differ.");
        std::error_code error;
        for (const std::string& name : back.dicomFiles)
            if (!fs::is_regular_file(at(name), error))
                failed("the DICOM file " + name + " is missing.");
        for (const auto& implant : back.implants)
            if (!fs::is_regular_file(at(implant.file), error))
                failed("the implant description " + implant.file + " is missing.");
        if (!back.surfaceFile.empty()) {
            const auto read = Vexa::readSFFBinFile(at(back.surfaceFile).string());
            if (!read || !surface || read->getTriangleCount() != surface->getTriangleCount())
                failed("the 3D model " + back.surfaceFile + " does not read back.");
        }
    }

    // Writes through `write` (which throws on failure), naming the file when it fails.
    template<class Write>
    void writeFile(const fs::path& relative, Write write) const
    {
        try {
            write(at(relative).string());
        } catch (const Vexa::WriteError& e) {
            writeFailed(shown(relative), e.error());
        } catch (const std::exception& e) {
            throw std::runtime_error("Could not write " + shown(relative) + ": " +
                                     asFinal(e.what(), staging_.string(), folder_.string()));
        }
    }

    // The description with its surface and picture into the folder; the description keeps
    // its name so that its relative surface name still holds.
    void copyImplantDescription(const std::string& file, const fs::path& relative) const
    {
        const fs::path description(file);
        placeFile(description, relative / description.filename(), false, "implant description");
        const Vexa::IniFileManager ini(file, Vexa::IniFileManager::ReadOnly);
        const fs::path source = description.parent_path();
        const std::string surface = ini.getValue("Implantdata", "surfacefile", std::string());
        if (!PlanningFile::staysInFolder(surface))
            throw std::runtime_error("Could not copy the implant description " + file +
                                     ": invalid value of \"surfacefile\".");
        placeFile(source / surface, relative / surface, false, "implant surface");
        // Pictures are optional: the picture named after the description and the one it names.
        std::set<std::string> pictures{description.stem().string() + ".bmp"};
        const std::string image = ini.getValue("Implantdata", "imagefile", std::string());
        if (PlanningFile::staysInFolder(image))
            pictures.insert(image);
        for (const std::string& picture : pictures) {
            std::error_code error;
            if (fs::is_regular_file(source / picture, error))
                placeFile(source / picture, relative / picture, false, "implant picture");
        }
    }

private:
    fs::path staging_;
    fs::path folder_;
};

}

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

bool PlanningWriter::start()
{
    errorMessage_.clear();
    notes_.clear();
    notCarried_.clear();
    progress_ = 0.0;
    try {
        save();
        progress_ = 1.0;
        return true;
    } catch (const std::exception& e) {
        errorMessage_ = e.what();
    } catch (...) {
        errorMessage_ = "An unknown error has occurred during saving the planning data.";
    }
    if (errorMessage_.empty())
        errorMessage_ = "The planning " + file_ + " could not be saved.";
    // A folder reserved for the planning goes again (only while it is empty).
    ::rmdir(fs::absolute(fs::path(file_)).lexically_normal().parent_path().c_str());
    return false;
}

std::string PlanningWriter::reserveFile(const std::string& parentFolder) try
{
    const fs::path parent = fs::absolute(fs::path(parentFolder)).lexically_normal();
    const auto cannotCreate = [](const fs::path& folder, const std::error_code& error) {
        if (Vexa::AtomicFile::isDiskFull(error.value()))
            return std::runtime_error(Vexa::AtomicFile::failureText(folder.string(), error.value()));
        return std::runtime_error("The folder " + folder.string() + " cannot be created: " + error.message() + ".");
    };
    std::error_code error;
    fs::create_directories(parent, error);
    if (error)
        throw cannotCreate(parent, error);
    // As every new name: the current time, drawn again (a millisecond later) while it is taken.
    for (int i = 0; i < 49; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::string name = Utilities::getTimeStampName(Utilities::currentDateTime());
        if (fs::create_directory(parent / name, error))
            return (parent / name / (name + ".srl")).string();
        if (error && error != std::errc::file_exists)
            throw cannotCreate(parent / name, error);
    }
    throw std::runtime_error("No new folder name is free in " + parent.string() + ".");
}
VEXA_RETHROW

std::string PlanningWriter::getShortDescription() const
{
    return "Saving planning data";
}

void PlanningWriter::save() try
{
    const fs::path target = fs::absolute(fs::path(file_)).lexically_normal();
    if (!target.has_filename() || !target.has_parent_path())
        throw std::runtime_error("Invalid planning file name " + file_);
    const std::string folder = target.parent_path().string();
    // The planning this session loaded or last saved.
    const std::string loaded = settings_->getPlanningFile();
    const std::string loadedFolder =
        loaded.empty() ? std::string() : fs::absolute(fs::path(loaded)).lexically_normal().parent_path().string();
    const std::string previous = overwrite_ ? loadedFolder : std::string();
    std::string origin = settings_->getPlanningOrigin();
    if (origin.empty() && !loadedFolder.empty())
        origin = fs::path(loadedFolder).filename().string();

    // Another instance of the program may have saved the loaded planning again meanwhile, under
    // a new name, and removed the folder this session knows. Overwriting would throw that
    // instance's work away; saved as new, this planning takes its files from there.
    replacement_.clear();
    const std::vector<std::string> patientPaths = settings_->getPatientPaths();
    const auto savedAgain = [&](const std::string& now) {
        replacement_ = now;
        return std::runtime_error("The planning " + loadedFolder +
                                  " was saved again meanwhile, by another instance of the program: it is now in " +
                                  now + ". Overwriting it would throw that work away; \"Save as new\" "
                                  "keeps this planning beside it.");
    };
    std::error_code exists;
    if (!loaded.empty() && !fs::exists(fs::path(loaded), exists)) {
        const std::string now = PlanningFolderUpdate::findByOrigin(patientPaths, origin);
        if (overwrite_ && !now.empty())
            throw savedAgain(now);
        replacement_ = now;
    }
    const auto manager = model_->getImplantManager();

    // What is saved, taken at once (views only read meanwhile); then the files are copied.
    PlanningFile planning;
    std::vector<std::string> sources;
    std::vector<std::pair<std::string, std::string>> implantFiles; // as named, where it is now
    std::vector<std::string> kept; // descriptions of implants that only undo may bring back
    std::shared_ptr<Vexa::IndexedTriangleMesh> surface;
    {
        const auto lock = model_->readLock();
        sources = model_->getDicomFiles();
        if (sources.empty() || !model_->getVolumeData())
            throw std::runtime_error("There is no patient data to save.");
        for (const auto& implant : manager->getImplants()) {
            const std::string file = implant->getFilename();
            implantFiles.emplace_back(file, manager->locateDescription(file));
            planning.implants.push_back({std::string(), implant->getGroup(), implant->getTransform()});
        }
        kept = manager->getKnownDescriptions();
        surface = model_->get3DModel();
        collect(planning);
    }
    // An overwrite keeps the planning's origin; a new planning starts its own.
    planning.origin = overwrite_ && !origin.empty() ? origin : target.parent_path().filename().string();

    // Overwrites of one planning by several instances take turns in checking and publishing, in
    // the folder that holds the planning.
    const std::string lockFolder = fs::path(loadedFolder).parent_path().string();
    const bool guarded = overwrite_ && !loaded.empty();
    // A new planning whose loaded one went while its files were being copied: another instance
    // published its overwrite of it. Once that instance is through, the files are where it put
    // them. (An overwrite is refused then, below.)
    const auto fromLoaded = [&](const auto& copy) {
        try {
            copy();
        } catch (const std::exception&) {
            if (overwrite_ || !replacement_.empty() || loaded.empty() || fs::exists(fs::path(loaded), exists))
                throw;
            {
                const PlanningFolderUpdate::OriginLock turn(lockFolder, origin);
                replacement_ = PlanningFolderUpdate::findByOrigin(patientPaths, origin);
            }
            if (replacement_.empty())
                throw;
            // The folder loaded stands again (an overwrite that failed put it back): it was not
            // replaced, and the files are taken from it once more.
            if (replacement_ == loadedFolder)
                replacement_.clear();
            copy();
        }
    };
    std::unique_ptr<PlanningFolderUpdate> staged;
    std::vector<std::string> copies;          // where the series lies once saved
    std::map<std::string, std::string> moved; // where each implant description goes
    std::vector<std::string> carriedIn;       // sources that go once the planning stands
    try {
        staged = std::make_unique<PlanningFolderUpdate>(folder, previous, overwrite_);
        PlanningFolderUpdate& update = *staged;
        // The planning replaced is the file loaded, whatever its folder is called.
        if (overwrite_ && !loaded.empty())
            update.setReplacedPlanning(fs::path(loaded).filename().string(), settings_->getPlanningOwnFiles());
        const Staging staging(update.getStagingFolder(), folder);
        for (const char* sub : {"dicom", "surface", "implant", "images", "system"})
            staging.makeFolder(sub);

        // Files of the loaded planning. Should its folder have been renamed to the target before
        // this save, they are found under the new name; should another instance have saved it
        // again, in the planning that took its place.
        const auto locate = [&](const std::string& file) {
            const fs::path path = fs::absolute(fs::path(file)).lexically_normal();
            std::error_code error;
            if (fs::exists(path, error))
                return path;
            if (overwrite_ && isInside(path, previous)) {
                const fs::path renamed = fs::path(folder) / path.lexically_relative(fs::path(previous));
                if (fs::exists(renamed, error))
                    return renamed;
            }
            if (!replacement_.empty() && isInside(path, loadedFolder)) {
                const fs::path there = fs::path(replacement_) / path.lexically_relative(fs::path(loadedFolder));
                if (fs::exists(there, error))
                    return there;
            }
            return path;
        };
        // An implant description of a loaded planning that is gone and that the planning in its
        // place no longer holds where it was (the other instance changed the implants): one of
        // that name there, else in the implant database the descriptions come from.
        const auto locateDescription = [&](const std::string& file) {
            const fs::path path = locate(file);
            std::error_code error;
            if (fs::exists(path, error) || !isInside(path, loadedFolder) || fs::exists(fs::path(loaded), error))
                return path;
            std::vector<fs::path> places;
            if (!replacement_.empty())
                places.push_back(fs::path(replacement_) / "implant");
            places.push_back(Platform::applicationPath(Constants::implantDatabaseFolder));
            for (const fs::path& place : places) {
                std::vector<fs::path> found;
                for (fs::recursive_directory_iterator it(place, error), end; !error && it != end; it.increment(error))
                    if (it->path().filename() == path.filename() && it->is_regular_file(error))
                        found.push_back(it->path());
                error.clear();
                if (!found.empty())
                    return *std::min_element(found.begin(), found.end());
            }
            return path;
        };

        // The series.
        std::set<std::string> names;
        for (std::size_t i = 0; i < sources.size(); ++i) {
            const fs::path source = locate(sources[i]);
            std::string name = source.filename().string();
            for (std::size_t n = 0; name.empty() || names.count(name); ++n)
                name = std::to_string(i) + "_" + std::to_string(n) + "_" + source.filename().string();
            names.insert(name);
            fromLoaded([&] {
                const fs::path from = locate(sources[i]);
                staging.placeFile(from, fs::path("dicom") / name, isInside(from, folder) || isInside(from, previous),
                                  "DICOM file");
            });
            planning.dicomFiles.push_back("dicom/" + name);
            copies.push_back((fs::path(folder) / "dicom" / name).string());
            progress_ = dicomShare * double(i + 1) / double(sources.size());
        }

        // The implants: one folder per description. `moved` tells the Model where each went.
        std::map<std::string, std::size_t> descriptions;
        for (std::size_t i = 0; i < implantFiles.size(); ++i) {
            const auto& [named, current] = implantFiles[i];
            const auto [it, added] = descriptions.emplace(current, descriptions.size());
            const std::string relative = "implant/" + std::to_string(it->second) + "/" +
                                         fs::path(current).filename().string();
            if (added)
                fromLoaded([&] {
                    staging.copyImplantDescription(locateDescription(current).string(), fs::path(relative).parent_path());
                });
            planning.implants[i].file = relative;
            moved[named] = moved[current] = (fs::path(folder) / relative).string();
        }
        // Descriptions of implants that are not planned now but that undo may bring back, where
        // this save replaces the folder they lie in.
        for (const std::string& file : kept) {
            const fs::path source = locate(file);
            std::error_code error;
            if (descriptions.count(file) || !(isInside(source, folder) || isInside(source, previous)) ||
                !fs::is_regular_file(source, error))
                continue;
            const fs::path relative = fs::path("implant") / std::to_string(descriptions.size()) / source.filename();
            descriptions.emplace(file, descriptions.size());
            staging.copyImplantDescription(source.string(), relative.parent_path());
            moved[file] = (fs::path(folder) / relative).string();
        }
        progress_ = 0.9;

        if (surface) {
            staging.writeFile("surface/model.sff",
                              [&](const std::string& file) { Vexa::writeSFFBinFile(*surface, file); });
            planning.surfaceFile = "surface/model.sff";
        }
        staging.writeFile(target.filename(), [&](const std::string& file) { planning.write(file); });
        staging.verify(target.filename(), planning, surface);

        // What goes in with the planning, before anyone can list it; what cannot stays where it is.
        for (const Carried& file : carried_) {
            try {
                if (!PlanningFile::staysInFolder(file.into))
                    throw std::runtime_error("\"" + file.into + "\" is no name in a planning folder");
                staging.placeFile(file.source, file.into, file.move, "file");
                if (file.move)
                    carriedIn.push_back(file.source);
            } catch (const std::exception& e) {
                notCarried_.emplace_back(file.source, asFinal(e.what(), update.getStagingFolder(), folder));
            }
        }
    } catch (const std::exception& e) {
        // Files of the loaded planning that went while they were copied: another instance has
        // published its save of it. Once it is through, the user is told that, not what went.
        if (guarded && !fs::exists(fs::path(loaded), exists)) {
            const PlanningFolderUpdate::OriginLock turn(lockFolder, origin);
            if (const std::string now = PlanningFolderUpdate::findByOrigin(patientPaths, origin); !now.empty())
                throw savedAgain(now);
        }
        throw std::runtime_error(asFinal(e.what(), staged ? staged->getStagingFolder() : std::string(), folder));
    }
    progress_ = 0.95;

    {
        std::optional<PlanningFolderUpdate::OriginLock> turn;
        if (guarded) {
            turn.emplace(lockFolder, origin);
            // Another instance may still be taking over into the folder loaded what its save
            // replaced: the planning is whole there only once it is through.
            QElapsedTimer waited;
            waited.start();
            while (WorkMark::isHeld(loadedFolder) && waited.elapsed() < 60000)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (WorkMark::isHeld(loadedFolder))
                throw std::runtime_error("The planning " + loadedFolder + " is not replaced: another instance of the "
                                         "program is still at work in its folder. Save again once it is through.");
            // Another instance may have published its save of this planning since the start:
            // the folder loaded is gone then, or a later folder of the planning stands beside it.
            const std::string now = PlanningFolderUpdate::findByOrigin(patientPaths, origin);
            if (!now.empty() && (!fs::exists(fs::path(loaded), exists) ||
                                 (now != loadedFolder && PlanningFolderUpdate::saveTimeKey(now) >
                                                             PlanningFolderUpdate::saveTimeKey(loadedFolder))))
                throw savedAgain(now);
        }
        staged->commit();
    }
    notes_.insert(notes_.end(), staged->getNotes().begin(), staged->getNotes().end());
    for (const std::string& source : carriedIn)
        if (::unlink(source.c_str()) != 0 && errno != ENOENT)
            Platform::outputDebugString(source + " is in the planning and stays where it was too: " +
                                        std::strerror(errno) + "\n");
    // From now on the whole Model refers to the new planning.
    {
        const auto lock = model_->changeLock();
        model_->setDicomFiles(copies);
        manager->relocateDescriptions(moved);
    }
    settings_->setPlanningFile(target.string());
    settings_->setPlanningOrigin(planning.origin);
    settings_->setPlanningOwnFiles(planning.ownFiles(folder));
    settings_->setPlanningState(2);
}
VEXA_RETHROW

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
    planning.lastModified = QDateTime::currentDateTime().toString("MM/dd/yyyy hh:mm:ss").toStdString();
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
