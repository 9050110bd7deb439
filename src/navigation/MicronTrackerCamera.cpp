#include "navigation/MicronTrackerCamera.h"

#include "navigation/BoxWorkspace.h"
#include "navigation/TrackerData.h"
#include "navigation/Workspace.h"
#include "platform/ComRegistry.h"
#include "platform/MTApplication.h"
#include "platform/MTCamera.h"
#include "platform/MTCameraCollection.h"
#include "platform/MTMarker.h"
#include "platform/MTMarkerProcessing.h"
#include "platform/MTPersistence.h"
#include "platform/MTPoseTransform.h"
#include "vexa/core/Clock.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace Vexa {

namespace {

using namespace std::chrono_literals;
using Platform::comObject;

constexpr const char* templateName = "TrackerDesc";

// The end points of the two vectors of each template's facet, as the maker's tool wrote them.
constexpr const char* handpieceEnds[12] = {
    "-27,7539281494193", "-1,63971400560023E-15", "-3,93531361344056E-15", "27,7539281494193",
    "-7,105427357601E-16", "-1,31177120448019E-15", "27,7539281494193", "-7,105427357601E-16",
    "-1,31177120448019E-15", "1,47999591667864", "35,7165475770258", "4,37257068160062E-16"};
constexpr const char* locatorEnds[12] = {
    "-35,8020005188195", "2,93728296278782E-16", "1,34275792584586E-15", "35,8020005188195",
    "-4,33598913554392E-16", "-4,47585975281953E-16", "-34,1937793732229", "56,0015987443506",
    "-4,47585975281953E-16", "-35,8020005188195", "2,93728296278782E-16", "1,34275792584586E-15"};

// A private folder for one template file, removed with everything in it.
class TemplateFolder
{
public:
    TemplateFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "morvanta-mt-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~TemplateFolder()
    {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Empty when the whole template is on the disk, else why not.
std::string writeTemplate(const std::string& file, const std::string& text)
{
    try {
        Vexa::AtomicFile::writeFile(file, text);
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

}

MicronTrackerCamera::MTTracker::MTTracker(std::shared_ptr<Platform::MTMarker> marker,
                                          const Matrix44<double>& toolTransform)
    : Tracker({}, false, 1), marker_(std::move(marker)), toolTransform_(toolTransform)
{
}

MicronTrackerCamera::MTTracker::~MTTracker() = default;

std::shared_ptr<MicronTrackerCamera::MTTracker>
MicronTrackerCamera::MTTracker::getMTTracker(const std::string& fileName, const Matrix44<double>& toolTransform) try
{
    auto marker = Platform::ComRegistry::createInstance<Platform::MTMarker>(Platform::MTMarker::clsid);
    auto persistence = Platform::ComRegistry::createInstance<Platform::MTPersistence>(Platform::MTPersistence::clsid);
    comObject(persistence).setPath(fileName);
    std::string message;
    if (comObject(marker).restoreTemplate(persistence, "", &message) != 0)
        return nullptr;
    marker->setName(std::filesystem::path(fileName).filename().string());
    return std::make_shared<MTTracker>(std::move(marker), toolTransform);
}
VEXA_RETHROW

std::shared_ptr<Workspace> MicronTrackerCamera::getDefaultWorkspace()
{
    static const std::shared_ptr<Workspace> workspace =
        BoxWorkspace{{{-175, -175, 475}, {350, 350, 350}},
                        {{-300, -300, 400}, {600, 600, 500}},
                        {{-450, -450, 400}, {900, 900, 500}},
                        20.0, 40.0, 60.0, Vector3D(0, 0, 650), Matrix44<double>()}.create();
    return workspace;
}

std::string MicronTrackerCamera::templateText(int type)
{
    if (type != 3 && type != 4)
        return {};
    const char* const* ends = type == 3 ? handpieceEnds : locatorEnds;
    std::string text = "[Marker]\r\nFacetsCount=1\r\nName=Tracker";
    text += type == 3 ? "1" : "2";
    text += "\r\nJitterFilteringFraction=0,5\r\n[Facet1]\r\nVectorsCount=2";
    for (int v = 0; v < 2; ++v) {
        text += "\r\n[Facet1V" + std::to_string(v + 1) + "]";
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 3; ++j)
                text += "\r\nEndPos(" + std::to_string(i) + "," + std::to_string(j) + ")=" + ends[6 * v + 3 * i + j];
    }
    return text;
}

Matrix44<double> MicronTrackerCamera::toolTransform(int type)
{
    if (type == 3) {
        const double n = std::sqrt(3125.0);
        return Matrix44<double>(Vector3D(-50 / n, -25 / n, 0), Vector3D(25 / n, -50 / n, 0), Vector3D(0, 0, 1),
                                Vector3D(0, 12.5, 0));
    }
    const double n = std::sqrt(5125.0);
    return Matrix44<double>(Vector3D(30 / n, 65 / n, 0), Vector3D(-65 / n, 30 / n, 0), Vector3D(0, 0, 1),
                            Vector3D(25, 7.5, 0));
}

std::shared_ptr<MicronTrackerCamera> MicronTrackerCamera::getConnectedMicronTracker() try
{
    try {
        const auto application =
            Platform::ComRegistry::createInstance<Platform::MTApplication>(Platform::MTApplication::clsid);
        if (!application)
            return nullptr;
        std::error_code error;
        const std::string folder = std::filesystem::current_path(error).string();
        if (error)
            return nullptr;
        comObject(application->cameras()).attachAvailableCameras(0, 0, folder);
        if (comObject(application->cameras()).count() == 0)
            return nullptr;
        std::shared_ptr<MicronTrackerCamera> camera(
            new MicronTrackerCamera(application->markerProcessing(), application->cameras()));
        comObject(camera->markers_).setOption15(0);
        comObject(camera->markers_).setOption19(1.0);
        camera->selectCamera(0);
        camera->startThread();
        return camera;
    } catch (const Platform::ComError& e) {
        if (e.hresult() != Platform::ComError::noInterface)
            std::cerr << "Microntracker::getConnectedMicronTracker() - COM Error: " << e.what() << "\n";
        return nullptr;
    }
}
VEXA_RETHROW

MicronTrackerCamera::MicronTrackerCamera(std::shared_ptr<Platform::MTMarkerProcessing> markers,
                                         std::shared_ptr<Platform::MTCameraCollection> cameras)
    : NavigationCamera(getDefaultWorkspace()), markers_(std::move(markers)), cameras_(std::move(cameras))
{
}

MicronTrackerCamera::~MicronTrackerCamera()
{
    try {
        running_ = false;
        joinThread();
        disconnectCameras();
    } catch (...) {
        std::cerr << "Exception catched in Vexa::MicronTrackerCamera::~MicronTrackerCamera()\n";
    }
}

void MicronTrackerCamera::selectCamera(unsigned int index) try
{
    std::lock_guard lock(mutex_);
    const short count = comObject(cameras_).count();
    // Only an index below the count: with no camera there is none to choose.
    if (count <= 0 || index >= static_cast<unsigned>(count))
        return;
    currentCamera_ = cameras_->item(static_cast<short>(index));
    currentCameraIndex_ = index;
}
VEXA_RETHROW

void MicronTrackerCamera::disconnectCameras() try
{
    std::lock_guard lock(mutex_);
    if (cameras_) {
        auto cameras = std::move(cameras_);
        cameras_.reset();
        cameras->detach();
    }
}
VEXA_RETHROW

void MicronTrackerCamera::setTracker(std::vector<std::shared_ptr<Tracker>>& trackers) try
{
    std::lock_guard lock(mutex_);
    comObject(markers_).clearTemplates();
    trackers_.clear();
    markerTrackers_.clear();
    const TemplateFolder folder;
    const std::filesystem::path file = folder.path() / templateName;
    for (const auto& tracker : trackers) {
        std::shared_ptr<MTTracker> markerTracker;
        const std::string text = tracker ? templateText(tracker->getType()) : std::string();
        std::string failure;
        if (text.empty()) {
            std::cerr << "MicronTrackerCamera::setTracker: Tracker not supported!\n";
        } else if (folder.path().empty()) {
            std::cerr << "MicronTrackerCamera::setTracker: no folder for the marker template\n";
        } else if (!(failure = writeTemplate(file.string(), text)).empty()) {
            // A cut template would make the server learn a wrong marker.
            std::cerr << "MicronTrackerCamera::setTracker: " << failure << "\n";
        } else {
            markerTracker = MTTracker::getMTTracker(file.string(), toolTransform(tracker->getType()));
            if (markerTracker)
                markers_->addTemplate(markerTracker->getMarker());
        }
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
        markerTrackers_.push_back(std::move(markerTracker));
    }
    trackers_ = trackers;
}
VEXA_RETHROW

bool MicronTrackerCamera::update() try
{
    std::lock_guard lock(mutex_);
    if (comObject(cameras_).grabFrame(currentCamera_) == 0)
        return false;
    comObject(markers_).processFrame(0);
    for (std::size_t i = 0; i < trackers_.size(); ++i) {
        TrackerData sample;
        const auto& markerTracker = markerTrackers_[i];
        if (markerTracker && comObject(markerTracker->getMarker()).wasIdentified(0) != 0) {
            const auto pose = markerTracker->getMarker()->pose(currentCamera_);
            Matrix44<double> m;
            for (short r = 0; r < 3; ++r)
                for (short c = 0; c < 3; ++c)
                    m[r + 4 * c] = comObject(pose).rotation(r, c);
            m.setTranslation(Vector3D(pose->translation(0), pose->translation(1), pose->translation(2)));
            sample.setTransform(m * inverse(markerTracker->getToolTransform()));
            sample.setVisible(true);
        }
        if (trackers_[i])
            trackers_[i]->setTrackerData(sample);
    }
    return true;
}
VEXA_RETHROW

void MicronTrackerCamera::startThread()
{
    std::lock_guard lock(threadMutex_);
    if (reader_.joinable())
        return;
    running_ = true;
    lastData_ = timeGetTime();
    state_ = Running;
    reader_ = std::thread(&MicronTrackerCamera::readerThread, this);
}

void MicronTrackerCamera::joinThread()
{
    std::lock_guard lock(threadMutex_);
    if (reader_.joinable())
        reader_.join();
}

void MicronTrackerCamera::startReporting()
{
    reporting_ = true;
    // A thread ended by `stopReporting` or by a server error starts again.
    if (!running_)
        joinThread();
    startThread();
}

void MicronTrackerCamera::stopReporting()
{
    reporting_ = false;
    running_ = false;
    joinThread();
}

void MicronTrackerCamera::readerThread()
{
    while (running_) {
        try {
            if (reporting_ && update())
                lastData_ = timeGetTime();
        } catch (const std::exception& e) {
            std::cerr << "MicronTrackerCamera: polling ends: " << e.what() << "\n";
            state_ = NoData;
            running_ = false;
            return;
        }
        state_ = timeGetTime() - lastData_.load() <= 1000 ? Running : NoData;
        std::this_thread::sleep_for(50ms);
    }
}

}
