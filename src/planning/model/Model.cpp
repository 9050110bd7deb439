#include "planning/model/Model.h"

#include "dicom/import/DicomVolume.h"
#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/model/INavigationController.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/Settings.h"
#include "planning/model/VolumeSlice.h"
#include "planning/objects/Implant.h"
#include "planning/objects/Nerve.h"
#include "planning/objects/OrthoSlicePositioner.h"
#include "planning/objects/PanoramicLine.h"
#include "vexa/core/CommandProcessor.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFactory.h"
#include "vexa/mesh/MeshFiles.h"
#include "vexa/volume/VolumeData.h"
#include "vexa/volume/VoxelHistogram.h"

#include "planning/log/DrillDifference.h"
#include "planning/log/TreatmentLog.h"
#include "planning/model/IPlanningUi.h"
#include "platform/ApplicationFolder.h"
#include "platform/DebugOutput.h"
#include "platform/PostedCall.h"
#include "platform/Sound.h"
#include "vexa/algorithm/PointMatching.h"
#include "vexa/algorithm/ReferenceMarkerGeometry.h"
#include "vexa/core/Clock.h"
#include "vexa/math/Geometry.h"

#include <QCoreApplication>
#include <limits>

#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>

using Vexa::Matrix44;
using Vexa::Vector3D;

namespace {

std::mutex& factoryMutex()
{
    static std::mutex mutex;
    return mutex;
}

Model::NavigationControllerFactory& navigationFactory()
{
    static Model::NavigationControllerFactory factory;
    return factory;
}

// The line's own coordinates: x along the arch, z forward, y (the line's height) up.
Matrix44<double> panoramicLineTransform()
{
    return Matrix44<double>(Vector3D(1, 0, 0), Vector3D(0, 0, -1), Vector3D(0, 1, 0), Vector3D(0, 0, 0));
}

// The nerve's divide plane before any markers or volume place it.
Vexa::Plane<double> initialDividePlane()
{
    return Vexa::Plane<double>(Vector3D(0, 0, 0), Vector3D(1, 0, 0));
}

Vector3D unitOrZero(const Vector3D& v)
{
    const double length = v.length();
    return length > 0.0 ? v / length : Vector3D();
}

}

void Model::setNavigationControllerFactory(NavigationControllerFactory factory)
{
    std::lock_guard lock(factoryMutex());
    navigationFactory() = std::move(factory);
}

bool Model::hasNavigationControllerFactory()
{
    std::lock_guard lock(factoryMutex());
    return static_cast<bool>(navigationFactory());
}

Model::Model(std::shared_ptr<Settings> settings) try
    : settings_(std::move(settings))
    , implantManager_(ImplantManager::create())
    , panoramicLine_(PanoramicLine::create(panoramicLineTransform(), 12.0, 2.0, 4.0))
    , transversal_(std::make_shared<OrthoSlicePositioner>())
    , coronal_(std::make_shared<OrthoSlicePositioner>())
    , sagittal_(std::make_shared<OrthoSlicePositioner>())
    , nerve_(Nerve::create(panoramicLine_, initialDividePlane()))
    , treatmentLog_(std::make_unique<TreatmentLog>(Platform::applicationFolder(), &Model::reportNavigationFailures,
                                                   &Model::reportNavigationNotices))
{
    loadDigitMeshes();
    loadToolMeshes();
    NavigationControllerFactory factory;
    {
        std::lock_guard lock(factoryMutex());
        factory = navigationFactory();
    }
    if (factory)
        navigation_ = factory(*this);
    std::lock_guard lock(stateMutex_);
    setNextState(InitialState);
    process(StateMachine::Update);
}
VEXA_RETHROW

Model::~Model()
{
    // Leaving navigation stores the treatment log; a Model that ends while navigating must not
    // lose it.
    try {
        std::lock_guard lock(stateMutex_);
        if (getState() == Navigation)
            storeDataLog();
    } catch (...) {
        Vexa::ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
    }
    // Nor one still being stored: waited for until it is stored, or kept beside the program where
    // its folder does not answer.
    waitForTreatmentLog([](const std::string& what) {
        Platform::outputDebugString("Model: the treatment log is being stored; it waits for " + what + "\n");
    });
}

void Model::loadDigitMeshes() try
{
    const QString folder = QString::fromStdString(Platform::applicationPath(Constants::meshesFolder));
    for (unsigned digit = 0; digit < digitMeshes_.size(); ++digit) {
        const QString file = folder + "Digit" + QString::number(digit) + ".sff";
        std::shared_ptr<Vexa::IndexedTriangleMesh> mesh;
        if (QFileInfo::exists(file))
            mesh = Vexa::readSFFBinFile(file.toStdString());
        // The navigation display draws digits without asking; a plain block keeps it drawable.
        if (!mesh)
            mesh = Vexa::createBoxMesh(Matrix44<double>(), Vector3D(1.0, 1.6, 0.2));
        digitMeshes_[digit] = mesh;
    }
}
VEXA_RETHROW

void Model::loadToolMeshes() try
{
    const std::string folder = Platform::applicationPath(Constants::meshesFolder);
    const auto load = [&](const char* name) -> std::shared_ptr<Vexa::IndexedTriangleMesh> {
        const std::string file = folder + name;
        auto mesh = QFileInfo::exists(QString::fromStdString(file)) ? Vexa::readSFFBinFile(file) : nullptr;
        return mesh && mesh->getTriangleCount() > 0 ? mesh : nullptr;
    };
    handpieceMesh_ = load("Handpiece.sff");
    drillMesh_ = load("Drill.sff");
}
VEXA_RETHROW

// ---- user state -------------------------------------------------------------------------

void Model::setStateAndUpdate(unsigned state) try
{
    std::lock_guard lock(stateMutex_);
    setNextState(static_cast<int>(state));
    process(StateMachine::Update);
}
VEXA_RETHROW

void Model::setNextState(int state)
{
    requestedState_ = state;
    StateMachine::setNextState(state);
}

void Model::setNormalInput() try
{
    setStateAndUpdate(NormalInput);
}
VEXA_RETHROW

void Model::notify() try
{
    {
        std::lock_guard lock(stateMutex_);
        process(StateMachine::Update);
    }
    // Observers run without the lock: they may call back from other threads' view.
    Vexa::Subject::notify();
}
VEXA_RETHROW

void Model::resetAll() try
{
    emit reset();
}
VEXA_RETHROW

bool Model::updateStates(StateMachine::Event event, int state) try
{
    // A change to the state the Model is in (requested to withdraw an earlier request) neither
    // leaves nor enters it: in navigation that would end one treatment log and start another.
    if (event == StateMachine::Leave) {
        keepingState_ = requestedState_ == state;
        requestedState_ = -1;
    }
    if (event != StateMachine::Update && keepingState_) {
        if (event == StateMachine::Enter)
            keepingState_ = false;
        return true;
    }
    switch (state) {
    case Navigation:
        // Logging and warnings follow the tracker ticks only: a notify from the GUI thread
        // must not put a second sample of the same pose into the log.
        if (event == StateMachine::Enter) {
            resetNavigation();
            startDataLogging();
        } else if (event == StateMachine::Update && trackerTick_) {
            checkNerveDistance();
            checkDrillDepth();
            logCurrentState();
        } else if (event == StateMachine::Leave) {
            storeDataLog();
        }
        if (navigation_)
            navigation_->navigationStateEvent(event);
        return true;
    case MarkerDetected:
        if (event == StateMachine::Leave)
            for (const auto& marker : markers_)
                marker->setSelected(false);
        return true;
    case InitialState:
    case NormalInput:
    case PanoramicLineInput:
    case ImplantPlacing:
    case NerveTracing:
    case LengthMeasuring:
        return true;
    default:
        return false;
    }
}
VEXA_RETHROW

// ---- data -------------------------------------------------------------------------------

std::shared_ptr<Vexa::DicomData> Model::getData() const
{
    std::lock_guard lock(dataMutex_);
    return data_;
}

std::shared_ptr<Vexa::VolumeData<unsigned short>> Model::getVolumeData() const
{
    std::lock_guard lock(dataMutex_);
    return volume_;
}

void Model::setData(std::shared_ptr<Vexa::DicomData> data, bool windowFromVolume) try
{
    std::shared_ptr<Vexa::VolumeData<unsigned short>> volume;
    std::vector<std::string> files;
    std::shared_ptr<const Vexa::VoxelHistogram> histogram;
    if (const auto dicomVolume = std::dynamic_pointer_cast<Vexa::DicomVolume>(data)) {
        volume = dicomVolume->getVolumeData();
        files = dicomVolume->getSourceFiles();
        histogram = dicomVolume->getVoxelHistogram();
    }
    if (volume) {
        // Positioners first: they refuse an empty volume before anything has changed.
        transversal_->init(2, volume);
        coronal_->init(1, volume);
        sagittal_->init(0, volume);
        panoramicLine_->setHeight(volume->getDimZ() * volume->getSpacingZ());
        if (windowFromVolume)
            setWindowFromVolume(*volume, histogram.get());
    }
    std::map<std::string, std::string> patient;
    if (data && data->getInformation()) {
        const auto& information = *data->getInformation();
        const std::pair<const char*, unsigned> tags[] = {
            {"name", 0x00100010u}, {"birthday", 0x00300010u}, {"id", 0x00200010u}, {"sex", 0x00400010u}};
        for (const auto& [key, tag] : tags)
            if (const auto value = information.getValue(tag); value.second)
                patient[key] = value.first;
    }
    {
        std::lock_guard lock(dataMutex_);
        data_ = std::move(data);
        volume_ = volume;
        if (volume)
            dicomFiles_ = std::move(files);
        if (patientData_.empty())
            patientData_ = std::move(patient);
    }
    changed_ = true;
}
VEXA_RETHROW

void Model::setWindowFromVolume(const Vexa::VolumeData<unsigned short>& volume,
                                const Vexa::VoxelHistogram* known) try
{
    // Low end at the mean (air and soft tissue below it), high end where the brightest
    // thousandth of the voxels begins (metal and marker balls do not stretch the window).
    const std::size_t count = volume.getVoxelCount();
    if (count == 0)
        return;
    // A histogram that does not count every voxel belongs to other voxels: count them anew.
    std::optional<Vexa::VoxelHistogram> counted;
    if (!known || known->total() != count)
        known = &counted.emplace(volume);
    const Vexa::VoxelHistogram& histogram = *known;
    const int low = static_cast<int>(std::lround(double(histogram.sum()) / double(count)));
    const std::size_t wanted = count - count / 1000;
    std::size_t seen = 0;
    int high = 0;
    for (int value = 0; value < 65536; ++value) {
        seen += histogram.counts()[value];
        if (seen >= wanted) {
            high = value;
            break;
        }
    }
    high = std::max(high, low);
    minVoxelValue_ = low;
    maxVoxelValue_ = high;
    midVoxelValue_ = (low + high) / 2;
}
VEXA_RETHROW

std::vector<std::string> Model::getDicomFiles() const
{
    std::lock_guard lock(dataMutex_);
    return dicomFiles_;
}

void Model::setDicomFiles(const std::vector<std::string>& files)
{
    std::lock_guard lock(dataMutex_);
    dicomFiles_ = files;
}

std::shared_ptr<Vexa::IndexedTriangleMesh> Model::get3DModel() const
{
    std::lock_guard lock(dataMutex_);
    return model3D_;
}

void Model::set3DModel(std::shared_ptr<Vexa::IndexedTriangleMesh> model) try
{
    {
        std::lock_guard lock(dataMutex_);
        model3D_ = std::move(model);
    }
    changed_ = true;
}
VEXA_RETHROW

std::shared_ptr<Vexa::IndexedTriangleMesh> Model::getHandpieceMesh() const
{
    return handpieceMesh_;
}

std::shared_ptr<Vexa::IndexedTriangleMesh> Model::getDrillMesh() const
{
    return drillMesh_;
}

std::shared_ptr<Vexa::IndexedTriangleMesh> Model::getDigitMesh(unsigned digit)
{
    return digitMeshes_[std::min<unsigned>(digit, 9)];
}

void Model::clear() try
{
    {
        std::lock_guard lock(dataMutex_);
        data_.reset();
        volume_.reset();
        model3D_.reset();
        dicomFiles_.clear();
        patientData_.clear();
    }
    markers_.clear();
    markerDetected_ = false;
    markerMethod_ = NoMarkerDetection;
    implantManager_->clear();
    nerve_->clear();
    // The plane came from the old planning's markers or volume.
    nerve_->setDividePlane(initialDividePlane());
    panoramicLine_->deleteLine();
    transversal_->reset();
    coronal_->reset();
    sagittal_->reset();
    jaw_ = Constants::JawUndetermined;
    measuringState_ = 0;
    firstMeasuringPoint_ = Vector3D();
    secondMeasuringPoint_ = Vector3D();
    minVoxelValue_ = defaultMinVoxelValue;
    midVoxelValue_ = defaultMidVoxelValue;
    maxVoxelValue_ = defaultMaxVoxelValue;
    // Commands of the old planning hold objects that are gone.
    Vexa::CommandProcessor::getInstance()->clear();
    // An empty planning has nothing to save.
    clearChangedState();
}
VEXA_RETHROW

bool Model::hasChanged() const try
{
    return changed_ || nerve_->hasChanged() || panoramicLine_->hasChanged() || implantManager_->hasChanged();
}
VEXA_RETHROW

void Model::clearChangedState() try
{
    changed_ = false;
    nerve_->clearChangedState();
    panoramicLine_->clearChangedState();
    implantManager_->clearChangedState();
}
VEXA_RETHROW

std::map<std::string, std::string> Model::getPatientData() const
{
    std::lock_guard lock(dataMutex_);
    return patientData_;
}

void Model::setPatientData(const std::map<std::string, std::string>& data)
{
    std::lock_guard lock(dataMutex_);
    patientData_ = data;
}

QString Model::getPatientName() const
{
    std::lock_guard lock(dataMutex_);
    const auto it = patientData_.find("name");
    return it == patientData_.end() ? QString() : QString::fromStdString(it->second);
}

// ---- jaw and markers --------------------------------------------------------------------

void Model::setJaw(int jaw) try
{
    if (jaw < Constants::JawUndetermined || jaw > Constants::Mandible)
        throw std::runtime_error("invalid jaw " + std::to_string(jaw));
    if (jaw != jaw_)
        changed_ = true;
    jaw_ = static_cast<Constants::Jaw>(jaw);
}
VEXA_RETHROW

bool Model::determineJaw() try
{
    if (!markerDetected_ || markers_.size() < 3)
        return false;
    const Vector3D& m0 = markers_[0]->getPosition();
    const Vector3D a = markers_[1]->getPosition() - m0;
    const Vector3D b = markers_[2]->getPosition() - m0;
    const Vector3D normal = a.cross(b);
    // Markers within half a degree of one line span no plane whose side can be trusted.
    if (!(normal.length() > 0.01 * a.length() * b.length()) || normal.z == 0.0)
        throw std::runtime_error("The jaw cannot be determined: the first three markers lie on one line.");
    setJaw(normal.z > 0.0 ? Constants::Mandible : Constants::Maxilla);
    return true;
}
VEXA_RETHROW

void Model::setMarker(const std::vector<std::shared_ptr<Marker>>& markers) try
{
    std::vector<std::shared_ptr<Marker>> list;
    for (const auto& marker : markers)
        if (marker)
            list.push_back(marker);
    markers_ = std::move(list);
    changed_ = true;
    setJaw(Constants::JawUndetermined);
}
VEXA_RETHROW

void Model::addMarker(std::shared_ptr<Marker> marker) try
{
    if (!marker || std::find(markers_.begin(), markers_.end(), marker) != markers_.end())
        return;
    markers_.push_back(std::move(marker));
    changed_ = true;
}
VEXA_RETHROW

int Model::removeMarker(std::shared_ptr<Marker> marker) try
{
    const auto it = std::find(markers_.begin(), markers_.end(), marker);
    if (!marker || it == markers_.end())
        return -1;
    const int index = static_cast<int>(it - markers_.begin());
    markers_.erase(it);
    changed_ = true;
    return index;
}
VEXA_RETHROW

void Model::setMarkerDetected(bool detected)
{
    if (detected != markerDetected_)
        changed_ = true;
    markerDetected_ = detected;
}

void Model::setMarkerDetectionMethode(MarkerDetectionMethode method) try
{
    if (method < NoMarkerDetection || method > AutomaticMarkerDetection)
        throw std::runtime_error("invalid marker detection method " + std::to_string(int(method)));
    if (method != markerMethod_)
        changed_ = true;
    markerMethod_ = method;
}
VEXA_RETHROW

std::shared_ptr<Marker> Model::getMarkerNear(const Vector3D& point) const try
{
    const auto lock = readLock();
    return markerNear(point);
}
VEXA_RETHROW

std::shared_ptr<Marker> Model::markerNear(const Vector3D& point) const try
{
    if (getState() != MarkerDetected)
        return nullptr;
    for (const auto& marker : markers_)
        if ((marker->getPosition() - point).length() < markerPickDistance)
            return marker;
    return nullptr;
}
VEXA_RETHROW

std::shared_ptr<Marker> Model::getMarkerNear(const Vexa::Line3<double>& line) const try
{
    const auto lock = readLock();
    if (getState() != MarkerDetected)
        return nullptr;
    const Vector3D direction = unitOrZero(line.getDirection());
    for (const auto& marker : markers_) {
        const Vector3D toMarker = marker->getPosition() - line.getPoint();
        const Vector3D projection = line.getPoint() + direction * direction.dot(toMarker);
        if ((marker->getPosition() - projection).length() < markerPickDistance)
            return marker;
    }
    return nullptr;
}
VEXA_RETHROW

void Model::selectMarker(std::shared_ptr<Marker> marker) try
{
    for (const auto& other : markers_)
        other->setSelected(other == marker);
}
VEXA_RETHROW

void Model::setMarkerPosition(std::shared_ptr<Marker> marker, const Vector3D& position) try
{
    if (!marker)
        return;
    marker->setPosition(position);
    changed_ = true;
}
VEXA_RETHROW

void Model::calcNerveEnvironments() try
{
    if (!nerve_)
        return;
    if (markerDetected_ && markers_.size() >= 3) {
        // The holder sits centred on the arch but may be turned and tilted any way on the
        // teeth: only the markers' centre is used, whatever their order. The halves part
        // along the patient's left-right axis (x).
        Vector3D centre;
        for (const auto& marker : markers_)
            centre = centre + marker->getPosition();
        nerve_->setDividePlane(Vexa::Plane<double>(centre / double(markers_.size()), Vector3D(1, 0, 0)));
        return;
    }
    Vector3D centre;
    if (const auto volume = getVolumeData())
        centre = volume->getExtent() * 0.5;
    nerve_->setDividePlane(Vexa::Plane<double>(centre, Vector3D(1, 0, 0)));
}
VEXA_RETHROW

// ---- measuring --------------------------------------------------------------------------

void Model::setFirstMeasuringPoint(const Vector3D& point)
{
    firstMeasuringPoint_ = point;
    measuringState_ = 1;
}

void Model::setSecondMeasuringPoint(const Vector3D& point)
{
    secondMeasuringPoint_ = point;
    measuringState_ = 2;
}

void Model::resetMeasuringState() try
{
    measuringState_ = 0;
    setNormalInput();
}
VEXA_RETHROW

// ---- picking ----------------------------------------------------------------------------

bool Model::isNearSlice(const OrthoSlicePositioner& positioner, const Vector3D& position) const try
{
    if (positioner.getMaxSlicePosition() < 0.0)
        return false; // no volume: no slice
    const int axis = positioner.getOrientation();
    // The stored position; the coronal one is shown mirrored.
    const double stored = axis == 1 ? positioner.getMaxSlicePosition() - positioner.getSlicePosition(true)
                                    : positioner.getSlicePosition(true);
    return std::abs(position[axis] - stored) <= slicePickTolerance / 2.0;
}
VEXA_RETHROW

unsigned Model::getElementsNearToPos(const Vector3D& position, unsigned mask) const try
{
    const auto lock = readLock();
    unsigned found = 0;
    if ((mask & PanoramicLineElement) && panoramicLine_->numberOfCorners() > 0
        && (panoramicLine_->getOrthogonalDistance(position) < panoramicLinePickDistance
            || panoramicLine_->getPointAtPos(position)))
        found |= PanoramicLineElement;
    if ((mask & TransversalSliceElement) && isNearSlice(*transversal_, position))
        found |= TransversalSliceElement;
    if ((mask & CoronalSliceElement) && isNearSlice(*coronal_, position))
        found |= CoronalSliceElement;
    if ((mask & SagittalSliceElement) && isNearSlice(*sagittal_, position))
        found |= SagittalSliceElement;
    if ((mask & ImplantElement) && implantManager_->getImplantNearPos(position, implantPickDistance))
        found |= ImplantElement;
    if ((mask & NerveElement) && nerve_->getElementNear(position))
        found |= NerveElement;
    if ((mask & MarkerElement) && markerNear(position))
        found |= MarkerElement;
    return found;
}
VEXA_RETHROW

unsigned Model::getElementsNearToLine(const Vexa::Line3<double>& line, unsigned mask) const try
{
    return (mask & MarkerElement) && getMarkerNear(line) ? unsigned(MarkerElement) : 0u;
}
VEXA_RETHROW

// ---- cross sections ---------------------------------------------------------------------

Model::CrossSections Model::getCrossSections() try
{
    const auto lock = readLock();
    std::vector<Vector3D> positions;
    if (getState() == MarkerDetected) {
        for (const auto& marker : markers_)
            positions.push_back(marker->getPosition());
    } else {
        for (auto it = implantManager_->implantsBegin(); it != implantManager_->implantsEnd(); ++it)
            positions.push_back((*it)->getTransform().getTranslation());
    }
    // Made afresh for every answer (one nearest-segment search per object): implants move
    // live during drags, and views on other threads never share a slice being rewritten.
    const auto volume = getVolumeData();
    const double height = volume ? volume->getExtentZ() : panoramicLine_->getHeight();
    auto slices = std::make_shared<std::vector<std::shared_ptr<Vexa::Slice>>>();
    for (const Vector3D& position : positions)
        slices->push_back(makeCrossSection(position, height));
    return CrossSections{slices, slices->cbegin(), slices->cend(), static_cast<unsigned>(slices->size())};
}
VEXA_RETHROW

std::shared_ptr<Vexa::Slice> Model::makeCrossSection(const Vector3D& p, double height) const try
{
    const auto slice = VolumeSlice::create();
    const Vexa::Size2<double> size(Constants::crossSectionWidth, height);
    const auto segment = panoramicLine_->getOffset(p).first;
    Vector3D along;
    if (segment != panoramicLine_->cornersEnd()) {
        const Vector3D start = panoramicLine_->toWorld((*segment)->getPosition());
        const Vector3D end = panoramicLine_->toWorld((*std::next(segment))->getPosition());
        along = unitOrZero(Vector3D(end.x - start.x, end.y - start.y, 0.0));
    }
    if (along.length() == 0.0) {
        slice->setFrame(Matrix44<double>(), size);
        slice->setValid(false);
        return slice;
    }
    // Across the curve (width), up (height), along the curve (normal); centred on the object,
    // from the curve's plane upwards.
    const Vector3D across(-along.y, along.x, 0.0);
    const Vector3D up(0.0, 0.0, 1.0);
    const Vector3D corner = Vector3D(p.x, p.y, 0.0) - across * (Constants::crossSectionWidth / 2.0);
    slice->setFrame(Matrix44<double>(across, up, across.cross(up), corner), size);
    slice->setValid(true);
    return slice;
}
VEXA_RETHROW

// ---- navigation -------------------------------------------------------------------------

void Model::enableNavigation() try
{
    setStateAndUpdate(Navigation);
}
VEXA_RETHROW

void Model::disableNavigation() try
{
    setStateAndUpdate(NormalInput);
}
VEXA_RETHROW

bool Model::isReadyForNavigation() const try
{
    // A treatment needs the volume, the six registration markers, the jaw, and a saved
    // planning whose folder takes the treatment log.
    return getVolumeData() && markerDetected_ && markers_.size() == 6
           && (jaw_ == Constants::Maxilla || jaw_ == Constants::Mandible) && settings_
           && settings_->getPlanningState() == 2;
}
VEXA_RETHROW

bool Model::isNavigating() const
{
    return getState() == Navigation;
}

void Model::setTrackerData(bool handpieceValid, const Matrix44<double>& handpieceTransform, bool patientLocValid,
                           const Matrix44<double>& patientLocTransform) try
{
    std::lock_guard lock(stateMutex_);
    {
        std::lock_guard values(navigationMutex_);
        handpieceValid_ = handpieceValid;
        cameraTHandpieceLoc_ = handpieceTransform;
        patientLocValid_ = patientLocValid;
        cameraTPatientLoc_ = patientLocTransform;
    }
    trackerTick_ = true;
    try {
        process(StateMachine::Update);
    } catch (...) {
        trackerTick_ = false;
        throw;
    }
    trackerTick_ = false;
}
VEXA_RETHROW

void Model::registerDrill(const Matrix44<double>& drillOriginTDrillTip) try
{
    const bool registered = !Vexa::isEqual(drillOriginTDrillTip, Matrix44<double>(), 0.001);
    {
        std::lock_guard values(navigationMutex_);
        drillOriginTDrillTip_ = drillOriginTDrillTip;
        drillRegistered_ = registered;
        drillLength_ = drillOriginTDrillTip.getTranslation().length();
    }
    if (registered) {
        std::lock_guard lock(stateMutex_);
        treatmentLog_->logRegistration(getVisualizedDrillLength());
    }
}
VEXA_RETHROW

void Model::invalidateDrillRegistration() try
{
    registerDrill(Matrix44<double>());
}
VEXA_RETHROW

void Model::setDrillLength(double length)
{
    std::lock_guard values(navigationMutex_);
    drillLength_ = length;
}

double Model::getDrillLength() const
{
    std::lock_guard values(navigationMutex_);
    return drillLength_;
}

bool Model::isDrillRegistered() const
{
    std::lock_guard values(navigationMutex_);
    return drillRegistered_;
}

bool Model::isHandpieceTrackerValid() const
{
    std::lock_guard values(navigationMutex_);
    return handpieceValid_;
}

bool Model::isPatientLocTrackerValid() const
{
    std::lock_guard values(navigationMutex_);
    return patientLocValid_;
}

bool Model::isLocatorRegistered() const
{
    std::lock_guard values(navigationMutex_);
    return locatorRegistered_;
}

std::shared_ptr<Implant> Model::getNearestImplantToDrill() const try
{
    if (!(isDrillRegistered() && isPatientLocTrackerValid() && isHandpieceTrackerValid()))
        return nullptr;
    return implantManager_->getNearestImplant(getPatientTDrill().getTranslation(), 5.0);
}
VEXA_RETHROW

std::shared_ptr<Implant> Model::getDistanceAndAngleFromNearestImplantToDrill(double& distance, double& angle) const try
{
    const Matrix44<double> drill = getPatientTDrill();
    if (!(isDrillRegistered() && isPatientLocTrackerValid() && isHandpieceTrackerValid()))
        return nullptr;
    auto nearest = implantManager_->getNearestImplant(drill.getTranslation(), 5.0);
    if (nearest) {
        distance = nearest->getDistance(drill.getTranslation());
        angle = nearest->getAngleBetween(drill.getColumn(2));
    }
    return nearest;
}
VEXA_RETHROW

Matrix44<double> Model::getHandpieceLocTDrillOrigin() const try
{
    return navigation_ ? navigation_->getHandpieceLocTDrillOrigin(jaw_) : Matrix44<double>();
}
VEXA_RETHROW

Matrix44<double> Model::getPatientTDrillOrigin() const try
{
    Matrix44<double> patientTLocator, cameraTPatientLoc, cameraTHandpieceLoc;
    {
        std::lock_guard values(navigationMutex_);
        patientTLocator = patientTLocator_;
        cameraTPatientLoc = cameraTPatientLoc_;
        cameraTHandpieceLoc = cameraTHandpieceLoc_;
    }
    return patientTLocator * Vexa::inverse(cameraTPatientLoc) * cameraTHandpieceLoc * getHandpieceLocTDrillOrigin();
}
VEXA_RETHROW

Matrix44<double> Model::getPatientTDrill() const try
{
    Matrix44<double> drillOriginTDrillTip;
    {
        std::lock_guard values(navigationMutex_);
        drillOriginTDrillTip = drillOriginTDrillTip_;
    }
    return getPatientTDrillOrigin() * drillOriginTDrillTip;
}
VEXA_RETHROW

double Model::getDrillDepthAtImplant(const Matrix44<double>& implantTransform) const try
{
    const Vector3D axis = implantTransform.getColumn(2);
    const Vector3D origin = implantTransform.getTranslation();
    const Vector3D tip = getPatientTDrill().getTranslation();
    return axis.dot(tip) - axis.dot(origin) + 1.0;
}
VEXA_RETHROW

Vexa::Vector4<float> Model::getHandpieceColor() const try
{
    if (!(isHandpieceTrackerValid() && isDrillRegistered()))
        return Vexa::Vector4<float>(1.0f, 0.0f, 0.0f, 1.0f);
    double distance = 0.0, angle = 0.0;
    if (!getDistanceAndAngleFromNearestImplantToDrill(distance, angle))
        return Vexa::Vector4<float>(0.851f, 0.851f, 0.851f, 1.0f);
    if (distance < 1.0 && angle < 5.0)
        return Vexa::Vector4<float>(0.0f, 1.0f, 0.0f, 1.0f);
    return Vexa::Vector4<float>(0.0f, 0.0f, 1.0f, 1.0f);
}
VEXA_RETHROW

double Model::getNerveDistance() const try
{
    const Vector3D tip = getPatientTDrill().getTranslation();
    double best = std::numeric_limits<double>::infinity();
    for (auto element = nerve_->elementsBegin(); element != nerve_->elementsEnd(); ++element) {
        const auto& points = element->second->getPointContainer();
        for (auto it = points.begin(); it != points.end(); ++it) {
            auto next = std::next(it);
            const Vector3D a = (*it)->position;
            const Vector3D b = next == points.end() ? a : (*next)->position;
            const double radius = ((*it)->diameter + (next == points.end() ? (*it)->diameter : (*next)->diameter)) / 4.0;
            const Vector3D ab = b - a;
            const double t = ab.squaredLength() > 0.0 ? std::clamp((tip - a).dot(ab) / ab.squaredLength(), 0.0, 1.0) : 0.0;
            best = std::min(best, (tip - (a + ab * t)).length() - radius);
        }
    }
    return best;
}
VEXA_RETHROW

void Model::setNavigationClock(std::function<std::uint32_t()> clock)
{
    std::lock_guard lock(stateMutex_);
    navigationClock_ = std::move(clock);
}

std::vector<std::shared_ptr<Implant>> Model::implantList() const
{
    return std::vector<std::shared_ptr<Implant>>(implantManager_->implantsBegin(), implantManager_->implantsEnd());
}

void Model::resetNavigation() try
{
    const auto fit = Vexa::PointMatching::fitRigid(Vexa::getReferenceMarkerGeometry(), [this] {
        std::vector<Vector3D> positions;
        for (const auto& marker : markers_)
            positions.push_back(marker->getPosition());
        return positions;
    }());
    {
        std::lock_guard values(navigationMutex_);
        handpieceValid_ = patientLocValid_ = false;
        cameraTHandpieceLoc_ = cameraTPatientLoc_ = Matrix44<double>();
        patientTLocator_ = fit.valid ? fit.transform : Matrix44<double>();
        locatorRegistered_ = fit.valid;
    }
    invalidateDrillRegistration();
    nerveWarned_ = depthWarned_ = false;
}
VEXA_RETHROW

void Model::startDataLogging() try
{
    // The journal starts at once; where the log goes is looked for by the log's worker, which may
    // wait for another instance's save of the planning: never here, under the locks of the
    // navigation.
    reportNavigationFailures(treatmentLog_->start(getPatientName(), settings_ ? settings_->getPlanningFile() : std::string(),
                                                  implantList(), jaw_, settings_ ? settings_->snapshot() : nullptr));
}
VEXA_RETHROW

void Model::logCurrentState() try
{
    double distance = 0.0, angle = 0.0;
    const auto nearest = getDistanceAndAngleFromNearestImplantToDrill(distance, angle);
    if (!nearest) {
        treatmentLog_->clearWindow();
        return;
    }
    const Matrix44<double> implant = nearest->getTransform();
    const Matrix44<double> drill = getPatientTDrill();
    const Matrix44<double> r = Vexa::inverse(implant) * drill;
    auto degrees = [](double cosine) { return std::acos(std::clamp(cosine, -1.0, 1.0)) * 180.0 / M_PI; };
    const DrillDifference sample(
        static_cast<float>(r[12]), static_cast<float>(r[13]), static_cast<float>(getDrillDepthAtImplant(implant)),
        static_cast<float>(degrees(implant.getColumn(0).dot(drill.getColumn(2))) - 90.0),
        static_cast<float>(degrees(implant.getColumn(1).dot(drill.getColumn(2))) - 90.0),
        static_cast<float>(getVisualizedDrillLength()), static_cast<int>(implantManager_->getNumberOfImplant(nearest)),
        nearest);
    treatmentLog_->logSample(nearest, sample);
}
VEXA_RETHROW

void Model::logUserDefinedState() try
{
    std::lock_guard lock(stateMutex_);
    treatmentLog_->logUserDefinedState();
}
VEXA_RETHROW

void Model::storeDataLog() try
{
    // The log goes where the planning is then (another instance may have replaced it meanwhile):
    // looked for, and written, by the log's worker.
    treatmentLog_->store(settings_ ? settings_->getPlanningFile() : std::string(),
                         settings_ ? settings_->getPatientPaths() : std::vector<std::string>(), implantList(),
                         settings_ ? settings_->snapshot() : nullptr);
}
VEXA_RETHROW

bool Model::isStoringTreatmentLog() const
{
    return treatmentLog_->isBusy();
}

void Model::waitForTreatmentLog(const std::function<void(const std::string&)>& waiting) const
{
    treatmentLog_->wait(waiting);
}

void Model::hurryTreatmentLog(std::chrono::steady_clock::time_point deadline) const
{
    treatmentLog_->hurry(deadline);
}

std::optional<std::pair<std::string, std::time_t>> Model::treatmentLogStall() const
{
    const auto stall = treatmentLog_->stall();
    if (!stall)
        return std::nullopt;
    return std::pair{stall->folder, stall->since};
}

std::string Model::loadedPlanningLogFolder() const
{
    if (!settings_ || settings_->getPlanningFile().empty())
        return {};
    return QFileInfo(QString::fromStdString(settings_->getPlanningFile())).absolutePath().toStdString() + "/Log";
}

void Model::recoverTreatmentLogs(const std::vector<std::string>& planningLogFolders, const std::function<bool()>& stop) const
{
    reportNavigationNotices(treatmentLog_->recover(
        planningLogFolders, settings_ ? settings_->getPatientPaths() : std::vector<std::string>(), stop));
}

void Model::recoverTreatmentLogs() const
{
    std::vector<std::string> folders;
    if (const std::string loaded = loadedPlanningLogFolder(); !loaded.empty())
        folders.push_back(loaded);
    // A navigation's journal moves into its planning's "Log" folder: a kill leaves it there.
    if (settings_)
        for (const FolderHandle& base : PlanningFinder::patientFolders(settings_->getPatientPaths()))
            if (base)
                PlanningFinder::eachPlanning(base, [&folders](const FolderHandle& planning, const std::string&) {
                    folders.push_back(planning.pathOf("Log"));
                    return 0;
                });
    recoverTreatmentLogs(folders);
}

void Model::logCalibrationStart(bool manually, Constants::Jaw jaw) try
{
    std::lock_guard lock(stateMutex_);
    treatmentLog_->logCalibrationStart(manually, jaw);
}
VEXA_RETHROW

void Model::logCalibration(const std::pair<double, double>& before, const std::pair<double, double>& during,
                           const std::pair<double, double>& after, Constants::Jaw jaw) try
{
    std::lock_guard lock(stateMutex_);
    reportNavigationFailures(treatmentLog_->logCalibration(before, during, after, jaw));
}
VEXA_RETHROW

void Model::writeNavigationDataLogToStream(std::ostream& out) try
{
    std::lock_guard lock(stateMutex_);
    treatmentLog_->write(out, implantList());
}
VEXA_RETHROW

void Model::reportNavigationFailures(const std::vector<std::string>& failures)
{
    reportNavigation(failures, false);
}

void Model::reportNavigationNotices(const std::vector<std::string>& notices)
{
    reportNavigation(notices, true);
}

void Model::reportNavigation(const std::vector<std::string>& texts, bool notices)
{
    if (texts.empty())
        return;
    std::string text;
    for (const auto& said : texts)
        text += said + "\n";
    Vexa::ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
    auto tell = [text, notices] {
        if (auto ui = IPlanningUi::get())
            ui->showNotice("Morvanta", QString::fromStdString(text), !notices);
        else
            Platform::outputDebugString("Morvanta: " + text);
    };
    if (QCoreApplication::instance())
        Platform::postToThreadOf(QCoreApplication::instance(), std::move(tell));
    else
        Platform::outputDebugString("Morvanta: " + text);
}

void Model::checkNerveDistance() try
{
    if (!(isDrillRegistered() && isHandpieceTrackerValid() && isPatientLocTrackerValid()) || nerve_->isEmpty())
        return;
    const std::uint32_t now = navigationClock_ ? navigationClock_() : Vexa::timeGetTime();
    if (getNerveDistance() < 2.0 && (!nerveWarned_ || now - lastNerveWarning_ >= 1000)) {
        nerveWarned_ = true;
        lastNerveWarning_ = now;
        Platform::playSound(Platform::applicationPath(std::string(Constants::soundsFolder) + "NerveWarning.wav"));
    }
}
VEXA_RETHROW

void Model::checkDrillDepth() try
{
    const auto nearest = getNearestImplantToDrill();
    if (!nearest)
        return;
    const std::uint32_t now = navigationClock_ ? navigationClock_() : Vexa::timeGetTime();
    if (getDrillDepthAtImplant(nearest->getTransform()) <= 1.0 && (!depthWarned_ || now - lastDepthWarning_ >= 1000)) {
        depthWarned_ = true;
        lastDepthWarning_ = now;
        Platform::playSound(Platform::applicationPath(std::string(Constants::soundsFolder) + "DepthWarning.wav"));
    }
}
VEXA_RETHROW
