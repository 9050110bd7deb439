#pragma once
// The MicronTracker optical camera through its maker's server (reached through the COM
// stand-in of the platform library; no server is registered on Linux unless a test or an
// adapter registers one). Each tracker of type 3 (handpiece) or 4 (patient locator) is told
// to the server by a marker template file "TrackerDesc", written in a private temporary
// folder, loaded and deleted again; a reader thread polls the server every 50 ms and turns each
// identified marker's pose into the sample of its tracker. The state is 1 while the last
// successful poll is at most 1000 ms old.
//
// The trackers and their markers stay aligned by position (a tracker without a marker gets
// invisible samples); they are swapped under a lock. A server error in the reader thread sets
// the state to 0 and ends polling; `startReporting` starts polling again.
#include "navigation/NavigationCamera.h"
#include "navigation/Tracker.h"
#include "vexa/math/Matrix44.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Platform {
class MTCamera;
class MTCameraCollection;
class MTMarker;
class MTMarkerProcessing;
}

namespace Vexa {

class MicronTrackerCamera : public NavigationCamera
{
public:
    // A tracker with the server's marker loaded from a template and the tool's pose relative
    // to the marker.
    class MTTracker : public Tracker
    {
    public:
        MTTracker(std::shared_ptr<Platform::MTMarker> marker, const Matrix44<double>& toolTransform);
        ~MTTracker() override;
        // Empty when the template does not load.
        static std::shared_ptr<MTTracker> getMTTracker(const std::string& fileName,
                                                       const Matrix44<double>& toolTransform);
        const std::shared_ptr<Platform::MTMarker>& getMarker() const { return marker_; }
        const Matrix44<double>& getToolTransform() const { return toolTransform_; }

    private:
        std::shared_ptr<Platform::MTMarker> marker_;
        Matrix44<double> toolTransform_;
    };

    // A running camera, or empty when there is no server or no camera. A server error is
    // reported on the standard error stream.
    static std::shared_ptr<MicronTrackerCamera> getConnectedMicronTracker();
    ~MicronTrackerCamera() override;

    void selectCamera(unsigned int index);
    void disconnectCameras();
    void setTracker(std::vector<std::shared_ptr<Tracker>>& trackers) override;
    void startReporting() override;
    void stopReporting() override;
    EState getState() override { return static_cast<EState>(state_.load()); }
    std::string getName() override { return "MicronTrackerCamera v1.3"; }
    bool getCameraFlag() override { return false; }
    std::vector<Vector3D> getMarkerPositions() override { return {}; }
    // One poll of the server; false when there is no new frame.
    bool update();

    static std::shared_ptr<Workspace> getDefaultWorkspace();
    // The 20 lines of the marker template of tracker type 3 or 4 (CR LF, decimal commas, no
    // last line break); empty for other types.
    static std::string templateText(int type);
    static Matrix44<double> toolTransform(int type);

private:
    MicronTrackerCamera(std::shared_ptr<Platform::MTMarkerProcessing> markers,
                        std::shared_ptr<Platform::MTCameraCollection> cameras);
    void startThread();
    void joinThread();
    void readerThread();

    std::recursive_mutex mutex_; // the server's objects and both lists
    std::shared_ptr<Platform::MTMarkerProcessing> markers_;
    std::shared_ptr<Platform::MTCameraCollection> cameras_;
    std::shared_ptr<Platform::MTCamera> currentCamera_;
    unsigned int currentCameraIndex_ = 0xFFFFFFFFu;
    std::vector<std::shared_ptr<Tracker>> trackers_;
    std::vector<std::shared_ptr<MTTracker>> markerTrackers_; // aligned with trackers_, empty entries
    std::atomic<bool> running_{false};
    std::atomic<bool> reporting_{false};
    std::atomic<int> state_{NoData};
    std::atomic<std::uint32_t> lastData_{0};
    std::mutex threadMutex_;
    std::thread reader_;
};

}
