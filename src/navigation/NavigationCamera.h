#pragma once
// The abstract tracking camera: it defines the tools on the device (`setTracker`), reports
// samples into the trackers between `startReporting` and `stopReporting`, and tells its state
// (0 no data, 1 running: the samples may be read). Held by shared pointer; the destructor of
// every driver stops its threads before the device closes.
#include "vexa/math/Vector3.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Vexa {

class Tracker;
class Workspace;

class NavigationCamera
{
public:
    enum EState
    {
        NoData = 0,
        Running = 1
    };

    // The camera that answers: a replay of the trajectory file named by the environment
    // variable MORVANTA_REPLAY when it is set; otherwise a MicronTracker of a registered
    // server, else the first of a Polaris or Accedo, a FlashPoint and a Velor that answers on
    // `serialPort` ("COMn" or a device path); empty when none answers. CameraSearchJob runs
    // the same search under a progress dialog. Start-up failures of a driver are
    // reported to the debug output.
    static std::shared_ptr<NavigationCamera> getConnectedCamera(std::string serialPort);

    explicit NavigationCamera(std::shared_ptr<Workspace> workspace);
    virtual ~NavigationCamera() = default;

    virtual void setTracker(std::vector<std::shared_ptr<Tracker>>& trackers) = 0;
    virtual void startReporting() = 0;
    virtual void stopReporting() = 0;
    virtual EState getState() = 0;
    virtual std::string getName() = 0;
    virtual bool getCameraFlag() = 0;
    // A copy: the driver's threads keep rewriting the list.
    virtual std::vector<Vector3D> getMarkerPositions() = 0;

    std::shared_ptr<Workspace> getWorkspace() const;
    void setWorkspace(std::shared_ptr<Workspace> workspace);

private:
    mutable std::mutex workspaceMutex_;
    std::shared_ptr<Workspace> workspace_;
};

class TrackerData;

// One tick's samples: a copy of every tracker's sample while the camera runs, otherwise as
// many default (invisible) samples. `state`, when given, receives the state they were taken in.
std::vector<TrackerData> collectTrackerData(NavigationCamera& camera,
                                            const std::vector<std::shared_ptr<Tracker>>& trackers,
                                            NavigationCamera::EState* state = nullptr);

// The start-up workspace of the Polaris, made once per process and shared: boxes in camera
// millimetres seen along the camera's axis (good angle 30, fair angle 36).
std::shared_ptr<Workspace> getDefaultWorkspace();

}
