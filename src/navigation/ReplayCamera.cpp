#include "navigation/ReplayCamera.h"

#include "navigation/Tracker.h"
#include "platform/DebugOutput.h"
#include "vexa/core/ExceptionStack.h"

#include <chrono>
#include <exception>

namespace Vexa {

ReplayCamera::ReplayCamera(const std::string& file, bool realTime) try
    : ReplayCamera(Trajectory::readFile(file), realTime)
{
}
VEXA_RETHROW

ReplayCamera::ReplayCamera(Trajectory trajectory, bool realTime)
    : NavigationCamera(getDefaultWorkspace()), trajectory_(std::move(trajectory)), realTime_(realTime)
{
}

ReplayCamera::~ReplayCamera()
{
    stopReporting();
}

void ReplayCamera::setTracker(std::vector<std::shared_ptr<Tracker>>& trackers)
{
    std::lock_guard lock(mutex_);
    trackers_ = trackers;
}

void ReplayCamera::startReporting()
{
    stopReporting();
    std::lock_guard lock(mutex_);
    positions_.assign(trajectory_.numberOfTools(), 0);
    reporting_ = true;
    if (realTime_)
        thread_ = std::thread(&ReplayCamera::run, this);
}

void ReplayCamera::stopReporting()
{
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        reporting_ = false;
        state_ = NoData;
        thread.swap(thread_);
    }
    wake_.notify_all();
    if (thread.joinable())
        thread.join();
}

NavigationCamera::EState ReplayCamera::getState()
{
    return static_cast<EState>(state_.load());
}

void ReplayCamera::advanceTo(std::uint32_t elapsedMs)
{
    std::lock_guard lock(mutex_);
    if (!reporting_)
        return;
    for (unsigned tool = 0; tool < positions_.size(); ++tool) {
        const auto& samples = trajectory_.samples(tool);
        std::size_t& next = positions_[tool];
        const std::size_t before = next;
        while (next < samples.size() && samples[next].timeMs <= elapsedMs)
            ++next;
        if (next != before && tool < trackers_.size() && trackers_[tool])
            trackers_[tool]->setTrackerData(samples[next - 1].data);
    }
    state_ = elapsedMs <= trajectory_.duration() ? Running : NoData;
}

void ReplayCamera::run()
{
    try {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock lock(mutex_);
        while (reporting_) {
            lock.unlock();
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            advanceTo(static_cast<std::uint32_t>(elapsed.count()));
            lock.lock();
            wake_.wait_for(lock, std::chrono::milliseconds(1), [this] { return !reporting_; });
        }
    } catch (const std::exception& e) {
        state_ = NoData;
        Platform::outputDebugString(std::string("ReplayCamera: ") + e.what() + "\n");
    }
}

}
