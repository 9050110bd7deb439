// Each driver's reader thread writing samples while the caller replaces the trackers and a
// timer-like reader copies the samples. Run under ThreadSanitizer by scripts/test.
#include "PtySimulator.h"
#include "SimulatedMicronTracker.h"

#include "navigation/FlashPoint.h"
#include "navigation/MicronTrackerCamera.h"
#include "navigation/Tracker.h"
#include "navigation/Velor.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

const QString sim = MORVANTA_SOURCE_DIR "/tests/navigation/sim/";

// Replaces the trackers `rounds` times while reporting and reading every tracker's sample.
void replaceTrackersWhileReporting(Vexa::NavigationCamera& camera, int rounds)
{
    const std::vector<Vexa::Vector3D> model = {{0, 0, 0}, {50, 0, 0}, {10, 30, 0}};
    auto make = [&] {
        return std::vector<std::shared_ptr<Vexa::Tracker>>{
            std::make_shared<Vexa::Tracker>(model, true, std::vector<int>{5, 6, 7}, 3),
            std::make_shared<Vexa::Tracker>(model, false, std::vector<int>{8, 9, 10}, 4)};
    };
    auto trackers = make();
    camera.setTracker(trackers);
    camera.startReporting();
    std::atomic<bool> done{false};
    std::atomic<int> visible{0};
    std::vector<std::shared_ptr<Vexa::Tracker>> shared = trackers;
    std::mutex sharedMutex;
    std::thread reader([&] {
        while (!done) {
            std::vector<std::shared_ptr<Vexa::Tracker>> current;
            {
                std::lock_guard lock(sharedMutex);
                current = shared;
            }
            for (const auto& tracker : current)
                visible += tracker->getTrackerData().isVisible() ? 1 : 0;
            camera.getState();
            std::this_thread::sleep_for(2ms);
        }
    });
    for (int i = 0; i < rounds; ++i) {
        auto next = make();
        camera.setTracker(next);
        {
            std::lock_guard lock(sharedMutex);
            shared = next;
        }
        std::this_thread::sleep_for(30ms);
    }
    done = true;
    reader.join();
    camera.stopReporting();
    EXPECT_GT(visible.load(), 0) << camera.getName();
}

}

TEST(DriverThreads, VelorTrackersReplacedWhileReporting)
{
    QTemporaryDir dir;
    const std::string trajectory = dir.filePath("trajectory.txt").toStdString();
    std::ofstream(trajectory) << "0 0 1 0 0 0 1 2 3\n0 1 1 0 0 0 4 5 6\n";
    PtySimulator device(sim + "velor_sim.py", {"--trajectory", QString::fromStdString(trajectory), "--rate", "60"});
    Vexa::Velor camera(device.device);
    replaceTrackersWhileReporting(camera, 40);
}

TEST(DriverThreads, FlashPointTrackersReplacedWhileReporting)
{
    QTemporaryDir dir;
    const std::string trajectory = dir.filePath("trajectory.txt").toStdString();
    std::ofstream(trajectory) << "0 0 1 1 0 0 0 1 2 1300 0.1\n";
    PtySimulator device(sim + "flashpoint_sim.py", {"--trajectory", QString::fromStdString(trajectory), "--model", "5",
                                                    "0", "0", "0", "--model", "6", "50", "0", "0", "--model", "7", "10",
                                                    "30", "0", "--tool-markers", "5,6,7"});
    Vexa::FlashPoint camera(device.device);
    replaceTrackersWhileReporting(camera, 3);
}

TEST(DriverThreads, MicronTrackerTrackersReplacedWhileReporting)
{
    SimulatedMicronTracker server;
    server.script->poses["Tracker1"] = Vexa::Matrix44<double>();
    const auto camera = Vexa::MicronTrackerCamera::getConnectedMicronTracker();
    ASSERT_TRUE(camera);
    replaceTrackersWhileReporting(*camera, 40);
}
