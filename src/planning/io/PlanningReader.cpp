#include "planning/io/PlanningReader.h"

#include <mutex>

#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomInformation.h"
#include "dicom/import/DicomVolume.h"
#include "planning/io/PlanningFile.h"
#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/TakeOverRecord.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "planning/objects/Nerve.h"
#include "planning/objects/OrthoSlicePositioner.h"
#include "planning/objects/PanoramicLine.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFiles.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// Share of the progress that the DICOM series takes.
constexpr double dicomShare = 0.7;

// Why a 3D model file gave no surface, as the system tells it where it does.
std::string surfaceFault(const std::string& path)
{
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return errno ? std::strerror(errno) : "it cannot be opened";
    if (in.peek() == std::char_traits<char>::eof())
        return "the file is empty";
    return "the file holds no SFF surface";
}

// Every slice of the series is there and holds the pixels the first slice's header gives each:
// one missing or cut short is named, in the user's words, before the import reads any. One look
// at each slice; the list of plannings leaves this to the load.
void checkSeries(const std::string& file, const std::string& folder, const std::vector<std::string>& names,
                 const Vexa::DicomIOManager& manager)
{
    const std::string fault = "The planning file " + file + " names the DICOM file ";
    std::vector<std::uintmax_t> sizes;
    for (const std::string& name : names) {
        struct stat info;
        const std::string path = folder + name;
        if (::stat(path.c_str(), &info) != 0)
            throw std::runtime_error(fault + name + ", which " +
                                     (errno == ENOENT ? "is missing" : "cannot be read (" + std::string(std::strerror(errno)) + ")") + ".");
        if (!S_ISREG(info.st_mode))
            throw std::runtime_error(fault + name + ", which is no file.");
        if (info.st_size == 0)
            throw std::runtime_error(fault + name + ", which is empty.");
        sizes.push_back(std::uintmax_t(info.st_size));
    }
    if (names.empty())
        return;
    std::shared_ptr<Vexa::DicomInformation> first;
    try {
        first = manager.readInformation(folder + names.front());
    } catch (const std::exception&) {
        throw std::runtime_error(fault + names.front() + ", which is no readable DICOM file.");
    }
    for (std::size_t i = 0; first && i < sizes.size(); ++i)
        if (const std::string why = PlanningReader::cutShort(*first, sizes[i]); !why.empty())
            throw std::runtime_error(fault + names[i] + ", which " + why + ".");
}

}

PlanningReader::PlanningReader(std::string file, std::shared_ptr<Model> model, std::shared_ptr<Settings> settings,
                               Vexa::DicomIOManager& manager) try
    : file_(std::move(file)), model_(std::move(model)), settings_(std::move(settings)), manager_(manager)
{
    if (!model_ || !settings_)
        throw std::runtime_error("PlanningReader: a model and settings are required");
}
VEXA_RETHROW

bool PlanningReader::start()
{
    errorMessage_.clear();
    origin_.clear();
    read_.clear();
    determinedJaw_ = false;
    progress_ = 0.0;
    try {
        load();
        progress_ = 1.0;
        return true;
    } catch (const std::exception& e) {
        errorMessage_ = e.what();
    } catch (...) {
        errorMessage_ = "An unknown error has occurred during loading the planning data.";
    }
    importing_ = false;
    if (errorMessage_.empty())
        errorMessage_ = "The planning " + file_ + " could not be loaded.";
    // A planning another instance saved again meanwhile goes while it is read: that is the cause,
    // not the file that went.
    if (const std::string now = replacement(); !now.empty())
        errorMessage_ = "The planning " + fs::path(file_).parent_path().string() +
                        " was saved again meanwhile, by another instance of the program: it is now in " + now +
                        ". Load it from there.";
    return false;
}

std::string PlanningReader::replacement() const
{
    try {
        const fs::path file = fs::absolute(fs::path(file_)).lexically_normal();
        const std::string folder = file.parent_path().string(), name = file.parent_path().filename().string();
        // Only a planning that no longer holds all it did was replaced: its file, or a file it names, went.
        const auto kind = FolderHandle::kindAt(file.string());
        if (!kind.ok())
            return {};
        bool taken = *kind == FolderHandle::Kind::none;
        for (std::size_t i = 0; !taken && i < read_.size(); ++i) {
            const auto part = FolderHandle::kindAt(folder + "/" + read_[i]);
            taken = part.ok() && *part == FolderHandle::Kind::none;
        }
        if (!taken)
            return {};
        // Being taken over: the new planning beside it holds the record of that.
        if (const FolderHandle parent = FolderHandle::open(file.parent_path().parent_path().string(), true)) {
            const auto names = parent.entries();
            for (const std::string& beside : names.ok() ? *names : std::vector<std::string>())
                if (!beside.starts_with('.') && beside != name)
                    if (const auto record = parent.kindBelow(beside + "/" + TakeOverRecord::prefix + name);
                        record.ok() && *record == FolderHandle::Kind::file)
                        return parent.pathOf(beside);
        }
        // Else the last saved planning of its origin (a planning saved before the origin was kept
        // starts it with its folder's name), where a patient folder that does not answer is left out.
        return PlanningFinder::findLater(settings_->getPatientPaths(), origin_.empty() ? name : origin_, folder,
                                         file.filename().string(), std::chrono::seconds(5))
            .folder;
    } catch (const std::exception&) {
        // A look that fails tells nothing: the load's own cause is said.
        return {};
    }
}

double PlanningReader::getProgressState() const
{
    if (importing_)
        return dicomShare * manager_.getProgressState();
    return progress_;
}

std::string PlanningReader::getShortDescription() const
{
    return "Loading planning data";
}

std::shared_ptr<Implant> PlanningReader::loadImplant(const std::string& file, unsigned group,
                                                     const Vexa::Matrix44<double>& transform) try
{
    std::shared_ptr<Implant> implant;
    // What the system says of a description it cannot open.
    errno = 0;
    if (!std::ifstream(file, std::ios::binary))
        throw std::runtime_error("Could not load the implant description " + file + ": " +
                                 (errno ? std::strerror(errno) : "it cannot be opened") + ".");
    try {
        implant = Implant::createFromFile(transform, group, file);
    } catch (const std::exception& e) {
        throw std::runtime_error("Could not load the implant description " + file + ":\n" + e.what());
    }
    if (!implant)
        throw std::runtime_error("Could not load the implant description " + file +
                                 ":\nthe file has no group [Implantdata].");
    return implant;
}
VEXA_RETHROW

void PlanningReader::load() try
{
    const PlanningFile planning = PlanningFile::read(file_);
    origin_ = planning.origin;
    read_ = planning.dicomFiles;
    for (const PlanningFile::Implant& implant : planning.implants)
        read_.push_back(implant.file);
    if (!planning.surfaceFile.empty())
        read_.push_back(planning.surfaceFile);
    // Names in the file are relative to its folder (with its trailing "/").
    const std::string folder = file_.substr(0, file_.rfind('/') + 1);

    // The series.
    checkSeries(file_, folder, planning.dicomFiles, manager_);
    std::vector<std::string> dicomFiles;
    for (const std::string& name : planning.dicomFiles)
        dicomFiles.push_back(folder + name);
    manager_.resetProgress();
    manager_.setFiles(dicomFiles);
    importing_ = true;
    manager_.start();
    importing_ = false;
    progress_ = dicomShare;
    const auto data = std::dynamic_pointer_cast<Vexa::DicomVolume>(manager_.getData());
    if (!data || !data->getVolumeData())
        throw std::runtime_error("The DICOM files of the planning " + file_ + " gave no volume.");

    // The implants.
    std::vector<std::shared_ptr<Implant>> implants;
    for (const PlanningFile::Implant& entry : planning.implants)
        implants.push_back(loadImplant(folder + entry.file, entry.group, entry.transform));
    progress_ = 0.8;

    std::shared_ptr<Vexa::IndexedTriangleMesh> surface;
    if (!planning.surfaceFile.empty()) {
        surface = Vexa::readSFFBinFile(folder + planning.surfaceFile);
        if (!surface)
            throw std::runtime_error("Could not read the 3D model " + folder + planning.surfaceFile + ": " +
                                     surfaceFault(folder + planning.surfaceFile) + ".");
        surface->setUseFloatArrays(true);
    }
    progress_ = 0.9;

    // The nerve elements, on the Model's panoramic line (which they only refer to).
    Nerve::ElementMap elements;
    for (std::size_t i = 0; i < planning.nerveElements.size(); ++i) {
        const PlanningFile::NerveElement& stored = planning.nerveElements[i];
        const auto element = Nerve::Element::create(model_->getPanoramicLine(),
                                                    static_cast<Nerve::Element::Type>(stored.type));
        for (std::size_t j = 0; j < stored.points.size(); ++j) {
            const auto point = Nerve::Element::Point::create(stored.points[j].position, stored.points[j].diameter);
            point->offset = stored.points[j].offset;
            if (!element->simpleAddPoint(point))
                throw std::runtime_error("The planning file " + file_ + " holds an invalid value of \"element" +
                                         std::to_string(i) + "point" + std::to_string(j) +
                                         "\" in [Nerve] (a point of the same offset or an unusable point).");
        }
        // The side key is set again when the container is taken.
        elements.emplace(false, element);
    }
    std::vector<std::shared_ptr<Marker>> markers;
    for (const Vexa::Vector3D& position : planning.markers)
        markers.push_back(Marker::create(position));

    std::map<std::string, std::string> patient;
    const std::pair<const char*, const std::string*> patientValues[] = {{"name", &planning.patientName},
                                                                        {"birthday", &planning.birthday},
                                                                        {"id", &planning.patientId},
                                                                        {"sex", &planning.sex}};

    // Everything is read: the Model takes it in one step, which views that read the planning
    // meanwhile wait for. Should anything fail here after all, the Model is emptied rather
    // than left half filled.
    const auto lock = model_->changeLock();
    try {
        model_->clear();
        // A stored window is taken as it is; only a planning without one needs the voxels counted.
        model_->setData(data, !(planning.minVoxelValue && planning.midVoxelValue && planning.maxVoxelValue));
        // The file's patient data win over the header's.
        patient = model_->getPatientData();
        for (const auto& [key, value] : patientValues)
            if (!value->empty())
                patient[key] = *value;
        model_->setPatientData(patient);
        if (planning.minVoxelValue)
            model_->setMinVoxelValue(*planning.minVoxelValue);
        if (planning.midVoxelValue)
            model_->setMidVoxelValue(*planning.midVoxelValue);
        if (planning.maxVoxelValue)
            model_->setMaxVoxelValue(*planning.maxVoxelValue);

        model_->setMarker(markers);
        model_->setMarkerDetected(planning.markersDetected);
        model_->setMarkerDetectionMethode(static_cast<Model::MarkerDetectionMethode>(planning.markerDetectionMethod));
        if (planning.jaw != Constants::JawUndetermined)
            model_->setJaw(planning.jaw);
        else
            try {
                determinedJaw_ = model_->determineJaw();
            } catch (const std::exception&) {
                // Markers on one line tell no jaw; the save question asks for it.
                determinedJaw_ = false;
            }

        model_->getPanoramicLine()->setPoints(planning.corners);
        const std::shared_ptr<Nerve> nerve = model_->getNerve();
        if (planning.dividePlane)
            nerve->setDividePlane(*planning.dividePlane);
        else
            model_->calcNerveEnvironments();
        nerve->setElementContainer(elements);
        nerve->validate(Nerve::Element::PointPtr(), true);

        model_->getImplantManager()->setImplants(implants);
        model_->set3DModel(surface);

        if (planning.transversalPosition)
            model_->getTransversalSlicePositioner()->setSlicePosition(*planning.transversalPosition);
        if (planning.coronalPosition)
            model_->getCoronalSlicePositioner()->setSlicePosition(*planning.coronalPosition);
        if (planning.sagittalPosition)
            model_->getSagitalSlicePositioner()->setSlicePosition(*planning.sagittalPosition);
    } catch (...) {
        model_->clear();
        throw;
    }

    settings_->setMarkerDetectionDone(planning.markerDetectionDone);
    knowLoaded(*settings_, file_, planning.origin);
    settings_->setPlanningOwnFiles(planning.ownFiles(folder));
    settings_->setPlanningState(2);
}
VEXA_RETHROW

void PlanningReader::knowLoaded(Settings& settings, const std::string& file, const std::string& origin)
{
    const std::filesystem::path path = std::filesystem::absolute(file);
    settings.setPlanningFile(file);
    // An identity that cannot be read is none: the planning is then known by where it is alone.
    const auto identity = FolderHandle::open(path.parent_path().string(), true).contentKey(path.filename().string());
    settings.setPlanningIdentity(identity.ok() ? *identity : std::string());
    // Files saved before the origin was kept: the folder they are in is where it starts.
    settings.setPlanningOrigin(origin.empty() ? path.parent_path().filename().string() : origin);
}

std::string PlanningReader::cutShort(const Vexa::DicomInformation& header, std::uintmax_t size)
{
    const auto number = [&](unsigned tagWord) {
        const auto [text, found] = header.getValue(tagWord);
        unsigned long value = 0;
        const char* end = text.data() + text.size();
        const auto [at, error] = std::from_chars(text.data(), end, value);
        return found && error == std::errc() && at == end ? value : 0ul;
    };
    // Tag words are element << 16 | group: (0028,0010) rows, (0028,0011) columns, (0028,0100)
    // bits allocated.
    const unsigned long rows = number(0x00100028), columns = number(0x00110028);
    const std::uintmax_t bytes = std::uintmax_t(rows) * columns * (number(0x01000028) / 8);
    if (bytes == 0 || size >= bytes)
        return {};
    return "is cut short: it holds " + std::to_string(size) + " bytes, its image of " + std::to_string(columns) + " x " +
           std::to_string(rows) + " pixels needs " + std::to_string(bytes);
}
