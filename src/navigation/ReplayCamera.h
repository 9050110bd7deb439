#pragma once
// A camera without hardware: plays a trajectory file (see Trajectory) into the trackers. In
// real time its own thread looks at the steady clock every millisecond after
// `startReporting`; otherwise the owner moves it along with `advanceTo` (a simulated clock).
// Tracker i takes the trajectory's tool i. State 1 while reporting and the trajectory lasts,
// 0 before, after its end and after `stopReporting`. Workspace: the Polaris start-up one.
#include "navigation/NavigationCamera.h"
#include "navigation/Trajectory.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace Vexa {

class ReplayCamera : public NavigationCamera
{
public:
    // Reads the file; throws std::runtime_error naming the file and line of a bad line.
    explicit ReplayCamera(const std::string& file, bool realTime = true);
    ReplayCamera(Trajectory trajectory, bool realTime);
    ~ReplayCamera() override;

    void setTracker(std::vector<std::shared_ptr<Tracker>>& trackers) override;
    void startReporting() override;
    void stopReporting() override;
    EState getState() override;
    std::string getName() override { return "Replay"; }
    bool getCameraFlag() override { return false; }
    std::vector<Vector3D> getMarkerPositions() override { return {}; }

    // Puts every tracker at its latest sample not after `elapsedMs` since the start of
    // reporting (only while reporting).
    void advanceTo(std::uint32_t elapsedMs);

private:
    void run();

    const Trajectory trajectory_;
    const bool realTime_;
    std::mutex mutex_; // trackers, positions, thread control
    std::condition_variable wake_;
    std::vector<std::shared_ptr<Tracker>> trackers_;
    std::vector<std::size_t> positions_; // next sample per tool
    std::atomic<int> state_{NoData};
    bool reporting_ = false;
    std::thread thread_;
};

}
