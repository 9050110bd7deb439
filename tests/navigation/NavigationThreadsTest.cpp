// The navigation threads together: a camera thread writing the trackers, a fast timer ticking
// the controller and the Model, and the GUI thread reading the displays' values, marking and
// notifying. Run under ThreadSanitizer by scripts/test.
#include "NavigationFixture.h"

#include "navigation/Tracker.h"
#include "planning/model/ImplantManager.h"
#include "planning/ModelTestSupport.h"

#include <QDir>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

using namespace NavigationScene;

class NavigationThreads : public NavigationFixture
{
};

TEST_F(NavigationThreads, CameraTimerAndGuiShareTheStateSafely)
{
    // Camera, controller and Model all run on the tick count, so that a starved thread slows the
    // procedure down instead of cutting a phase short: the camera shows 5 ms of the trajectory
    // per tick (the timer's period) and the controller counts 50 ms per tick.
    auto camera = replayProcedure(400, 10, false);

    start(Constants::Mandible, false);
    // An implant under point A, so that samples and marks are logged.
    model->getImplantManager()->addImplant(PlanningTest::makeImplantAt(Registration::frameA().getTranslation()
                                                                       + Vector3D(0, 0, -8), 0, 10.0));
    std::atomic<std::uint32_t> ticks{0};
    controller->setClock([&ticks] { return ticks.load() * 50; });
    model->setNavigationClock([&ticks] { return ticks.load() * 50; });
    auto trackers = controller->getUsedTracker();
    camera->setTracker(trackers);
    camera->startReporting();
    controller->enableNavigation(camera);

    // The camera's own thread delivers each moment before the timer may tick past it.
    std::atomic<std::uint32_t> delivered{~0u};
    std::atomic<bool> running{true};
    std::thread cameraThread([&] {
        while (running) {
            const std::uint32_t now = ticks.load();
            camera->advanceTo(now * 5);
            delivered = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    Ticker ticker([&] {
        const std::uint32_t now = ticks.load();
        if (delivered.load() != now)
            return;
        controller->setTrackerData(Vexa::collectTrackerData(*camera, trackers));
        ticks = now + 1;
    });
    ticker.start();

    // 2000 ticks: the whole trajectory (800) and, after it, more than the 28 s (560 ticks) after
    // which an unseen handpiece loses its drill registration.
    const auto bound = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    double sum = 0.0;
    while (ticks.load() < 2000 && std::chrono::steady_clock::now() < bound) {
        const auto snapshot = controller->getSnapshot();
        sum += snapshot->patientTDrill[12] + snapshot->calibrationSamples + snapshot->handpiece.getTransform()[13];
        sum += model->getPatientTDrill()[14] + model->getHandpieceColor().x + model->getDrillLength();
        sum += controller->getCalibration()->getNumberOfSamples() + controller->getRegistration()->getAccuracy().first;
        sum += controller->getHandpieceTrackerData().getTransform()[12] + trackers[1]->getTrackerData().getError();
        model->logUserDefinedState();
        model->notify();
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    ticker.stop();
    running = false;
    cameraThread.join();
    camera->stopReporting();
    ASSERT_GE(ticks.load(), 2000u) << "the timer made only " << ticks.load() << " of 2000 ticks in 3 minutes";
    EXPECT_TRUE(std::isfinite(sum));
    EXPECT_TRUE(controller->wasCalibrationDoneBefore());
    EXPECT_FALSE(model->isDrillRegistered()) << "the handpiece is gone since the replay ended";
    controller->disableNavigation();
    const QStringList logs = QDir(QString::fromStdString(path("Planning/Log"))).entryList({"*.log"});
    ASSERT_EQ(1, logs.size());
    const std::string text = TestSupport::readFile(path("Planning/Log/" + logs[0].toStdString()));
    for (const char* entry : {"ACTION: REGISTERED 27.6", "TYPE: AUTO", "TYPE: USER"})
        EXPECT_NE(std::string::npos, text.find(entry)) << entry;
}
