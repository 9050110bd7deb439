// The navigation threads together for 10 s: the replay camera's 1 kHz thread writing the
// trackers, a fast timer ticking the controller and the Model, and the GUI thread reading
// the displays' values, marking and notifying. Run under ThreadSanitizer by scripts/test.
#include "NavigationFixture.h"

#include "navigation/Tracker.h"
#include "planning/model/ImplantManager.h"
#include "planning/ModelTestSupport.h"

#include <QDir>
#include <atomic>
#include <fstream>
#include <chrono>
#include <sstream>

using namespace NavigationScene;

class NavigationThreads : public NavigationFixture
{
};

TEST_F(NavigationThreads, CameraTimerAndGuiShareTheStateSafely)
{
    auto camera = replayProcedure(400, 10);

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
    Ticker ticker([&] {
        ++ticks;
        controller->setTrackerData(Vexa::collectTrackerData(*camera, trackers));
    });
    ticker.start();

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    double sum = 0.0;
    while (std::chrono::steady_clock::now() < end) {
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
    camera->stopReporting();
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
